// The main window around the documents: its menus and caption, the
// recent-file list kept in the settings, the names of the files beside a
// picture, and ending the program.
#include "app_harness.h"

#include "dialogs.h"
#include "resource.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QTimer>

#include <algorithm>

using namespace varnex_test;

namespace {

using Menus = QList<QPair<QString, QStringList>>;

// The menu bar as titles with their item texts, "-" for a separator.
Menus menus_of(const CMainFrame* main) {
    Menus out;
    for (QAction* top : main->menuBar()->actions()) {
        QStringList items;
        for (QAction* item : top->menu()->actions()) items << (item->isSeparator() ? QStringLiteral("-") : item->text());
        out.append({top->text(), items});
    }
    return out;
}

// Menu by menu, so that a failure names the menu that differs.
void compare_menus(const CMainFrame* main, const Menus& expected) {
    const Menus actual = menus_of(main);
    for (qsizetype i = 0; i < std::max(actual.size(), expected.size()); ++i) {
        QCOMPARE(actual.value(i).first, expected.value(i).first);
        QCOMPARE(actual.value(i).second, expected.value(i).second);
    }
}

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

    // Without a document the short menu; with one the document menu and the
    // document's title in the caption; closing it brings the short menu back.
    void menusAndCaption() {
        const Menus short_menu = {
            {"&File", {"&New\tCtrl+N", "&Open...\tCtrl+O", "-", "P&rint Setup...", "-", "Recent File", "-",
                       "&Close", "E&xit"}},
            {"&View", {"&Toolbar", "&Status Bar"}},
            {"&Help", {"&About Varnex..."}},
        };
        Session s;
        QVERIFY(s.start(QString()));
        compare_menus(s.main(), short_menu);
        QCOMPARE(s.main()->CurrentMenu(), IDR_MAINFRAME);
        QCOMPARE(s.main()->windowTitle(), QStringLiteral("Quellbox"));
        QVERIFY(!s.main()->menuBar()->actions()[0]->menu()->actions()[5]->isEnabled());

        const QString picture = QFileInfo(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))).absoluteFilePath();
        QVERIFY(s.app->OpenDocumentFile(picture));
        const Menus document_menu = {
            {"&File", {"&New\tCtrl+N", "&Open...\tCtrl+O", "&Close", "Save Current Image", "-", "&Print...\tCtrl+P",
                       "Print Pre&view", "P&rint Setup...", "-", "&1 " + picture, "-", "E&xit"}},
            {"&Edit", {"Graphcut", "Tune Parameter"}},
            {"&View", {"&Toolbar", "&Status Bar", "-", "Image Window/Center"}},
            {"&Window", {"&New Window", "&Cascade", "&Tile", "&Arrange Icons", "-", "&1 coins.pgm"}},
            {"&Help", {"&About Varnex..."}},
            {"Zoom", {"x1", "x2", "x3", "x4"}},
            {"Save", {"Save Results"}},
        };
        compare_menus(s.main(), document_menu);
        QCOMPARE(s.main()->CurrentMenu(), IDR_VARNEXTYPE);
        QCOMPARE(s.main()->windowTitle(), QStringLiteral("Quellbox - coins.pgm"));

        QVERIFY(s.main()->RouteCommand(ID_FILE_CLOSE));
        QTRY_COMPARE(s.main()->CurrentMenu(), IDR_MAINFRAME);
        QCOMPARE(s.main()->windowTitle(), QStringLiteral("Quellbox"));
        QCOMPARE(menus_of(s.main())[0].second[5], "&1 " + picture);

        // Menus are switched on every activation: that must not pile up
        // menus or actions.
        QVERIFY(s.app->OpenDocumentFile(picture));
        s.main()->UpdateMenus();
        QVERIFY(s.main()->RouteCommand(ID_FILE_CLOSE));
        QTRY_COMPARE(s.main()->CurrentMenu(), IDR_MAINFRAME);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const auto menus = s.main()->findChildren<QMenu*>().size();
        const auto actions = s.main()->findChildren<QAction*>().size();
        for (int i = 0; i < 5; ++i) {
            QVERIFY(s.app->OpenDocumentFile(picture));
            for (int k = 0; k < 10; ++k) s.main()->UpdateMenus();
            QVERIFY(s.main()->RouteCommand(ID_FILE_CLOSE));
            QTRY_COMPARE(s.main()->CurrentMenu(), IDR_MAINFRAME);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(s.main()->findChildren<QMenu*>().size(), menus);
        QCOMPARE(s.main()->findChildren<QAction*>().size(), actions);
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
        QCOMPARE(menus_of(s.main())[0].second.mid(5, 4),
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
