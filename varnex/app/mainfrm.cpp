// The main window.
#include "mainfrm.h"

#include "childfrm.h"
#include "resource.h"
#include "varnex.h"

#include <kalvio/trace.h>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMimeData>
#include <QSettings>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QToolBar>
#include <QUrl>

#include <algorithm>

namespace {

QIcon toolbar_icon(const char* name) { return QIcon(QStringLiteral(":/varnex/%1.png").arg(QLatin1String(name))); }

}  // namespace

CMainFrame::CMainFrame(CVarnexApp* app) : m_pApp(app), m_pMdiArea(new QMdiArea(this)) {
    setObjectName(QStringLiteral("CMainFrame"));
    m_pMdiArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_pMdiArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_pMdiArea->setActivationOrder(QMdiArea::ActivationHistoryOrder);
    setCentralWidget(m_pMdiArea);
    setAcceptDrops(true);
    setWindowIcon(QIcon(QStringLiteral(":/varnex/varnex.png")));
    connect(m_pMdiArea, &QMdiArea::subWindowActivated, this, &CMainFrame::on_sub_window_activated);
    create_actions();
}

CMainFrame::~CMainFrame() {
    // The document area outlives this part of the window while the base
    // class tears down; its activation signals must not reach it.
    disconnect(m_pMdiArea, nullptr, this, nullptr);
}

CMainFrame* CMainFrame::Find(const QWidget* widget) {
    return widget ? dynamic_cast<CMainFrame*>(widget->window()) : nullptr;
}

QAction* CMainFrame::add_action(int id, const QString& text) {
    auto* action = new QAction(text, this);
    action->setData(id);
    connect(action, &QAction::triggered, this, [this, id] {
        RouteCommand(id);
        UpdateActions();
    });
    m_actions[id] = action;
    return action;
}

