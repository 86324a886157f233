// Painting seeds with the mouse, the Delete key and the Graphcut command,
// driven through the view's viewport on the offscreen platform.

// QTest's mouse functions go through the window, as real input does, so that
// Qt's mouse grab decides which widget receives them.
#define QTEST_QPA_MOUSE_HANDLING
#include "app_harness.h"

#include "resource.h"

#include <kalvio/image.h>

#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QScrollBar>

#include <cstring>

using namespace varnex_test;

namespace {

QByteArray display_bits(const CVarnexDoc* doc) {
    const varnex::DisplayBitmap* dib = doc->m_pViewDib;
    return QByteArray(reinterpret_cast<const char*>(dib->bits), static_cast<qsizetype>(dib->image_size));
}

}  // namespace

class MarkingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A press of a button (and a move that stays on the pixel) adds the
    // 7 x 7 square around the pixel under the mouse, clipped to the picture,
    // columns outer and rows inner, to the list of that button. The pixel is (position + scroll
    // position) / zoom, rounded down, also left of or above the view while the
    // mouse is held.
    void brushAddsSquareUnderTheMouse_data() {
        QTest::addColumn<int>("zoom");
        QTest::addColumn<QPoint>("scroll");
        QTest::addColumn<QPoint>("client");
        QTest::addColumn<QPoint>("pixel");
        QTest::newRow("x1") << 1 << QPoint(0, 0) << QPoint(10, 10) << QPoint(10, 10);
        QTest::newRow("x1 corner") << 1 << QPoint(0, 0) << QPoint(1, 1) << QPoint(1, 1);
        QTest::newRow("x2") << 2 << QPoint(0, 0) << QPoint(21, 15) << QPoint(10, 7);
        QTest::newRow("x2 scrolled") << 2 << QPoint(50, 31) << QPoint(21, 15) << QPoint(35, 23);
        QTest::newRow("x3 scrolled") << 3 << QPoint(40, 20) << QPoint(10, 10) << QPoint(16, 10);
        QTest::newRow("x4 scrolled") << 4 << QPoint(101, 7) << QPoint(2, 1) << QPoint(25, 2);
        QTest::newRow("x2 outside") << 2 << QPoint(0, 0) << QPoint(-1, -3) << QPoint(-1, -2);
    }
    void brushAddsSquareUnderTheMouse() {
        QFETCH(int, zoom);
        QFETCH(QPoint, scroll);
        QFETCH(QPoint, client);
        QFETCH(QPoint, pixel);
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        QVERIFY(s.main()->RouteCommand(ID_ZOOM_X1 + zoom - 1));
        s.view()->horizontalScrollBar()->setValue(scroll.x());
        s.view()->verticalScrollBar()->setValue(scroll.y());
        QCOMPARE(s.view()->GetScrollPosition(), scroll);
        Contour* c = s.contour();

        s.stroke(client, Qt::LeftButton);
        check_brush(points_of(c->object_seeds), pixel, {384, 303});
        QVERIFY(c->background_seeds.IsEmpty());
        const int count = c->object_seeds.GetCount();
        send_mouse(s.viewport(), QEvent::MouseMove, {50, 50}, Qt::NoButton, Qt::NoButton);
        QCOMPARE(c->object_seeds.GetCount(), count);

        QVERIFY(s.main()->RouteCommand(ID_EDIT_UNDO));
        QVERIFY(c->object_seeds.IsEmpty());
        s.stroke(client, Qt::LeftButton | Qt::RightButton);
        check_brush(points_of(c->object_seeds), pixel, {384, 303});
        QCOMPARE(points_of(c->background_seeds), points_of(c->object_seeds));
    }

    // A button released outside the view (here over the empty document area)
    // still ends the stroke: the view holds the mouse from the press on.
    void releaseOutsideTheViewEndsTheStroke() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        QVERIFY(QTest::qWaitForWindowExposed(s.main()));
        QTest::mousePress(s.viewport(), Qt::LeftButton, {}, {20, 20});
        QVERIFY(s.view()->m_bLeftDown);
        QTest::mouseRelease(s.viewport(), Qt::LeftButton, {}, {s.viewport()->width() + 100, 20});
        QVERIFY(!s.view()->m_bLeftDown);
        QVERIFY(!s.doc()->m_strokes.InStroke());
        const int painted = s.contour()->object_seeds.GetCount();
        QVERIFY(painted >= 49);
        send_mouse(s.viewport(), QEvent::MouseMove, {60, 60}, Qt::NoButton, Qt::NoButton);
        QCOMPARE(s.contour()->object_seeds.GetCount(), painted);
    }

    // Graphcut on painted seeds shows and saves the same picture as the
    // command-line tool on the same seeds and parameter; the seeds stay and
    // painting goes on over the result, and Delete brings back the picture.
    void graphcutMatchesTheToolAndKeepsTheSeeds() {
        const QString folder = m_dir.filePath(QStringLiteral("cut"));
        const QString picture = copy_case(folder, QStringLiteral("brain_pd.bmp"));
        Session s;
        QVERIFY(s.start(picture));

        // Brush moves over the ventricles and around them, kinds alternating.
        const QPoint object[] = {{74, 93}, {78, 103}, {80, 114}, {106, 92}, {104, 102}, {100, 118}};
        const QPoint background[] = {{37, 97}, {42, 127}, {137, 114}, {90, 150}, {5, 14}, {177, 31}};
        for (int i = 0; i < 6; ++i) {
            s.stroke(object[i], Qt::LeftButton);
            s.stroke(background[i], Qt::RightButton);
        }
        Contour* c = s.contour();
        QVERIFY(c->object_seeds.GetCount() > 0 && c->background_seeds.GetCount() > 0);

        const QString seeds_file = QDir(folder).filePath(QStringLiteral("painted.txt"));
        QFile out(seeds_file);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Text));
        for (int kind : {1, 2})
            for (const QPoint& p : points_of(kind == 1 ? c->object_seeds : c->background_seeds))
                out.write(QStringLiteral("%1 %2 %3\n").arg(p.x()).arg(p.y()).arg(kind).toLatin1());
        out.close();
        const QByteArray picture_bits = display_bits(s.doc());
        s.doc()->m_fParameter = 2.5f;
        const std::vector<QPoint> object_seeds = points_of(c->object_seeds);
        const std::vector<QPoint> background_seeds = points_of(c->background_seeds);

        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        QCOMPARE(s.messages->texts(), std::vector<std::string>());
        QCOMPARE(points_of(c->object_seeds), object_seeds);
        QCOMPARE(points_of(c->background_seeds), background_seeds);
        QVERIFY(s.view()->m_bSegmented);
        const QByteArray result_bits = display_bits(s.doc());
        QVERIFY(result_bits != picture_bits);

        QVERIFY(s.main()->RouteCommand(ID_SAVE_CURRENT_IMAGE));
        const QString tool_file = QDir(folder).filePath(QStringLiteral("tool.bmp"));
        QProcess tool;
        tool.start(QStringLiteral(VARNEX_SEGMENT), {picture, "--seeds", seeds_file, "--parameter", "2.5", "--output", tool_file});
        QVERIFY(tool.waitForFinished(60000));
        QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0, tool.readAllStandardError());
        const QString saved = QDir(folder).filePath(QStringLiteral("brain_pd_res.bmp"));
        QVERIFY(read_all(saved).startsWith("BM"));
        const QImage ours(saved), theirs(tool_file);
        QCOMPARE(ours.size(), QSize(181, 217));
        QCOMPARE(ours.convertToFormat(QImage::Format_RGB32), theirs.convertToFormat(QImage::Format_RGB32));

        s.stroke({90, 100}, Qt::LeftButton | Qt::RightButton);
        QCOMPARE(c->object_seeds.GetCount(), int(object_seeds.size()) + 49);
        QCOMPARE(c->background_seeds.GetCount(), int(background_seeds.size()) + 49);
        QCOMPARE(display_bits(s.doc()), result_bits);

        QTest::keyClick(s.view(), Qt::Key_Delete);
        QCOMPARE(display_bits(s.doc()), picture_bits);
        s.stroke({20, 180}, Qt::LeftButton);
        QCOMPARE(c->object_seeds.GetCount(), int(object_seeds.size()) + 98);
    }

    // A region map that cannot be read or does not fit the picture stops
    // Graphcut after the segmentation's message, with nothing changed: the
    // seeds (which Delete does not remove either) stay and marking goes on.
    void graphcutWithUnusableRegionMap_data() {
        QTest::addColumn<QString>("replacement");
        QTest::addColumn<QString>("message");
        QTest::newRow("unreadable") << QStringLiteral("-") << QStringLiteral("Can't open image");
        QTest::newRow("other size") << QStringLiteral("coins_regions.bmp")
                                    << QStringLiteral("does not have the size of the picture");
    }
    void graphcutWithUnusableRegionMap() {
        QFETCH(QString, replacement);
        QFETCH(QString, message);
        const QString folder = m_dir.filePath(QStringLiteral("broken-") + QTest::currentDataTag());
        const QString picture = copy_case(folder, QStringLiteral("brain_pd.bmp"));
        const QString regions = QDir(folder).filePath(QStringLiteral("brain_pd_regions.bmp"));
        QFile::remove(regions);
        if (replacement == QStringLiteral("-")) {
            QFile garbage(regions);
            QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write("not a picture\n") > 0);
        } else {
            QVERIFY(QFile::copy(QStringLiteral(VARNEX_EXAMPLES "/") + replacement, regions));
        }
        Session s;
        QVERIFY(s.start(picture));
        s.stroke({90, 100}, Qt::LeftButton);
        s.stroke({20, 20}, Qt::RightButton);
        QTest::keyClick(s.view(), Qt::Key_Delete);  // keeps the seeds before any cut
        const QByteArray before = display_bits(s.doc());

        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        const std::string said = s.last_message();
        QVERIFY2(said.find(message.toStdString()) != said.npos && said.find(QFile::encodeName(regions)) != said.npos, said.c_str());
        QCOMPARE(s.contour()->object_seeds.GetCount(), 49);
        QCOMPARE(s.contour()->background_seeds.GetCount(), 49);
        QCOMPARE(display_bits(s.doc()), before);
        QVERIFY(!s.view()->m_bSegmented);
        s.stroke({60, 60}, Qt::LeftButton);
        QCOMPARE(s.contour()->object_seeds.GetCount(), 98);
    }

    // A 16-bit picture's object looks after Graphcut, on screen and in the
    // saved file, exactly as the picture looked there; the command-line tool
    // gives the same picture.
    void graphcutOnSixteenBitPictureLooksLikeThePicture() {
        const QString folder = m_dir.filePath(QStringLiteral("deep"));
        QDir().mkpath(folder);
        const int w = 40, h = 30;
        QByteArray pgm = QStringLiteral("P5\n%1 %2\n4095\n").arg(w).arg(h).toLatin1();
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int v = (x * 97 + y * 31) % 4096;
                pgm.append(char(v >> 8)).append(char(v & 0xFF));
            }
        const QString picture = QDir(folder).filePath(QStringLiteral("deep.pgm"));
        {
            QFile file(picture);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(pgm);
        }
        QImage map(w, h, QImage::Format_RGB888);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) map.setPixel(x, y, x < w / 2 ? qRgb(200, 0, 0) : qRgb(0, 0, 200));
        QVERIFY(map.save(QDir(folder).filePath(QStringLiteral("deep_regions.bmp")), "BMP"));

        Session s;
        QVERIFY(s.start(picture));
        QCOMPARE(s.doc()->m_pImage->datatype, int(KALVIO_TYPE_INT16));
        const QByteArray before = display_bits(s.doc());
        s.stroke({5, 15}, Qt::LeftButton);
        s.stroke({35, 15}, Qt::RightButton);
        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        QVERIFY(s.view()->m_bSegmented);
        const varnex::DisplayBitmap* shown = s.doc()->m_pViewDib;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::uint8_t* p = shown->PixelAt(x, y);
                const char* q = before.constData() + (h - 1 - y) * shown->row_bytes + 3 * x;
                const bool same = x < w / 2 ? std::memcmp(p, q, 3) == 0 : (p[0] == 255 && p[1] == 255 && p[2] == 255);
                if (!same) QFAIL(qPrintable(QStringLiteral("pixel %1,%2 shows %3").arg(x).arg(y).arg(p[0])));
            }

        QVERIFY(s.main()->RouteCommand(ID_SAVE_CURRENT_IMAGE));
        const QString tool_file = QDir(folder).filePath(QStringLiteral("tool.bmp"));
        const QString seeds_file = QDir(folder).filePath(QStringLiteral("seeds.txt"));
        QFile seeds(seeds_file);
        QVERIFY(seeds.open(QIODevice::WriteOnly));
        seeds.write("5 15 1\n35 15 2\n");
        seeds.close();
        QProcess tool;
        tool.start(QStringLiteral(VARNEX_SEGMENT), {picture, "--seeds", seeds_file, "--output", tool_file});
        QVERIFY(tool.waitForFinished(60000));
        QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0, tool.readAllStandardError());
        const QImage ours(QDir(folder).filePath(QStringLiteral("deep_res.bmp"))), theirs(tool_file);
        QCOMPARE(ours.size(), QSize(w, h));
        QCOMPARE(ours.convertToFormat(QImage::Format_RGB32), theirs.convertToFormat(QImage::Format_RGB32));
    }

    // However long the user painted, the seeds are applied and drawn over
    // the whole view at once.
    void manySeedsAreDrawnAtOnce() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        std::vector<CPoint> many;
        for (int i = 0; i < 400000; ++i) many.push_back({i % 384, (i / 384) % 303});
        QElapsedTimer timer;
        timer.start();
        s.add_stroke(SeedStrokes::kObject, many);
        const QImage shown = s.viewport()->grab().toImage();
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(s.contour()->object_seeds.GetCount(), 400000);
        const QColor mark = shown.pixelColor(50, 40);
        QVERIFY(mark.red() > 180 && mark.green() < 80 && mark.blue() < 80);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(MarkingTest)
#include "test_marking.moc"
