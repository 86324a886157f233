// The application object: start-up, the document template, the recent-file
// list, the printer and the application's commands.
#pragma once

#include "framework.h"

#include <QStringList>

#include <memory>

class QPrinter;
class CMainFrame;
class CChildFrame;

class CVarnexApp : public CCmdTarget {
public:
    CVarnexApp();
    ~CVarnexApp() override;
    CVarnexApp(const CVarnexApp&) = delete;
    CVarnexApp& operator=(const CVarnexApp&) = delete;

    /// Start-up: settings, the document template, the main window, then the
    /// command line's picture (`arguments` without the program name: empty,
    /// or one path). False when any step fails; the main window is then not
    /// shown. `show` false keeps it hidden (for tests and screenshots).
    bool InitInstance(const QStringList& arguments, bool show = true);

    /// Opens `path` in a new document window, or activates the window that
    /// already shows it; records it in the recent-file list. Null after a
    /// message when it cannot be opened.
    CChildFrame* OpenDocumentFile(const QString& path);
    /// A new, empty document ("Varnex1", ...).
    CChildFrame* NewDocument();
    /// A further window on `document`.
    CChildFrame* NewWindow(CDocument* document);

    CMainFrame* MainWindow() const { return m_pMainWnd; }
    const QStringList& RecentFiles() const { return m_recentFiles; }
    QPrinter* Printer();

    bool OnCommand(int id) override;
    bool OnUpdateCmdUI(CCmdUI& ui) override;

    /// The organisation and application names the settings are kept under.
    static constexpr const char* kRegistryKey = "Local AppWizard-Generated Applications";
    static constexpr const char* kAppTitle = "Quellbox";

private:
    void load_recent_files();
    void save_recent_files() const;
    void add_recent_file(const QString& path);
    void remove_recent_file(int index);
    void on_frame_created(CChildFrame* frame);
    void on_file_open();
    void on_app_about();
    void on_print_setup();

    std::unique_ptr<CMultiDocTemplate> m_pDocTemplate;
    CMainFrame* m_pMainWnd = nullptr;
    QStringList m_recentFiles;
    std::unique_ptr<QPrinter> m_pPrinter;
};

/// Shows the library's and the program's messages as message boxes over the
/// active window.
void install_message_boxes();