void CMainFrame::create_actions() {
    add_action(ID_FILE_NEW, QStringLiteral("&New\tCtrl+N"))->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
    add_action(ID_FILE_OPEN, QStringLiteral("&Open...\tCtrl+O"))->setShortcut(QKeySequence(QStringLiteral("Ctrl+O")));
    add_action(ID_FILE_CLOSE, QStringLiteral("&Close"));
    add_action(ID_FILE_SAVE, QStringLiteral("&Save"))->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
    add_action(ID_SAVE_CURRENT_IMAGE, QStringLiteral("Save Current Image"));
    add_action(ID_FILE_PRINT, QStringLiteral("&Print...\tCtrl+P"))->setShortcut(QKeySequence(QStringLiteral("Ctrl+P")));
    add_action(ID_FILE_PRINT_PREVIEW, QStringLiteral("Print Pre&view"));
    add_action(ID_FILE_PRINT_SETUP, QStringLiteral("P&rint Setup..."));
    add_action(ID_APP_EXIT, QStringLiteral("E&xit"));
    add_action(ID_EDIT_UNDO, QStringLiteral("&Undo"))
        ->setShortcuts({QKeySequence(QStringLiteral("Ctrl+Z")), QKeySequence(QStringLiteral("Alt+Backspace"))});
    add_action(ID_EDIT_CUT, QStringLiteral("Cu&t"))
        ->setShortcuts({QKeySequence(QStringLiteral("Ctrl+X")), QKeySequence(QStringLiteral("Shift+Del"))});
    add_action(ID_EDIT_COPY, QStringLiteral("&Copy"))
        ->setShortcuts({QKeySequence(QStringLiteral("Ctrl+C")), QKeySequence(QStringLiteral("Ctrl+Ins"))});
    add_action(ID_EDIT_PASTE, QStringLiteral("&Paste"))
        ->setShortcuts({QKeySequence(QStringLiteral("Ctrl+V")), QKeySequence(QStringLiteral("Shift+Ins"))});
    add_action(ID_NEXT_PANE, QStringLiteral("Next Pane"))->setShortcut(QKeySequence(Qt::Key_F6));
    add_action(ID_PREV_PANE, QStringLiteral("Previous Pane"))->setShortcut(QKeySequence(QStringLiteral("Shift+F6")));
    add_action(ID_EDIT_GRAPHCUT, QStringLiteral("Graphcut"));
    add_action(ID_EDIT_TUNEPARAMETER, QStringLiteral("Tune Parameter"));
    add_action(ID_EDIT_MAKE_REGION_MAP, QStringLiteral("Make Region Map..."));
    add_action(ID_EDIT_REDO, QStringLiteral("&Redo"))
        ->setShortcuts({QKeySequence(QStringLiteral("Ctrl+Y")), QKeySequence(QStringLiteral("Ctrl+Shift+Z"))});
    add_action(ID_EDIT_CLEAR_SEEDS, QStringLiteral("Clear Seeds"));
    add_action(ID_EDIT_LIVE_GRAPHCUT, QStringLiteral("Live Graphcut"))->setCheckable(true);
    add_action(ID_FILE_EXPORT_MASK, QStringLiteral("Export Mask..."));
    add_action(ID_FILE_SAVE_SEEDS, QStringLiteral("Save Seeds"));
    QAction* overlay = add_action(ID_VIEW_OVERLAY, QStringLiteral("Result Over Picture\tO"));
    overlay->setCheckable(true);
    overlay->setShortcut(QKeySequence(Qt::Key_O));
    add_action(ID_VIEW_OVERLAY_OPACITY, QStringLiteral("Overlay Opacity..."));
    add_action(ID_ZOOM_HALF, QStringLiteral("1/2"))->setCheckable(true);
    add_action(ID_ZOOM_QUARTER, QStringLiteral("1/4"))->setCheckable(true);
    add_action(ID_ZOOM_EIGHTH, QStringLiteral("1/8"))->setCheckable(true);
    add_action(ID_ZOOM_FIT, QStringLiteral("Fit to Window"))->setCheckable(true);
    add_action(ID_VIEW_SHOW_REGIONS, QStringLiteral("Show Regions"))->setCheckable(true);
    add_action(ID_VIEW_TOOLBAR, QStringLiteral("&Toolbar"))->setCheckable(true);
    add_action(ID_VIEW_STATUS_BAR, QStringLiteral("&Status Bar"))->setCheckable(true);
    add_action(ID_IMAGE_WINDOWCENTER, QStringLiteral("Image Window/Center"));
    add_action(ID_WINDOW_NEW, QStringLiteral("&New Window"));
    add_action(ID_WINDOW_CASCADE, QStringLiteral("&Cascade"));
    add_action(ID_WINDOW_TILE_HORZ, QStringLiteral("&Tile"));
    add_action(ID_WINDOW_ARRANGE, QStringLiteral("&Arrange Icons"));
    add_action(ID_APP_ABOUT, QStringLiteral("&About Varnex..."));
    for (int i = 0; i < 4; ++i) add_action(ID_ZOOM_X1 + i, QStringLiteral("x%1").arg(i + 1))->setCheckable(true);
    add_action(ID_SAVE_RESULTS, QStringLiteral("Save Results"));
    for (int i = 0; i < kRecentFileCount; ++i) add_action(ID_FILE_MRU_FILE1 + i, QString());

    // Prompts in the status bar for the standard commands; the program's own
    // commands have none.
    const std::pair<int, const char*> prompts[] = {
        {ID_FILE_NEW, "Create a new document"},
        {ID_FILE_OPEN, "Open an existing document"},
        {ID_FILE_CLOSE, "Close the active document"},
        {ID_FILE_PRINT, "Print the active document"},
        {ID_FILE_PRINT_PREVIEW, "Display full pages"},
        {ID_FILE_PRINT_SETUP, "Change the printer and printing options"},
        {ID_APP_EXIT, "Quit the application"},
        {ID_EDIT_CUT, "Cut the selection and put it on the Clipboard"},
        {ID_EDIT_COPY, "Copy the selection and put it on the Clipboard"},
        {ID_EDIT_PASTE, "Insert Clipboard contents"},
        {ID_VIEW_TOOLBAR, "Show or hide the toolbar"},
        {ID_VIEW_STATUS_BAR, "Show or hide the status bar"},
        {ID_WINDOW_NEW, "Open another window for the active document"},
        {ID_WINDOW_CASCADE, "Arrange windows so they overlap"},
        {ID_WINDOW_TILE_HORZ, "Arrange windows as non-overlapping tiles"},
        {ID_WINDOW_ARRANGE, "Arrange icons at the bottom of the window"},
        {ID_APP_ABOUT, "Display program information, version number and copyright"},
    };
    for (const auto& [id, text] : prompts) m_actions[id]->setStatusTip(QString::fromLatin1(text));

    // Shortcuts work whichever menu is shown.
    for (const auto& [id, action] : m_actions) {
        (void)id;
        addAction(action);
    }
}

