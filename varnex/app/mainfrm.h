// The main window: the MDI area with the document windows, the menus, the
// toolbar and the status bar; it routes every command to its handler.
#pragma once

#include "framework.h"

#include <QMainWindow>

#include <map>
#include <vector>

class QAction;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QPrinter;
class QStatusBar;
class QToolBar;
class CChildFrame;
class CVarnexApp;

class CMainFrame : public QMainWindow, public CCmdTarget {
    Q_OBJECT
public:
    explicit CMainFrame(CVarnexApp* app);
    ~CMainFrame() override;

    /// Creates the toolbar and the status bar. False (after a trace line)
    /// when either cannot be made.
    bool OnCreate();

    /// The main window that holds `widget`, or null.
    static CMainFrame* Find(const QWidget* widget);

    QMdiArea* MdiArea() const { return m_pMdiArea; }
    /// The active document window, or null.
    CChildFrame* MDIGetActive() const;
    QAction* Action(int id) const;
    QToolBar* ToolBar() const { return m_wndToolBar; }
    QStatusBar* StatusBar() const { return m_wndStatusBar; }
    QPrinter* Printer() const;
    /// Shows `text` in the status bar's message pane; empty shows "Ready".
    /// With `timeout_ms` above 0 the text goes after that many milliseconds
    /// and "Ready" comes back.
    void SetStatusText(const QString& text, int timeout_ms = 0);

    /// Runs command `id` through the active view, its document, its frame,
    /// this window and the application. False when nobody handles it.
    bool RouteCommand(int id);
    /// Sets the enabled and checked state of every command.
    void UpdateActions();
    /// Shows the document menus while a document window is active, else the
    /// short ones, with the recent files as they are now. Each set of menus
    /// is made once and reused.
    void UpdateMenus();
    /// The caption: "Quellbox", then " - " and the active document's title.
    void OnUpdateFrameTitle();
    /// Menus, command states and caption after a document window came,
    /// went or was activated.
    void OnActiveFrameChanged();
    /// Which menu is shown: IDR_VARNEXTYPE or IDR_MAINFRAME.
    int CurrentMenu() const { return m_nMenu; }

    bool OnCommand(int id) override;
    bool OnUpdateCmdUI(CCmdUI& ui) override;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void create_actions();
    QAction* add_action(int id, const QString& text);
    void fill_file_menu(QMenu* menu, bool document_menu);
    void fill_window_menu(QMenu* menu);
    const std::vector<QMenu*>& menu_set(bool document_menu);
    void cascade_windows();
    void arrange_icons();
    void on_sub_window_activated(QMdiSubWindow* window);

    CVarnexApp* m_pApp;
    QStatusBar* m_wndStatusBar = nullptr;
    QToolBar* m_wndToolBar = nullptr;
    QMdiArea* m_pMdiArea;
    std::map<int, QAction*> m_actions;
    QLabel* m_pIndicators[3] = {nullptr, nullptr, nullptr};
    int m_nMenu = 0;
    std::vector<QMenu*> m_menuSets[2];  ///< [0] without a document, [1] with one; owned by this window
};
