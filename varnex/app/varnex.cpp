// The application object.
#include "varnex.h"

#include "childfrm.h"
#include "dialogs.h"
#include "mainfrm.h"
#include "resource.h"
#include "varnexdoc.h"
#include "varnexview.h"

#include <kalvio/message.h>

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMdiArea>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPrinter>
#include <QSettings>
#include <QTimer>

// The icons live in the static library; its resource table must be
// registered by hand.
static void init_resources() { Q_INIT_RESOURCE(varnex); }

CVarnexApp::CVarnexApp() { init_resources(); }

CVarnexApp::~CVarnexApp() {
    delete m_pMainWnd;
}

void install_message_boxes() {
    kalvio::set_message_handler([](const std::string& text, kalvio::MessageButtons buttons, kalvio::MessageIcon icon) {
        QMessageBox box(QApplication::activeWindow());
        box.setWindowTitle(QString::fromLatin1(CVarnexApp::kAppTitle));
        box.setText(QString::fromLocal8Bit(text.c_str()));
        switch (icon) {
        case kalvio::MessageIcon::Error: box.setIcon(QMessageBox::Critical); break;
        case kalvio::MessageIcon::Question: box.setIcon(QMessageBox::Question); break;
        case kalvio::MessageIcon::Warning: box.setIcon(QMessageBox::Warning); break;
        case kalvio::MessageIcon::Information: box.setIcon(QMessageBox::Information); break;
        case kalvio::MessageIcon::None: break;
        }
        switch (buttons) {
        case kalvio::MessageButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
        case kalvio::MessageButtons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
        case kalvio::MessageButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
        case kalvio::MessageButtons::YesNoCancel:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            break;
        }
        // A message during a long run must not leave the busy cursor on it.
        const bool busy = QApplication::overrideCursor() != nullptr;
        if (busy) QApplication::setOverrideCursor(Qt::ArrowCursor);
        const int answer = box.exec();
        if (busy) QApplication::restoreOverrideCursor();
        switch (answer) {
        case QMessageBox::Cancel: return IDCANCEL;
        case QMessageBox::Yes: return IDYES;
        case QMessageBox::No: return IDNO;
        default: return buttons == kalvio::MessageButtons::YesNo ? IDNO : IDOK;
        }
    });
}

bool CVarnexApp::InitInstance(const QStringList& arguments, bool show) {
    QApplication::setOrganizationName(QString::fromLatin1(kRegistryKey));
    QApplication::setApplicationName(QString::fromLatin1(kAppTitle));
    // No display name: when a program sets one, Qt's window-system back ends
    // (X11 among them) append it to every caption that does not already end
    // with it ("Quellbox - coffee.ppm — Quellbox"), and the main window's
    // caption begins with the title anyway. Unset, the display name reads as
    // the application name.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/varnex/varnex.png")));
    install_message_boxes();
    load_recent_files();

    m_pDocTemplate = std::make_unique<CMultiDocTemplate>(
        IDR_VARNEXTYPE, QStringLiteral("Varnex"), [] { return new CVarnexDoc; },
        [](CDocument* document) { return new CVarnexView(static_cast<CVarnexDoc*>(document)); });

    m_pMainWnd = new CMainFrame(this);
    if (!m_pMainWnd->OnCreate()) {
        delete m_pMainWnd;
        m_pMainWnd = nullptr;
        return false;
    }
    // The main window comes back where the user left it, toolbar included.
    QSettings settings;
    if (!m_pMainWnd->restoreGeometry(settings.value(QStringLiteral("Settings/Geometry")).toByteArray()))
        m_pMainWnd->resize(900, 700);
    m_pMainWnd->restoreState(settings.value(QStringLiteral("Settings/State")).toByteArray());

    // Only a picture to open counts on the command line; no argument opens
    // no document.
    if (arguments.size() > 1) {
        AfxMessageBox("Varnex opens one picture at a time.", MB_ICONERROR | MB_OK);
        return false;
    }
    if (show) m_pMainWnd->show();
    if (!arguments.isEmpty() && !OpenDocumentFile(arguments.first())) {
        m_pMainWnd->hide();
        return false;
    }
    return true;
}

void CVarnexApp::on_frame_created(CChildFrame* frame) {
    CMainFrame* main = m_pMainWnd;
    QObject::connect(frame, &QObject::destroyed, main, [main] {
        // After the window has gone entirely.
        QTimer::singleShot(0, main, &CMainFrame::OnActiveFrameChanged);
    });
    main->OnActiveFrameChanged();
}

CChildFrame* CVarnexApp::OpenDocumentFile(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    // A picture already open is brought to the front, not opened twice.
    for (QMdiSubWindow* window : m_pMainWnd->MdiArea()->subWindowList()) {
        auto* frame = dynamic_cast<CChildFrame*>(window);
        if (!frame) continue;
        const QString open_path = frame->GetActiveView()->GetDocument()->GetPathName();
        if (!open_path.isEmpty() && QFileInfo(open_path).absoluteFilePath() == absolute) {
            m_pMainWnd->MdiArea()->setActiveSubWindow(frame);
            add_recent_file(absolute);
            return frame;
        }
    }
    CChildFrame* frame = m_pDocTemplate->OpenDocumentFile(m_pMainWnd->MdiArea(), path);
    if (!frame) return nullptr;
    frame->GetActiveView()->GetDocument()->SetPathName(absolute);
    add_recent_file(absolute);
    on_frame_created(frame);
    return frame;
}

