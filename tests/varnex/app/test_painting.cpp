// Painting on after a cut, undo and redo, the eraser, the brush, Live
// Graphcut, seed files and the question before unsaved seeds are lost.
#include "app_harness.h"

#include "resource.h"

#include <varnex/myimage.h>
#include <varnex/segmentation_run.h>

#include <QAction>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QWheelEvent>

#include <set>
#include <utility>

using namespace varnex_test;

namespace {

std::vector<unsigned char> object_mask(const CVarnexDoc* doc) {
    const unsigned char* mask = doc->ObjectMask();
    if (!mask) return {};
    return std::vector<unsigned char>(mask, mask + std::size_t(doc->m_pImage->ncols) * doc->m_pImage->nrows);
}

QByteArray display_bits(const CVarnexDoc* doc) {
    const varnex::DisplayBitmap* dib = doc->m_pViewDib;
    return QByteArray(reinterpret_cast<const char*>(dib->bits), static_cast<qsizetype>(dib->image_size));
}

// The seeds of both kinds, as the segmentation object holds them.
std::pair<std::vector<QPoint>, std::vector<QPoint>> seeds_of(Session& s) {
    return {points_of(s.contour()->object_seeds), points_of(s.contour()->background_seeds)};
}

void drag(Session& s, QPoint from, QPoint to, Qt::MouseButton button, Qt::KeyboardModifiers modifiers = {}) {
    send_mouse(s.viewport(), QEvent::MouseButtonPress, from, button, button, modifiers);
    send_mouse(s.viewport(), QEvent::MouseMove, to, Qt::NoButton, button, modifiers);
    send_mouse(s.viewport(), QEvent::MouseButtonRelease, to, button, Qt::NoButton, modifiers);
}

void wheel(Session& s, int notches) {
    const QPointF at(40, 40);
    QWheelEvent event(at, s.viewport()->mapToGlobal(at), QPoint(), QPoint(0, notches * 120), Qt::NoButton,
                      Qt::ShiftModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(s.viewport(), &event);
}

void click_button(QDialog* dialog, QMessageBox::StandardButton which) {
    auto* box = qobject_cast<QMessageBox*>(dialog);
    QVERIFY(box && box->button(which));
    box->button(which)->click();
}

}  // namespace

class PaintingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Paint, cut, paint on, cut again: the second cut uses every stroke
    // and labels as a fresh run on the same seeds does. Undo takes the last
    // stroke back and cuts again, giving the first result; Redo restores
    // both.
    void paintCutPaintCutUndoRedo() {
        const QString folder = m_dir.filePath(QStringLiteral("cut"));
        const QString picture = copy_case(folder, QStringLiteral("brain_pd.bmp"));
        Session s;
        QVERIFY(s.start(picture));
        QVERIFY(s.main()->RouteCommand(ID_ZOOM_X1));
        s.stroke({78, 103}, Qt::LeftButton);
        for (QPoint p : {QPoint(37, 97), QPoint(137, 114), QPoint(90, 150), QPoint(5, 14)}) s.stroke(p, Qt::RightButton);
        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        QCOMPARE(s.messages->texts(), std::vector<std::string>());
        const auto first_seeds = seeds_of(s);
        const std::vector<unsigned char> first = object_mask(s.doc());
        QVERIFY(!first.empty());
        const QByteArray first_display = display_bits(s.doc());

        drag(s, {104, 92}, {100, 118}, Qt::LeftButton);
        const auto second_seeds = seeds_of(s);
        QVERIFY(second_seeds.first.size() > first_seeds.first.size());
        QVERIFY(std::equal(first_seeds.first.begin(), first_seeds.first.end(), second_seeds.first.begin()));
        QCOMPARE(display_bits(s.doc()), first_display);  // the result stays shown while painting
        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        const std::vector<unsigned char> second = object_mask(s.doc());
        QVERIFY(second != first);

        MyImage image;
        QVERIFY(image.ReadImage(QFile::encodeName(picture).constData()));
        Contour fresh(&image);
        for (const QPoint& p : second_seeds.first) fresh.AddSeed(p.x(), p.y(), 1);
        for (const QPoint& p : second_seeds.second) fresh.AddSeed(p.x(), p.y(), 2);
        fresh.parameter = s.doc()->m_fParameter;
        fresh.result_levels = s.doc()->GreyTable();
        {
            SegmentationRun run(fresh, QFile::encodeName(QDir(folder).filePath(QStringLiteral("brain_pd_regions.bmp"))).toStdString());
            QVERIFY(run.ok());
            const MyImage* ours = s.contour()->result;
            QCOMPARE(ours->nrows, fresh.result->nrows);
            const int row_floats = ours->ncols * (ours->color == 1 ? 3 : 1);
            for (int y = 0; y < ours->nrows; ++y)
                QVERIFY(std::equal(ours->data[y], ours->data[y] + row_floats, fresh.result->data[y]));
        }

        s.main()->UpdateActions();
        QVERIFY(s.main()->Action(ID_EDIT_UNDO)->isEnabled() && !s.main()->Action(ID_EDIT_REDO)->isEnabled());
        QVERIFY(s.main()->RouteCommand(ID_EDIT_UNDO));
        QCOMPARE(seeds_of(s), first_seeds);
        QVERIFY(object_mask(s.doc()) == first);
        QVERIFY(s.main()->Action(ID_EDIT_REDO)->isEnabled());
        QVERIFY(s.main()->RouteCommand(ID_EDIT_REDO));
        QCOMPARE(seeds_of(s), second_seeds);
        QVERIFY(object_mask(s.doc()) == second);
        QCOMPARE(s.messages->texts(), std::vector<std::string>());
    }