bool CMainFrame::OnCreate() {
    m_wndToolBar = new QToolBar(QStringLiteral("Standard"), this);
    m_wndToolBar->setObjectName(QStringLiteral("toolbar"));
    m_wndToolBar->setIconSize(QSize(16, 15));
    m_wndToolBar->setMovable(true);
    m_wndToolBar->setFloatable(true);
    m_wndToolBar->setAllowedAreas(Qt::AllToolBarAreas);
    const std::pair<int, const char*> buttons[] = {
        {ID_FILE_OPEN, "open"},  {ID_SAVE_CURRENT_IMAGE, "save"}, {0, nullptr},
        {ID_EDIT_CUT, "cut"},    {ID_EDIT_COPY, "copy"},          {ID_EDIT_PASTE, "paste"},
        {0, nullptr},            {ID_FILE_PRINT, "print"},        {ID_APP_ABOUT, "about"},
    };
    const char* tips[] = {"Open", "Save Current Image", nullptr, "Cut", "Copy", "Paste", nullptr, "Print", "About"};
    int i = 0;
    for (const auto& [id, icon] : buttons) {
        if (id == 0) {
            m_wndToolBar->addSeparator();
        } else {
            QAction* action = m_actions.at(id);
            action->setIcon(toolbar_icon(icon));
            action->setToolTip(QString::fromLatin1(tips[i]));
            m_wndToolBar->addAction(action);
        }
        ++i;
    }
    if (m_wndToolBar->actions().size() != 9) {
        KALVIO_TRACE("Failed to create toolbar\n");
        return false;
    }
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);

    m_wndStatusBar = new QStatusBar(this);
    m_wndStatusBar->setObjectName(QStringLiteral("statusbar"));
    const char* indicators[] = {"CAP", "NUM", "SCRL"};
    for (int k = 0; k < 3; ++k) {
        m_pIndicators[k] = new QLabel(QString::fromLatin1(indicators[k]), m_wndStatusBar);
        m_pIndicators[k]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        m_pIndicators[k]->setAlignment(Qt::AlignCenter);
        m_pIndicators[k]->setMinimumWidth(m_pIndicators[k]->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 8);
        // Qt offers no portable way to read the lock keys' state, so the
        // indicators stay greyed.
        m_pIndicators[k]->setEnabled(false);
        m_wndStatusBar->addPermanentWidget(m_pIndicators[k]);
    }
    setStatusBar(m_wndStatusBar);
    // A message that timed out leaves the idle text, not an empty pane.
    connect(m_wndStatusBar, &QStatusBar::messageChanged, this, [this](const QString& text) {
        if (text.isEmpty()) SetStatusText(QString());
    });
    SetStatusText(QString());
    OnActiveFrameChanged();
    return true;
}

QAction* CMainFrame::Action(int id) const {
    const auto found = m_actions.find(id);
    return found == m_actions.end() ? nullptr : found->second;
}

QPrinter* CMainFrame::Printer() const { return m_pApp->Printer(); }

void CMainFrame::SetStatusText(const QString& text, int timeout_ms) {
    if (!m_wndStatusBar) return;
    m_wndStatusBar->showMessage(text.isEmpty() ? QStringLiteral("Ready") : text, std::max(0, timeout_ms));
    m_wndStatusBar->repaint();
}

CChildFrame* CMainFrame::MDIGetActive() const {
    QMdiSubWindow* window = m_pMdiArea->activeSubWindow();
    if (!window) {
        // Without focus (an inactive main window) the area reports none;
        // the current window is still the one the user works in.
        window = m_pMdiArea->currentSubWindow();
    }
    return dynamic_cast<CChildFrame*>(window);
}