CChildFrame* CVarnexApp::NewDocument() {
    CChildFrame* frame = m_pDocTemplate->OpenDocumentFile(m_pMainWnd->MdiArea(), QString());
    if (frame) on_frame_created(frame);
    return frame;
}

CChildFrame* CVarnexApp::NewWindow(CDocument* document) {
    CChildFrame* frame = m_pDocTemplate->CreateNewFrame(m_pMainWnd->MdiArea(), document);
    if (frame) on_frame_created(frame);
    return frame;
}

QPrinter* CVarnexApp::Printer() {
    if (!m_pPrinter) m_pPrinter = std::make_unique<QPrinter>(QPrinter::HighResolution);
    return m_pPrinter.get();
}

void CVarnexApp::load_recent_files() {
    QSettings settings;
    m_recentFiles.clear();
    settings.beginGroup(QStringLiteral("Recent File List"));
    for (int i = 1; i <= kRecentFileCount; ++i) {
        const QString file = settings.value(QStringLiteral("File%1").arg(i)).toString();
        if (!file.isEmpty() && !m_recentFiles.contains(file)) m_recentFiles.append(file);
    }
    settings.endGroup();
}

void CVarnexApp::save_recent_files() const {
    QSettings settings;
    settings.beginGroup(QStringLiteral("Recent File List"));
    for (int i = 1; i <= kRecentFileCount; ++i) {
        const QString key = QStringLiteral("File%1").arg(i);
        if (i <= m_recentFiles.size()) settings.setValue(key, m_recentFiles[i - 1]);
        else settings.remove(key);
    }
    settings.endGroup();
}

void CVarnexApp::add_recent_file(const QString& path) {
    m_recentFiles.removeAll(path);
    m_recentFiles.prepend(path);
    while (m_recentFiles.size() > kRecentFileCount) m_recentFiles.removeLast();
    save_recent_files();
    if (m_pMainWnd) m_pMainWnd->UpdateMenus();
}

void CVarnexApp::remove_recent_file(int index) {
    if (index < 0 || index >= m_recentFiles.size()) return;
    m_recentFiles.removeAt(index);
    save_recent_files();
    if (m_pMainWnd) m_pMainWnd->UpdateMenus();
}

void CVarnexApp::on_file_open() {
    // The reader tells the format from the contents, so "All Files" opens
    // anything it reads whatever the name.
    const QString path = QFileDialog::getOpenFileName(
        m_pMainWnd, QStringLiteral("Open"), QString(),
        QStringLiteral("Pictures (*.png *.jpg *.jpeg *.tif *.tiff *.bmp *.pgm *.ppm *.qvf);;"
                       "PNG (*.png);;JPEG (*.jpg *.jpeg);;TIFF (*.tif *.tiff);;BMP (*.bmp);;"
                       "PGM and PPM (*.pgm *.ppm);;qvf (*.qvf);;All Files (*)"));
    if (!path.isEmpty()) OpenDocumentFile(path);
}

void CVarnexApp::on_app_about() {
    CAboutDlg dialog(m_pMainWnd);
    dialog.exec();
}

void CVarnexApp::on_print_setup() {
    QPageSetupDialog dialog(Printer(), m_pMainWnd);
    dialog.exec();
}

bool CVarnexApp::OnCommand(int id) {
    if (id >= ID_FILE_MRU_FILE1 && id < ID_FILE_MRU_FILE1 + kRecentFileCount) {
        const int index = id - ID_FILE_MRU_FILE1;
        if (index >= m_recentFiles.size()) return true;
        // A file that can no longer be opened leaves the list.
        if (!OpenDocumentFile(m_recentFiles[index])) remove_recent_file(index);
        return true;
    }
    switch (id) {
    case ID_FILE_NEW: NewDocument(); return true;
    case ID_FILE_OPEN: on_file_open(); return true;
    case ID_FILE_PRINT_SETUP: on_print_setup(); return true;
    case ID_APP_ABOUT: on_app_about(); return true;
    case ID_APP_EXIT: m_pMainWnd->close(); return true;
    default: return false;
    }
}

bool CVarnexApp::OnUpdateCmdUI(CCmdUI& ui) {
    const int id = ui.m_nID;
    if (id >= ID_FILE_MRU_FILE1 && id < ID_FILE_MRU_FILE1 + kRecentFileCount) {
        ui.Enable(id - ID_FILE_MRU_FILE1 < m_recentFiles.size());
        return true;
    }
    switch (id) {
    case ID_FILE_NEW:
    case ID_FILE_OPEN:
    case ID_FILE_PRINT_SETUP:
    case ID_APP_ABOUT:
    case ID_APP_EXIT:
        ui.Enable(true);
        return true;
    default:
        return false;
    }
}