    // The middle button, or Shift with a painting button, erases seeds of
    // both kinds under the brush; Clear Seeds empties both lists; each is a
    // stroke that Undo takes back and Redo does again.
    void eraserAndClear() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        QVERIFY(s.main()->RouteCommand(ID_ZOOM_X1));
        s.stroke({50, 50}, Qt::LeftButton);   // columns 47..53
        s.stroke({56, 50}, Qt::RightButton);  // columns 53..59
        drag(s, {53, 50}, {53, 50}, Qt::MiddleButton);  // erases columns 50..56
        auto [object, background] = seeds_of(s);
        QCOMPARE(object.size(), std::size_t(21));
        QCOMPARE(background.size(), std::size_t(21));
        for (const QPoint& p : object) QVERIFY(p.x() < 50);
        for (const QPoint& p : background) QVERIFY(p.x() > 56);

        QVERIFY(s.main()->RouteCommand(ID_EDIT_UNDO));
        QCOMPARE(s.contour()->object_seeds.GetCount(), 49);
        QCOMPARE(s.contour()->background_seeds.GetCount(), 49);

        QVERIFY(s.main()->RouteCommand(ID_EDIT_REDO));
        drag(s, {46, 50}, {46, 50}, Qt::LeftButton, Qt::ShiftModifier);
        QVERIFY(s.contour()->object_seeds.IsEmpty());
        QCOMPARE(s.contour()->background_seeds.GetCount(), 21);