bool CMainFrame::RouteCommand(int id) {
    if (CChildFrame* frame = MDIGetActive()) {
        CView* view = frame->GetActiveView();
        if (view->OnCommand(id)) return true;
        if (view->GetDocument()->OnCommand(id)) return true;
        if (frame->OnCommand(id)) return true;
    }
    if (OnCommand(id)) return true;
    return m_pApp->OnCommand(id);
}

void CMainFrame::UpdateActions() {
    CChildFrame* frame = MDIGetActive();
    for (const auto& [id, action] : m_actions) {
        CCmdUI ui(id);
        bool handled = false;
        if (frame) {
            CView* view = frame->GetActiveView();
            handled = view->OnUpdateCmdUI(ui) || view->GetDocument()->OnUpdateCmdUI(ui) || frame->OnUpdateCmdUI(ui);
        }
        if (!handled) handled = OnUpdateCmdUI(ui) || m_pApp->OnUpdateCmdUI(ui);
        // A command nobody handles is greyed.
        action->setEnabled(handled && ui.m_bEnabled);
        if (action->isCheckable()) action->setChecked(ui.m_bChecked);
    }
}

void CMainFrame::fill_file_menu(QMenu* menu, bool document_menu) {
    menu->addAction(m_actions[ID_FILE_NEW]);
    menu->addAction(m_actions[ID_FILE_OPEN]);
    if (document_menu) {
        menu->addAction(m_actions[ID_FILE_CLOSE]);
        menu->addAction(m_actions[ID_SAVE_CURRENT_IMAGE]);
        menu->addAction(m_actions[ID_FILE_SAVE_SEEDS]);
        menu->addAction(m_actions[ID_FILE_EXPORT_MASK]);
        menu->addSeparator();
        menu->addAction(m_actions[ID_FILE_PRINT]);
        menu->addAction(m_actions[ID_FILE_PRINT_PREVIEW]);
    } else {
        menu->addSeparator();
    }
    menu->addAction(m_actions[ID_FILE_PRINT_SETUP]);
    menu->addSeparator();
    // The recent files, or a greyed placeholder when there are none.
    const QStringList& files = m_pApp->RecentFiles();
    if (files.isEmpty()) {
        QAction* placeholder = menu->addAction(QStringLiteral("Recent File"));
        placeholder->setEnabled(false);
    }
    for (int i = 0; i < files.size() && i < kRecentFileCount; ++i) {
        QAction* action = m_actions[ID_FILE_MRU_FILE1 + i];
        QString shown = files[i];
        shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
        action->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(shown));
        menu->addAction(action);
    }
    menu->addSeparator();
    if (!document_menu) menu->addAction(m_actions[ID_FILE_CLOSE]);
    menu->addAction(m_actions[ID_APP_EXIT]);
}

void CMainFrame::fill_window_menu(QMenu* menu) {
    menu->clear();
    menu->addAction(m_actions[ID_WINDOW_NEW]);
    menu->addAction(m_actions[ID_WINDOW_CASCADE]);
    menu->addAction(m_actions[ID_WINDOW_TILE_HORZ]);
    menu->addAction(m_actions[ID_WINDOW_ARRANGE]);
    // The open document windows, the active one checked.
    const QList<QMdiSubWindow*> windows = m_pMdiArea->subWindowList(QMdiArea::CreationOrder);
    if (!windows.isEmpty()) menu->addSeparator();
    int number = 0;
    for (QMdiSubWindow* window : windows) {
        ++number;
        QString title = window->windowTitle();
        title.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* action = menu->addAction(number < 10 ? QStringLiteral("&%1 %2").arg(number).arg(title) : title);
        action->setCheckable(true);
        action->setChecked(window == MDIGetActive());
        connect(action, &QAction::triggered, this, [this, window] { m_pMdiArea->setActiveSubWindow(window); });
    }
}

