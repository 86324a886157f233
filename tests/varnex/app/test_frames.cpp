// The main window around the documents: its command states and caption,
// the arrangement of document windows, the recent-file list kept in the
// settings, the names of the files beside a picture, and ending the program.
#include "app_harness.h"

#include "dialogs.h"
#include "resource.h"

#include <QAction>
#include <QFileInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QTimer>

using namespace varnex_test;

namespace {

// The item texts of the File menu, "-" for a separator.
QStringList file_menu(const CMainFrame* main) {
    QStringList items;
    for (QAction* item : main->menuBar()->actions().value(0)->menu()->actions())
        items << (item->isSeparator() ? QStringLiteral("-") : item->text());
    return items;
}

bool enabled(const CMainFrame* main, int id) { return main->Action(id)->isEnabled(); }

// The document windows in the order they were opened.
QList<CChildFrame*> frames_of(const CMainFrame* main) {
    QList<CChildFrame*> frames;
    for (QMdiSubWindow* window : main->MdiArea()->subWindowList(QMdiArea::CreationOrder))
        frames << static_cast<CChildFrame*>(window);
    return frames;
}

QRect workspace(const CMainFrame* main) { return QRect(QPoint(0, 0), main->MdiArea()->viewport()->size()); }

QStringList stored_recent_files() {
    QSettings settings;
    QStringList files;
    for (int i = 1; i <= 5; ++i) {
        const QString key = QStringLiteral("Recent File List/File%1").arg(i);
        if (settings.contains(key)) files << settings.value(key).toString();
    }
    return files;
}

}  // namespace

class FramesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QString::fromLatin1(CVarnexApp::kRegistryKey));
        QCoreApplication::setApplicationName(QString::fromLatin1(CVarnexApp::kAppTitle));
    }
    void init() { QSettings().clear(); }

    // Without a document only the application's commands work and the
    // caption is the title alone; a document window brings its menu, its
    // commands and its title after " - "; closing it takes them away again.
    void commandStatesAndCaption() {
        Session s;
        QVERIFY(s.start(QString()));
        CMainFrame* main = s.main();
        QCOMPARE(main->CurrentMenu(), IDR_MAINFRAME);
        QCOMPARE(main->windowTitle(), QStringLiteral("Quellbox"));
        QVERIFY(enabled(main, ID_FILE_OPEN) && enabled(main, ID_APP_ABOUT));
        for (int id : {ID_EDIT_GRAPHCUT, ID_SAVE_CURRENT_IMAGE, ID_FILE_CLOSE, ID_WINDOW_CASCADE, ID_ZOOM_X2})
            QVERIFY2(!enabled(main, id), qPrintable(QString::number(id)));
        QVERIFY(!main->RouteCommand(ID_EDIT_GRAPHCUT));
        QVERIFY(!main->RouteCommand(ID_ZOOM_X2));

        const QString picture = QFileInfo(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))).absoluteFilePath();
        QVERIFY(s.app->OpenDocumentFile(picture));
        QCOMPARE(main->CurrentMenu(), IDR_VARNEXTYPE);
        QCOMPARE(main->windowTitle(), QStringLiteral("Quellbox - coins.pgm"));
        for (int id : {ID_EDIT_GRAPHCUT, ID_EDIT_TUNEPARAMETER, ID_IMAGE_WINDOWCENTER, ID_SAVE_CURRENT_IMAGE,
                       ID_FILE_CLOSE, ID_WINDOW_NEW, ID_WINDOW_CASCADE, ID_ZOOM_X2})
            QVERIFY2(enabled(main, id), qPrintable(QString::number(id)));
        // Commands nobody handles stay greyed.
        for (int id : {ID_EDIT_CUT, ID_EDIT_COPY, ID_EDIT_PASTE, ID_EDIT_UNDO})
            QVERIFY2(!enabled(main, id), qPrintable(QString::number(id)));
        QVERIFY(main->RouteCommand(ID_ZOOM_X2));
        QCOMPARE(s.view()->m_nZoom, 2);

        QVERIFY(main->RouteCommand(ID_FILE_CLOSE));
        QTRY_COMPARE(main->CurrentMenu(), IDR_MAINFRAME);
        QCOMPARE(main->windowTitle(), QStringLiteral("Quellbox"));
        QVERIFY(!enabled(main, ID_EDIT_GRAPHCUT));
        QCOMPARE(file_menu(main)[5], "&1 " + picture);

        // Menus are switched on every activation: that must not pile up
        // menus or actions.
        QVERIFY(s.app->OpenDocumentFile(picture));
        main->UpdateMenus();
        QVERIFY(main->RouteCommand(ID_FILE_CLOSE));
        QTRY_COMPARE(main->CurrentMenu(), IDR_MAINFRAME);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const auto menus = main->findChildren<QMenu*>().size();
        const auto actions = main->findChildren<QAction*>().size();
        for (int i = 0; i < 5; ++i) {
            QVERIFY(s.app->OpenDocumentFile(picture));
            for (int k = 0; k < 10; ++k) main->UpdateMenus();
            QVERIFY(main->RouteCommand(ID_FILE_CLOSE));
            QTRY_COMPARE(main->CurrentMenu(), IDR_MAINFRAME);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(main->findChildren<QMenu*>().size(), menus);
        QCOMPARE(main->findChildren<QAction*>().size(), actions);
    }

    // When a program sets a display name, Qt's window-system back ends (X11
    // among them) append it to every caption that does not end with it:
    // "Quellbox - coins.pgm — Quellbox". None is set, so the display name is
    // whatever the application name is.
    void captionGetsNoSecondTitle() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        QCOMPARE(s.main()->windowTitle(), QStringLiteral("Quellbox - coins.pgm"));
        QCOMPARE(QGuiApplication::applicationDisplayName(), QStringLiteral("Quellbox"));
        QCoreApplication::setApplicationName(QStringLiteral("probe"));
        const QString display_name = QGuiApplication::applicationDisplayName();
        QCoreApplication::setApplicationName(QString::fromLatin1(CVarnexApp::kAppTitle));
        QCOMPARE(display_name, QStringLiteral("probe"));
    }

    // Cascade gives each window the size that fits its picture at its zoom
    // (as when it opened), whatever tiling did to it, and steps them down
    // from the area's corner, the active window on top.
    void cascadeKeepsPictureSizes() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        CMainFrame* main = s.main();
        QVERIFY(s.app->OpenDocumentFile(copy_sample(m_dir.path(), QStringLiteral("brain_pd.bmp"))));
        QVERIFY(main->RouteCommand(ID_ZOOM_X2));
        QVERIFY(main->RouteCommand(ID_WINDOW_NEW));
        CChildFrame* active = main->MDIGetActive();
        QVERIFY(main->RouteCommand(ID_WINDOW_TILE_HORZ));
        QVERIFY(main->RouteCommand(ID_WINDOW_CASCADE));

        // coins.pgm 384 x 303 at zoom 1, brain_pd.bmp 181 x 217 at zoom 2 and
        // (the new window) at zoom 1; 4 pixels of border each.
        const QList<CChildFrame*> frames = frames_of(main);
        QCOMPARE(frames.size(), 3);
        const QSize views[] = {{388, 307}, {366, 438}, {185, 221}};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(frames[i]->GetActiveView()->size(), views[i]);
            QVERIFY(workspace(main).contains(frames[i]->geometry()));
        }
        QCOMPARE(main->MDIGetActive(), active);
        const QList<QMdiSubWindow*> stacked = main->MdiArea()->subWindowList(QMdiArea::StackingOrder);
        QCOMPARE(stacked.back(), active);
        QCOMPARE(stacked.front()->pos(), QPoint(0, 0));
        for (qsizetype i = 1; i < stacked.size(); ++i) {
            const QPoint step = stacked[i]->pos() - stacked[i - 1]->pos();
            QCOMPARE(step.x(), step.y());
            // The window beneath keeps its title bar (the view's offset in
            // its frame less the side border) in sight.
            const QWidget* beneath = stacked[i - 1]->widget();
            QVERIFY(step.y() >= beneath->y() - beneath->x());
        }
    }

    // New windows open inside the document area and sized to their picture,
    // however the area's free places lie.
    void newWindowsOpenInsideTheArea() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        CMainFrame* main = s.main();
        for (int i = 0; i < 4; ++i) {
            QVERIFY(main->RouteCommand(ID_WINDOW_NEW));
            CChildFrame* frame = main->MDIGetActive();
            QVERIFY2(workspace(main).contains(frame->geometry()),
                     qPrintable(QStringLiteral("window %1 at %2,%3 %4 x %5 in %6 x %7")
                                    .arg(i + 2).arg(frame->x()).arg(frame->y()).arg(frame->width())
                                    .arg(frame->height()).arg(workspace(main).width()).arg(workspace(main).height())));
            QCOMPARE(frame->GetActiveView()->size(), QSize(388, 307));
        }
    }

    // The last four files opened, most recent first, in the settings and the
    // File menu; they survive a restart and open from the menu; a file that
    // can no longer be opened leaves the list.
    void recentFileList() {
        QStringList files;
        for (const char* name : {"a", "b", "c", "d", "e"}) {
            QFile file(m_dir.filePath(QString::fromLatin1(name) + QStringLiteral(".pgm")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("P5\n3 2\n255\n\001\002\003\004\005\006");
            files << QFileInfo(file).absoluteFilePath();
        }
        {
            Session s;
            QVERIFY(s.start(QString()));
            for (const QString& file : files) QVERIFY(s.app->OpenDocumentFile(file));
            QCOMPARE(s.app->RecentFiles(), (QStringList{files[4], files[3], files[2], files[1]}));
            QVERIFY(s.app->OpenDocumentFile(files[1]));  // already open: comes first again
            QCOMPARE(stored_recent_files(), (QStringList{files[1], files[4], files[3], files[2]}));
        }
        Session s;
        QVERIFY(s.start(QString()));
        QCOMPARE(s.app->RecentFiles(), (QStringList{files[1], files[4], files[3], files[2]}));
        QCOMPARE(file_menu(s.main()).mid(5, 4),
                 (QStringList{"&1 " + files[1], "&2 " + files[4], "&3 " + files[3], "&4 " + files[2]}));

        QVERIFY(s.main()->RouteCommand(ID_FILE_MRU_FILE1 + 1));
        QCOMPARE(s.main()->windowTitle(), QStringLiteral("Quellbox - e.pgm"));
        QCOMPARE(s.app->RecentFiles(), (QStringList{files[4], files[1], files[3], files[2]}));

        QVERIFY(QFile::remove(files[2]));
        QVERIFY(s.main()->RouteCommand(ID_FILE_MRU_FILE1 + 3));
        QVERIFY(!s.messages->boxes().empty());
        QCOMPARE(stored_recent_files(), (QStringList{files[4], files[1], files[3]}));
    }

    // A dot in a folder name does not end the base name: the region map and
    // the result stay beside the picture.
    void dottedFolder() {
        const QString folder = m_dir.filePath(QStringLiteral("scan.v2"));
        const QString picture = copy_sample(folder, QStringLiteral("coins.pgm"));
        Session s;
        QVERIFY(s.start(picture));
        const std::string base = QFile::encodeName(QDir(folder).filePath(QStringLiteral("coins"))).toStdString();
        QCOMPARE(s.doc()->m_strBaseName, base);
        QCOMPARE(s.doc()->m_strRegionsFile, base + "_regions.bmp");

        QVERIFY(s.main()->RouteCommand(ID_SAVE_CURRENT_IMAGE));
        QVERIFY(QFile::exists(QDir(folder).filePath(QStringLiteral("coins_res.bmp"))));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("scan_res.bmp"))));
    }

    // Exit ends the program's event loop even while the window/centre
    // dialog, a window of its own, is still open; otherwise the program
    // would live on without a main window.
    void exitEndsTheProgramWithTheDialogOpen() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        s.main()->RouteCommand(ID_IMAGE_WINDOWCENTER);
        QVERIFY(s.view()->GetWindCentDlg()->isVisible());
        QTimer::singleShot(0, s.main(), [&s] { s.main()->RouteCommand(ID_APP_EXIT); });
        bool timed_out = false;
        QTimer::singleShot(5000, [&timed_out] {
            timed_out = true;
            QCoreApplication::exit(1);
        });
        QCoreApplication::exec();
        QVERIFY(!timed_out);
    }

    // The application object may go while documents are still open (the
    // screenshot tool ends that way); nothing may reach the half-destroyed
    // main window. Kept last: a sanitizer report ends the program.
    void destroyedWithDocumentsOpen() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        QVERIFY(s.app->OpenDocumentFile(copy_sample(m_dir.path(), QStringLiteral("brain_pd.bmp"))));
        s.app.reset();
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(FramesTest)
#include "test_frames.moc"
