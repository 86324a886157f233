// The application's dialogs.
#include "dialogs.h"

#include "resource.h"
#include "varnexview.h"

#include <kalvio/message.h>

#include <QApplication>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include <cmath>
#include <cstdlib>
#include <locale>
#include <sstream>

namespace {

// Places dialogs the way their templates give them: in dialog units of the
// dialog's font (a quarter of the average character width across, an
// eighth of the character height down).
class DialogUnits {
public:
    explicit DialogUnits(const QWidget* dialog) {
        const QFontMetrics metrics(dialog->font());
        m_x = metrics.averageCharWidth();
        m_y = metrics.height();
    }
    QRect rect(int x, int y, int cx, int cy) const {
        return {x * m_x / 4, y * m_y / 8, cx * m_x / 4, cy * m_y / 8};
    }
    QSize size(int cx, int cy) const { return {cx * m_x / 4, cy * m_y / 8}; }

private:
    int m_x;
    int m_y;
};

QPushButton* make_button(QDialog* dialog, const QString& text, const QRect& where, bool is_default) {
    auto* button = new QPushButton(text, dialog);
    button->setGeometry(where);
    button->setDefault(is_default);
    button->setAutoDefault(is_default);
    return button;
}

QLabel* make_label(QDialog* dialog, const QString& text, const QRect& where) {
    auto* label = new QLabel(text, dialog);
    label->setGeometry(where);
    return label;
}

QSlider* make_slider(QDialog* dialog, const QRect& where) {
    auto* slider = new QSlider(Qt::Horizontal, dialog);
    slider->setGeometry(where);
    slider->setTickPosition(QSlider::NoTicks);
    slider->setFocusPolicy(Qt::StrongFocus);
    return slider;
}

}  // namespace

WindCentDlg::WindCentDlg(CVarnexView* owner) : QDialog(nullptr), m_pOwnerView(owner) {
    setWindowTitle(QStringLiteral("Window Center"));
    const DialogUnits du(this);
    setFixedSize(du.size(186, 111));
    QPushButton* ok = make_button(this, QStringLiteral("OK"), du.rect(7, 7, 50, 14), true);
    QPushButton* cancel = make_button(this, QStringLiteral("Cancel"), du.rect(128, 7, 50, 14), false);
    QLabel* window_label = make_label(this, QStringLiteral("&Window"), du.rect(79, 32, 30, 8));
    m_pWindowSlider = make_slider(this, du.rect(7, 45, 171, 15));
    QLabel* center_label = make_label(this, QStringLiteral("C&enter"), du.rect(80, 74, 30, 8));
    m_pCenterSlider = make_slider(this, du.rect(7, 89, 171, 15));
    m_pWindowSlider->setObjectName(QStringLiteral("window"));
    m_pCenterSlider->setObjectName(QStringLiteral("center"));
    window_label->setBuddy(m_pWindowSlider);
    center_label->setBuddy(m_pCenterSlider);
    // Tab order follows the template: OK, Cancel, Window, Center.
    setTabOrder(ok, cancel);
    setTabOrder(cancel, m_pWindowSlider);
    setTabOrder(m_pWindowSlider, m_pCenterSlider);
    connect(ok, &QPushButton::clicked, this, &WindCentDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &WindCentDlg::reject);
}

bool WindCentDlg::Create() {
    if (m_bHasWindow) {
        show();
        raise();
        activateWindow();
        return false;
    }
    m_pCenterSlider->setRange(0, 254);
    m_pCenterSlider->setValue(m_center);
    m_pWindowSlider->setRange(1, 255);
    m_pWindowSlider->setValue(m_window);
    m_bHasWindow = true;
    show();
    raise();
    activateWindow();
    m_pWindowSlider->setFocus();
    return true;
}

void WindCentDlg::DestroyWindow() {
    hide();
    m_bHasWindow = false;
}

void WindCentDlg::accept() {
    m_center = m_pCenterSlider->value();
    m_window = m_pWindowSlider->value();
    QDialog::accept();
    QCoreApplication::postEvent(m_pOwnerView, new WindCentEvent(WINDCENT_APPLY));
}

void WindCentDlg::reject() {
    QDialog::reject();
    QCoreApplication::postEvent(m_pOwnerView, new WindCentEvent(WINDCENT_CANCEL));
}

Dlg_Parameter::Dlg_Parameter(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Dialog"));
    const DialogUnits du(this);
    setFixedSize(du.size(186, 88));
    QLabel* label = make_label(this, QStringLiteral("&Please input the value of the parameter"), du.rect(27, 14, 153, 12));
    m_pEdit = new QLineEdit(this);
    m_pEdit->setGeometry(du.rect(56, 31, 73, 16));
    label->setBuddy(m_pEdit);
    QPushButton* ok = make_button(this, QStringLiteral("OK"), du.rect(35, 67, 50, 14), true);
    QPushButton* cancel = make_button(this, QStringLiteral("Cancel"), du.rect(111, 67, 50, 14), false);
    setTabOrder(m_pEdit, ok);
    setTabOrder(ok, cancel);
    connect(ok, &QPushButton::clicked, this, &Dlg_Parameter::accept);
    connect(cancel, &QPushButton::clicked, this, &Dlg_Parameter::reject);
}

int Dlg_Parameter::DoModal() {
    m_pEdit->setText(format_parameter(m_value));
    m_pEdit->selectAll();
    m_pEdit->setFocus();
    return exec();
}

void Dlg_Parameter::accept() {
    float value = 0.0f;
    if (!parse_parameter(m_pEdit->text(), &value)) {
        AfxMessageBox("Please enter a number.", MB_ICONEXCLAMATION | MB_OK);
        m_pEdit->setFocus();
        m_pEdit->selectAll();
        return;
    }
    if (value < 0.0f) {
        AfxMessageBox("The parameter must not be negative.", MB_ICONEXCLAMATION | MB_OK);
        m_pEdit->setFocus();
        m_pEdit->selectAll();
        return;
    }
    m_value = value;
    QDialog::accept();
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Varnex"));
    const DialogUnits du(this);
    setFixedSize(du.size(235, 55));
    auto* icon = new QLabel(this);
    icon->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    icon->move(du.rect(11, 17, 0, 0).topLeft());
    icon->resize(32, 32);
    make_label(this, QStringLiteral("Varnex Version 1.0"), du.rect(40, 10, 125, 8));
    make_label(this, QStringLiteral("Interactive segmentation by graph cuts"), du.rect(40, 25, 135, 8));
    QPushButton* ok = make_button(this, QStringLiteral("OK"), du.rect(178, 7, 50, 16), true);
    connect(ok, &QPushButton::clicked, this, &CAboutDlg::accept);
}

QString format_parameter(float value) {
    return QString::number(static_cast<double>(value), 'g', 6);
}

bool parse_parameter(const QString& text, float* value) {
    const std::string s = text.trimmed().toStdString();
    if (s.empty()) return false;
    // Always the C notation, whatever the user's locale.
    std::istringstream in(s);
    in.imbue(std::locale::classic());
    double d = 0.0;
    in >> d;
    if (in.fail()) return false;
    in >> std::ws;
    if (!in.eof()) return false;
    if (!std::isfinite(d) || std::fabs(d) > 3.4e38) return false;
    *value = static_cast<float>(d);
    return true;
}
