// The application's dialogs.
#include "dialogs.h"

#include "resource.h"
#include "varnexview.h"

#include <kalvio/message.h>

#include <QApplication>
#include <QBoxLayout>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <locale>
#include <sstream>

namespace {

// Widths from the dialog font, a quarter of its average character width
// per unit, as minimums only: the layouts grow everything to fit its text
// at whatever font the user has.
int dialog_units(const QWidget* dialog, int cx) {
    return cx * QFontMetrics(dialog->font()).averageCharWidth() / 4;
}

QPushButton* make_button(QDialog* dialog, const QString& text, bool is_default) {
    auto* button = new QPushButton(text, dialog);
    button->setMinimumWidth(dialog_units(dialog, 50));
    button->setDefault(is_default);
    button->setAutoDefault(is_default);
    return button;
}

QSlider* make_slider(QDialog* dialog) {
    auto* slider = new QSlider(Qt::Horizontal, dialog);
    slider->setMinimumWidth(dialog_units(dialog, 171));
    slider->setTickPosition(QSlider::NoTicks);
    slider->setFocusPolicy(Qt::StrongFocus);
    return slider;
}

// A caption centred over its slider, and the slider with its value beside it.
QLabel* add_slider_row(QDialog* dialog, QVBoxLayout* layout, const QString& caption, QSlider* slider,
                       QLabel* value) {
    auto* label = new QLabel(caption, dialog);
    label->setBuddy(slider);
    layout->addWidget(label, 0, Qt::AlignHCenter);
    auto* row = new QHBoxLayout;
    row->addWidget(slider, 1);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(value);
    layout->addLayout(row);
    return label;
}

// Grey level <-> position of the window/centre sliders. They move in steps
// of a 256th of the grey table, so that 16-bit pictures can be windowed over
// their whole range; for byte pictures a step is one grey level. Both round
// down.
int level_to_position(int level, int table_length) {
    return static_cast<int>(static_cast<long long>(level) * 256 / table_length);
}

int position_to_level(int position, int table_length) {
    return static_cast<int>(static_cast<long long>(position) * table_length / 256);
}

}  // namespace

WindCentDlg::WindCentDlg(CVarnexView* owner) : QDialog(nullptr), m_pOwnerView(owner) {
    setWindowTitle(QStringLiteral("Window Center"));
    QPushButton* ok = make_button(this, QStringLiteral("OK"), true);
    QPushButton* cancel = make_button(this, QStringLiteral("Cancel"), false);
    m_pWindowSlider = make_slider(this);
    m_pCenterSlider = make_slider(this);
    m_pWindowSlider->setObjectName(QStringLiteral("window"));
    m_pCenterSlider->setObjectName(QStringLiteral("center"));
    m_pWindowValue = new QLabel(this);
    m_pCenterValue = new QLabel(this);

    auto* layout = new QVBoxLayout(this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ok);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    layout->addSpacing(fontMetrics().height() / 2);
    add_slider_row(this, layout, QStringLiteral("&Window"), m_pWindowSlider, m_pWindowValue);
    layout->addSpacing(fontMetrics().height() / 2);
    add_slider_row(this, layout, QStringLiteral("C&enter"), m_pCenterSlider, m_pCenterValue);

    // Tab order: OK, Cancel, Window, Center.
    setTabOrder(ok, cancel);
    setTabOrder(cancel, m_pWindowSlider);
    setTabOrder(m_pWindowSlider, m_pCenterSlider);
    connect(ok, &QPushButton::clicked, this, &WindCentDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &WindCentDlg::reject);
    connect(m_pWindowSlider, &QSlider::valueChanged, this, &WindCentDlg::show_levels);
    connect(m_pCenterSlider, &QSlider::valueChanged, this, &WindCentDlg::show_levels);
}

void WindCentDlg::SetLevels(int center, int window, int table_length) {
    m_nTableLength = std::max(1, table_length);
    m_nStartCenter = center;
    m_nStartWindow = window;
    m_center = level_to_position(center, m_nTableLength);
    m_window = level_to_position(window, m_nTableLength);
    // Room for the largest level, so that the sliders keep their length as
    // the numbers change.
    const int widest = fontMetrics().horizontalAdvance(QString::number(std::max(m_nTableLength, window)));
    m_pWindowValue->setMinimumWidth(widest);
    m_pCenterValue->setMinimumWidth(widest);
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
    m_nStartCenterPosition = m_pCenterSlider->value();
    m_nStartWindowPosition = m_pWindowSlider->value();
    show_levels();
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

int WindCentDlg::level_of(const QSlider* slider, int start_level, int start_position) const {
    // The start level need not be a whole step (a 16-bit window of 4096
    // sits beyond the slider's end); unmoved, it stays exact.
    if (slider->value() == start_position) return start_level;
    return position_to_level(slider->value(), m_nTableLength);
}

int WindCentDlg::CenterLevel() const { return level_of(m_pCenterSlider, m_nStartCenter, m_nStartCenterPosition); }

int WindCentDlg::WindowLevel() const {
    return std::max(1, level_of(m_pWindowSlider, m_nStartWindow, m_nStartWindowPosition));
}

void WindCentDlg::show_levels() {
    m_pWindowValue->setText(QString::number(WindowLevel()));
    m_pCenterValue->setText(QString::number(CenterLevel()));
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
    setWindowTitle(QStringLiteral("Tune Parameter"));
    auto* label = new QLabel(QStringLiteral("&Please input the value of the parameter"), this);
    m_pEdit = new QLineEdit(this);
    m_pEdit->setMinimumWidth(dialog_units(this, 73));
    label->setBuddy(m_pEdit);
    QPushButton* ok = make_button(this, QStringLiteral("OK"), true);
    QPushButton* cancel = make_button(this, QStringLiteral("Cancel"), false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(m_pEdit, 0, Qt::AlignHCenter);
    layout->addSpacing(fontMetrics().height());
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addStretch(1);
    layout->addLayout(buttons);

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

void Dlg_Parameter::refuse(const char* text) {
    AfxMessageBox(text, MB_ICONEXCLAMATION | MB_OK);
    // The message box took the keyboard, and without a window manager that
    // hands it back (or with one that gives it to another window) this
    // dialog would stay inactive: ask for it, then for the edit box, with
    // the text selected for retyping.
    activateWindow();
    m_pEdit->setFocus(Qt::OtherFocusReason);
    m_pEdit->selectAll();
}

void Dlg_Parameter::accept() {
    float value = 0.0f;
    if (!parse_parameter(m_pEdit->text(), &value)) {
        refuse("Please enter a number.");
        return;
    }
    if (value < 0.0f) {
        refuse("The parameter must not be negative.");
        return;
    }
    m_value = value;
    QDialog::accept();
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Varnex"));
    auto* icon = new QLabel(this);
    icon->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    auto* text = new QVBoxLayout;
    text->addWidget(new QLabel(QStringLiteral("Varnex Version 1.0"), this));
    text->addWidget(new QLabel(QStringLiteral("Interactive segmentation by graph cuts"), this));
    text->setAlignment(Qt::AlignTop);
    QPushButton* ok = make_button(this, QStringLiteral("OK"), true);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addSpacing(fontMetrics().averageCharWidth());
    layout->addLayout(text, 1);
    layout->addWidget(ok, 0, Qt::AlignTop);
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