const std::vector<QMenu*>& CMainFrame::menu_set(bool document_menu) {
    std::vector<QMenu*>& menus = m_menuSets[document_menu ? 1 : 0];
    if (!menus.empty()) return menus;
    auto add_menu = [&](const QString& title) {
        auto* menu = new QMenu(title, this);
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateActions);
        menus.push_back(menu);
        return menu;
    };
    add_menu(QStringLiteral("&File"));  // filled by UpdateMenus: it lists the recent files
    if (document_menu) {
        QMenu* edit = add_menu(QStringLiteral("&Edit"));
        edit->addAction(m_actions[ID_EDIT_UNDO]);
        edit->addAction(m_actions[ID_EDIT_REDO]);
        edit->addAction(m_actions[ID_EDIT_CLEAR_SEEDS]);
        edit->addSeparator();
        edit->addAction(m_actions[ID_EDIT_GRAPHCUT]);
        edit->addAction(m_actions[ID_EDIT_LIVE_GRAPHCUT]);
        edit->addAction(m_actions[ID_EDIT_TUNEPARAMETER]);
        edit->addAction(m_actions[ID_EDIT_MAKE_REGION_MAP]);
    }
    QMenu* view = add_menu(QStringLiteral("&View"));
    view->addAction(m_actions[ID_VIEW_TOOLBAR]);
    view->addAction(m_actions[ID_VIEW_STATUS_BAR]);
    if (document_menu) {
        view->addSeparator();
        view->addAction(m_actions[ID_IMAGE_WINDOWCENTER]);
        view->addAction(m_actions[ID_VIEW_SHOW_REGIONS]);
        view->addAction(m_actions[ID_VIEW_OVERLAY]);
        view->addAction(m_actions[ID_VIEW_OVERLAY_OPACITY]);
        QMenu* window = add_menu(QStringLiteral("&Window"));
        connect(window, &QMenu::aboutToShow, this, [this, window] { fill_window_menu(window); });
    }
    add_menu(QStringLiteral("&Help"))->addAction(m_actions[ID_APP_ABOUT]);
    if (document_menu) {
        QMenu* zoom = add_menu(QStringLiteral("Zoom"));
        for (int id : {ID_ZOOM_EIGHTH, ID_ZOOM_QUARTER, ID_ZOOM_HALF}) zoom->addAction(m_actions[id]);
        for (int i = 0; i < 4; ++i) zoom->addAction(m_actions[ID_ZOOM_X1 + i]);
        zoom->addSeparator();
        zoom->addAction(m_actions[ID_ZOOM_FIT]);
        add_menu(QStringLiteral("Save"))->addAction(m_actions[ID_SAVE_RESULTS]);
    }
    return menus;
}

void CMainFrame::UpdateMenus() {
    const bool document_menu = MDIGetActive() != nullptr;
    m_nMenu = document_menu ? IDR_VARNEXTYPE : IDR_MAINFRAME;
    const std::vector<QMenu*>& menus = menu_set(document_menu);
    QMenu* file = menus.front();
    file->clear();
    fill_file_menu(file, document_menu);
    if (document_menu) fill_window_menu(menus[3]);  // File, Edit, View, Window, Help, Zoom, Save
    // The bar does not own the menus: clearing it only takes them off.
    QMenuBar* bar = menuBar();
    bar->clear();
    for (QMenu* menu : menus) bar->addMenu(menu);
}

void CMainFrame::OnUpdateFrameTitle() {
    QString caption = QStringLiteral("Quellbox");
    if (CChildFrame* frame = MDIGetActive()) caption += QStringLiteral(" - ") + frame->windowTitle();
    setWindowTitle(caption);
}

void CMainFrame::on_sub_window_activated(QMdiSubWindow* window) {
    // Deactivation (null) while another window still exists keeps the menus:
    // it happens when the main window itself loses focus.
    if (!window && MDIGetActive()) return;
    OnActiveFrameChanged();
}

void CMainFrame::OnActiveFrameChanged() {
    UpdateMenus();
    UpdateActions();
    OnUpdateFrameTitle();
}