        QVERIFY(s.main()->RouteCommand(ID_EDIT_CLEAR_SEEDS));
        QVERIFY(s.contour()->background_seeds.IsEmpty());
        QVERIFY(s.main()->RouteCommand(ID_EDIT_UNDO));
        QCOMPARE(s.contour()->background_seeds.GetCount(), 21);
    }

    // A click leaves one brush square; a drag much faster than the mouse
    // events stamps every pixel of the straight path between them, each
    // pixel once.
    void clickAndFastDrag() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        QVERIFY(s.main()->RouteCommand(ID_ZOOM_X1));
        send_mouse(s.viewport(), QEvent::MouseButtonPress, {30, 30}, Qt::LeftButton, Qt::LeftButton);
        send_mouse(s.viewport(), QEvent::MouseButtonRelease, {30, 30}, Qt::LeftButton, Qt::NoButton);
        check_brush(points_of(s.contour()->object_seeds), {30, 30}, {384, 303});
        QCOMPARE(s.doc()->m_strokes.DoneCount(), std::size_t(1));

        QVERIFY(s.main()->RouteCommand(ID_EDIT_UNDO));
        drag(s, {20, 20}, {220, 100}, Qt::LeftButton);
        const std::vector<QPoint> seeds = points_of(s.contour()->object_seeds);
        std::set<std::pair<int, int>> distinct;
        for (const QPoint& p : seeds) distinct.insert({p.x(), p.y()});
        QCOMPARE(distinct.size(), seeds.size());
        for (int x = 20; x <= 220; ++x) {
            const int y = qRound(20 + (x - 20) * 80.0 / 200.0);
            for (int dy : {-3, 0, 3})
                QVERIFY2(distinct.count({x, y + dy}), qPrintable(QStringLiteral("gap at %1,%2").arg(x).arg(y + dy)));
        }
        QCOMPARE(s.doc()->m_strokes.DoneCount(), std::size_t(1));
    }

    // Seeds show as solid marks at every zoom, even a single seeded pixel
    // at 1/8: object red, background green.
    void marksShowAtEveryZoom() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        s.add_stroke(SeedStrokes::kObject, {{20, 20}});
        s.add_stroke(SeedStrokes::kBackground, {{60, 30}});
        for (int id : {ID_ZOOM_EIGHTH, ID_ZOOM_HALF, ID_ZOOM_X1, ID_ZOOM_X4}) {
            QVERIFY(s.main()->RouteCommand(id));
            const QImage shown = s.viewport()->grab().toImage();
            const QColor object = shown.pixelColor(s.view()->ImageToClient(QRect(20, 20, 1, 1)).topLeft());
            const QColor background = shown.pixelColor(s.view()->ImageToClient(QRect(60, 30, 1, 1)).topLeft());
            QVERIFY2(object.red() > 180 && object.green() < 80, qPrintable(QString::number(id)));
            QVERIFY2(background.green() > 180 && background.red() < 80, qPrintable(QString::number(id)));
        }
    }

    // [ and ] and Shift with the wheel change the brush in odd steps
    // between 1 and 51, say so in the status bar and show it as the cursor
    // while it is large enough on screen; a click paints the new size.
    void brushSize() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        QVERIFY(s.main()->RouteCommand(ID_ZOOM_X1));
        CVarnexView* view = s.view();
        QCOMPARE(view->BrushSize(), 7);
        QTest::keyClick(view, Qt::Key_BracketRight);
        QCOMPARE(view->BrushSize(), 9);
        QCOMPARE(s.main()->StatusBar()->currentMessage(), QStringLiteral("Brush 9 x 9 pixels"));
        QCOMPARE(s.viewport()->cursor().shape(), Qt::BitmapCursor);
        for (int i = 0; i < 30; ++i) QTest::keyClick(view, Qt::Key_BracketRight);
        QCOMPARE(view->BrushSize(), 51);
        for (int i = 0; i < 30; ++i) QTest::keyClick(view, Qt::Key_BracketLeft);
        QCOMPARE(view->BrushSize(), 1);
        QCOMPARE(s.viewport()->cursor().shape(), Qt::CrossCursor);  // too small to outline
        wheel(s, 1);
        QCOMPARE(view->BrushSize(), 3);
        wheel(s, -3);
        QCOMPARE(view->BrushSize(), 1);
        wheel(s, 2);
        s.stroke({40, 40}, Qt::LeftButton);
        QCOMPARE(s.contour()->object_seeds.GetCount(), 25);
    }

    // Graphcut without seeds of both kinds says in one sentence what to
    // paint with which button, and cuts nothing.
    void graphcutNeedsBothKinds() {
        const QString picture = copy_case(m_dir.filePath(QStringLiteral("needs")), QStringLiteral("coins.pgm"));
        Session s;
        QVERIFY(s.start(picture));
        const QByteArray before = display_bits(s.doc());
        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        s.stroke({40, 40}, Qt::LeftButton);
        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        QCOMPARE(s.messages->texts(),
                 (std::vector<std::string>{
                     "Paint the object with the left mouse button and the background with the right one before Graphcut.",
                     "Paint the background with the right mouse button before Graphcut."}));
        for (const auto& box : s.messages->boxes()) QCOMPARE(box.icon, kalvio::MessageIcon::Information);
        QVERIFY(!s.doc()->HasResult());
        QCOMPARE(display_bits(s.doc()), before);
    }

    // With Live Graphcut on, the release of a stroke cuts once seeds of
    // both kinds exist, and so do Undo and Redo, without a message box.
    void liveGraphcut() {
        const QString picture = copy_case(m_dir.filePath(QStringLiteral("live")), QStringLiteral("brain_pd.bmp"));
        Session s;
        QVERIFY(s.start(picture));
        QVERIFY(s.main()->RouteCommand(ID_ZOOM_X1));
        QVERIFY(s.main()->RouteCommand(ID_EDIT_LIVE_GRAPHCUT));
        s.main()->UpdateActions();
        QVERIFY(s.main()->Action(ID_EDIT_LIVE_GRAPHCUT)->isChecked());
        s.stroke({78, 103}, Qt::LeftButton);
        QVERIFY(!s.doc()->HasResult());
        for (QPoint p : {QPoint(37, 97), QPoint(137, 114), QPoint(90, 150)}) s.stroke(p, Qt::RightButton);
        QVERIFY(s.doc()->HasResult());
        const std::vector<unsigned char> first = object_mask(s.doc());
        drag(s, {104, 92}, {100, 118}, Qt::LeftButton);
        QVERIFY(object_mask(s.doc()) != first);
        QVERIFY(s.main()->RouteCommand(ID_EDIT_UNDO));
        QVERIFY(object_mask(s.doc()) == first);
        QVERIFY(s.messages->boxes().empty());
    }

    // Save Seeds writes the seeds as 'x y kind' lines that varnex-segment
    // reads; opening the picture again brings them back as saved. A name
    // that leads to the picture is refused, and a broken seeds file is
    // ignored after one message.
    void saveSeedsAndReopen() {
        const QString folder = m_dir.filePath(QStringLiteral("seeds"));
        const QString picture = copy_case(folder, QStringLiteral("brain_pd.bmp"));
        const QString seeds_file = QDir(folder).filePath(QStringLiteral("brain_pd_seeds.txt"));
        std::pair<std::vector<QPoint>, std::vector<QPoint>> painted;
        {
            Session s;
            QVERIFY(s.start(picture));
            QVERIFY(s.main()->RouteCommand(ID_ZOOM_X1));
            drag(s, {74, 93}, {80, 114}, Qt::LeftButton);
            s.stroke({37, 97}, Qt::RightButton);
            s.stroke({90, 150}, Qt::RightButton);
            drag(s, {78, 110}, {78, 110}, Qt::MiddleButton);
            QVERIFY(s.doc()->m_strokes.Modified());
            QVERIFY(s.main()->RouteCommand(ID_FILE_SAVE_SEEDS));
            QCOMPARE(s.messages->texts(), std::vector<std::string>());
            QVERIFY(!s.doc()->m_strokes.Modified());
            painted = seeds_of(s);
        }
        QProcess tool;
        tool.start(QStringLiteral(VARNEX_SEGMENT),
                   {picture, "--seeds", seeds_file, "--output", QDir(folder).filePath(QStringLiteral("tool.bmp"))});
        QVERIFY(tool.waitForFinished(60000));
        QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0, tool.readAllStandardError());
        QVERIFY(tool.readAllStandardOutput().contains(
            QStringLiteral("seeds: %1 object, %2 background").arg(painted.first.size()).arg(painted.second.size()).toLatin1()));
        {
            Session s;
            QVERIFY(s.start(picture));
            QCOMPARE(seeds_of(s), painted);
            QVERIFY(!s.doc()->m_strokes.Modified());
            QVERIFY(QFile::remove(seeds_file));
            QVERIFY(QFile::link(QStringLiteral("brain_pd.bmp"), seeds_file));
            const QByteArray original = read_all(picture);
            QVERIFY(s.main()->RouteCommand(ID_FILE_SAVE_SEEDS));
            QVERIFY(s.last_message().find("Couldn't save the seeds") == 0);
            QCOMPARE(read_all(picture), original);
            QVERIFY(QFile::remove(seeds_file));
        }
        {
            QFile broken(seeds_file);
            QVERIFY(broken.open(QIODevice::WriteOnly));
            broken.write("10 10 1\n10 10 3\n");
        }
        Session s;
        QVERIFY(s.start(QString()));  // messages are recorded from here on
        QVERIFY(s.app->OpenDocumentFile(picture));
        QCOMPARE(s.messages->texts().size(), std::size_t(1));
        QVERIFY(s.last_message().find("line 2") != std::string::npos);
        QVERIFY(s.contour()->object_seeds.IsEmpty());
    }

    // Closing the last window of a document with unsaved strokes asks:
    // Cancel keeps the window, Discard closes it without a file, Save
    // writes the seeds file and closes; quitting asks the same way.
    void closingAsksAboutUnsavedSeeds() {
        const QString folder = m_dir.filePath(QStringLiteral("close"));
        const QString picture = copy_sample(folder, QStringLiteral("coins.pgm"));
        const QString seeds_file = QDir(folder).filePath(QStringLiteral("coins_seeds.txt"));
        Session s;
        QVERIFY(s.start(picture));
        s.stroke({40, 40}, Qt::LeftButton);
        QPointer<CChildFrame> frame = s.main()->MDIGetActive();
        QVERIFY(with_modal([&] { frame->close(); }, [](QDialog* d) { click_button(d, QMessageBox::Cancel); }));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(frame && frame->isVisible());
        QVERIFY(with_modal([&] { frame->close(); }, [](QDialog* d) { click_button(d, QMessageBox::Discard); }));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!frame);
        QVERIFY(!QFileInfo::exists(seeds_file));

        QVERIFY(s.app->OpenDocumentFile(picture));
        s.stroke({40, 40}, Qt::RightButton);
        QVERIFY(with_modal([&] { s.main()->RouteCommand(ID_FILE_CLOSE); },
                           [](QDialog* d) { click_button(d, QMessageBox::Save); }));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!s.main()->MDIGetActive());
        QVERIFY(read_all(seeds_file).contains("40 40 2\n"));

        QVERIFY(s.app->OpenDocumentFile(picture));
        s.stroke({60, 60}, Qt::LeftButton);
        QVERIFY(with_modal([&] { s.main()->close(); }, [](QDialog* d) { click_button(d, QMessageBox::Cancel); }));
        QVERIFY(s.main()->MDIGetActive());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(PaintingTest)
#include "test_painting.moc"