void CMainFrame::cascade_windows() {
    // Qt's own cascade gives every window its size hint, a fraction of a
    // picture; here each window keeps the size that fits its picture at its
    // zoom, as when it opened, within the area.
    const QRect area(QPoint(0, 0), m_pMdiArea->viewport()->size());
    QPoint at = area.topLeft();
    // Bottom window first, so that raising each in turn keeps the order and
    // every window shows the title bar of the one beneath.
    for (QMdiSubWindow* window : m_pMdiArea->subWindowList(QMdiArea::StackingOrder)) {
        auto* frame = dynamic_cast<CChildFrame*>(window);
        if (!frame || frame->isMinimized()) continue;
        if (frame->isMaximized()) frame->showNormal();
        const QSize size = frame->FittingSize().boundedTo(area.size());
        // A window that would reach beyond the area starts a new round at
        // the corner.
        if (!area.contains(QRect(at, size))) at = area.topLeft();
        frame->setGeometry(QRect(at, size));
        frame->raise();
        const int step = std::max(1, frame->widget()->y());  // title bar and top border
        at += QPoint(step, step);
    }
}

void CMainFrame::arrange_icons() {
    // Minimised document windows in a row along the bottom of the area.
    int x = 0;
    const int bottom = m_pMdiArea->viewport()->height();
    for (QMdiSubWindow* window : m_pMdiArea->subWindowList(QMdiArea::CreationOrder)) {
        if (!window->isMinimized()) continue;
        window->move(x, bottom - window->height());
        x += window->width();
    }
}

bool CMainFrame::OnCommand(int id) {
    switch (id) {
    case ID_VIEW_TOOLBAR:
        m_wndToolBar->setVisible(!m_wndToolBar->isVisible());
        return true;
    case ID_VIEW_STATUS_BAR:
        m_wndStatusBar->setVisible(!m_wndStatusBar->isVisible());
        return true;
    case ID_WINDOW_NEW:
        if (CChildFrame* frame = MDIGetActive()) m_pApp->NewWindow(frame->GetActiveView()->GetDocument());
        return true;
    case ID_WINDOW_CASCADE:
        cascade_windows();
        return true;
    case ID_WINDOW_TILE_HORZ:
        m_pMdiArea->tileSubWindows();
        return true;
    case ID_WINDOW_ARRANGE:
        arrange_icons();
        return true;
    case ID_NEXT_PANE:
        m_pMdiArea->activateNextSubWindow();
        return true;
    case ID_PREV_PANE:
        m_pMdiArea->activatePreviousSubWindow();
        return true;
    case ID_FILE_CLOSE:
        // Closes the document with all its windows, asking first about
        // unsaved changes.
        if (CChildFrame* frame = MDIGetActive()) frame->GetActiveView()->GetDocument()->CloseAllFrames();
        return true;
    default:
        return false;
    }
}

bool CMainFrame::OnUpdateCmdUI(CCmdUI& ui) {
    switch (ui.m_nID) {
    case ID_VIEW_TOOLBAR:
        ui.SetCheck(m_wndToolBar && m_wndToolBar->isVisible());
        return true;
    case ID_VIEW_STATUS_BAR:
        ui.SetCheck(m_wndStatusBar && m_wndStatusBar->isVisible());
        return true;
    case ID_WINDOW_NEW:
    case ID_WINDOW_CASCADE:
    case ID_WINDOW_TILE_HORZ:
    case ID_WINDOW_ARRANGE:
    case ID_FILE_CLOSE:
    case ID_NEXT_PANE:
    case ID_PREV_PANE:
        ui.Enable(MDIGetActive() != nullptr);
        return true;
    default:
        return false;
    }
}

bool CMainFrame::event(QEvent* event) {
    if (event->type() == QEvent::StatusTip) {
        // Leaving a menu item or button brings back the idle text.
        SetStatusText(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    return QMainWindow::event(event);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // Unsaved work asks first; Cancel keeps the program and every window.
    if (!CChildFrame::CloseAll(m_pMdiArea)) {
        event->ignore();
        return;
    }
    QSettings settings;
    settings.setValue(QStringLiteral("Settings/Geometry"), saveGeometry());
    settings.setValue(QStringLiteral("Settings/State"), saveState());
    event->accept();
    // Closing the main window ends the program, also while a window/centre
    // dialog (a window of its own) is still open.
    QCoreApplication::quit();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        for (const QUrl& url : event->mimeData()->urls())
            if (url.isLocalFile()) {
                event->acceptProposedAction();
                return;
            }
    }
}

void CMainFrame::dropEvent(QDropEvent* event) {
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) m_pApp->OpenDocumentFile(url.toLocalFile());
    event->acceptProposedAction();
}
