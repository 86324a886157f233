// What the view shows and where the mouse lands at every zoom, large
// pictures opening inside the document area, the result over the picture,
// and the object written as a mask file.
#include "app_harness.h"

#include "resource.h"

#include <kalvio/image.h>
#include <varnex/contour.h>
#include <varnex/myimage.h>

#include <QAction>
#include <QFileInfo>
#include <QMdiArea>
#include <QScrollBar>
#include <QTextStream>
#include <QWheelEvent>

#include <cmath>
#include <cstring>

using namespace varnex_test;

namespace {

// A grey PGM of `size` with a diagonal ramp.
bool write_ramp_pgm(const QString& path, QSize size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.write(QStringLiteral("P5\n%1 %2\n255\n").arg(size.width()).arg(size.height()).toLatin1());
    QByteArray row(size.width(), 0);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) row[x] = static_cast<char>((x + y) / 20);
        file.write(row);
    }
    return true;
}

void send_wheel(QWidget* target, QPoint at, int delta, Qt::KeyboardModifiers modifiers) {
    QWheelEvent event(QPointF(at), target->mapToGlobal(QPointF(at)), QPoint(), QPoint(0, delta), Qt::NoButton,
                      modifiers, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
}

// The seeds of `kind` as painted: the strokes' and any put straight into
// the segmentation object.
std::vector<QPoint> seeds_of(const Session& s, int kind) {
    std::vector<QPoint> seeds = points_of(kind == 1 ? s.contour()->object_seeds : s.contour()->background_seeds);
    for (const CPoint& p : s.doc()->m_strokes.Seeds(kind)) seeds.emplace_back(p.x, p.y);
    return seeds;
}

// Paints the seeds of examples/coins_seeds.txt as one stroke per kind.
bool paint_coins_seeds(Session& s) {
    QFile file(QStringLiteral(VARNEX_EXAMPLES "/coins_seeds.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    std::vector<CPoint> seeds[3];
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QStringList f = in.readLine().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (f.size() >= 3 && (f[2] == QLatin1String("1") || f[2] == QLatin1String("2")))
            seeds[f[2].toInt()].push_back(CPoint(f[0].toInt(), f[1].toInt()));
    }
    for (int kind : {1, 2}) s.doc()->m_strokes.AddStroke(kind, seeds[kind]);
    return !seeds[1].empty() && !seeds[2].empty();
}

bool cut_coins(Session& s) {
    return paint_coins_seeds(s) && s.main()->RouteCommand(ID_EDIT_GRAPHCUT) && s.doc()->HasResult();
}

QImage shown(const Session& s) { return s.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32); }

}  // namespace

class DisplayTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // At every reduction and at Fit to Window the viewport pixel clicked
    // lies inside the image pixel it is mapped to, the content is the
    // picture at that scale, and a stroke painted at 1/4 centres on four
    // times the click.
    void zoomLevelsMapClicksToPixels() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        CVarnexView* view = s.view();
        const QSize picture(384, 303);
        auto check_clicks = [view] {
            for (int y = 0; y < view->viewport()->height(); y += 7)
                for (int x = 0; x < view->viewport()->width(); x += 5) {
                    const QPoint client(x, y);
                    const QPoint pixel = view->ClientToImage(client);
                    if (!view->ImageToClient(QRect(pixel, QSize(1, 1))).contains(client))
                        QFAIL(qPrintable(QStringLiteral("scale %1: %2,%3 -> %4,%5").arg(view->Scale()).arg(x).arg(y)
                                             .arg(pixel.x()).arg(pixel.y())));
                }
        };
        auto check_total = [view, picture] {
            QCOMPARE(view->GetTotalSize(), QSize(int(std::ceil(picture.width() * view->Scale())),
                                                 int(std::ceil(picture.height() * view->Scale()))));
        };
        const struct {
            int id;
            double scale;
        } levels[] = {{ID_ZOOM_HALF, 0.5}, {ID_ZOOM_QUARTER, 0.25}, {ID_ZOOM_EIGHTH, 0.125}, {ID_ZOOM_X3, 3.0}};
        for (const auto& level : levels) {
            QVERIFY(s.main()->RouteCommand(level.id));
            s.main()->UpdateActions();
            QVERIFY(s.main()->Action(level.id)->isChecked());
            QCOMPARE(view->Scale(), level.scale);
            check_total();
            check_clicks();
        }
        // Fit to Window shows the whole picture in the window as it is,
        // filling its width or height, and follows it when it is resized.
        for (QSize frame : {QSize(300, 260), QSize(520, 240)}) {
            s.main()->MDIGetActive()->resize(frame);
            QApplication::processEvents();
            QVERIFY(s.main()->RouteCommand(ID_ZOOM_FIT) || view->m_nZoom == CVarnexView::kZoomFit);
            QCOMPARE(s.main()->MDIGetActive()->size(), frame);
            const QSize room = view->contentsRect().size();
            const QSize total = view->GetTotalSize();
            QVERIFY(view->Scale() < 1);
            QVERIFY(total.width() <= room.width() && total.height() <= room.height());
            QVERIFY(total.width() >= room.width() - 1 || total.height() >= room.height() - 1);
            check_total();
            check_clicks();
        }

        QVERIFY(s.main()->RouteCommand(ID_ZOOM_QUARTER));
        s.stroke(QPoint(20, 30), Qt::LeftButton);
        QRect bounds;
        for (const QPoint& p : seeds_of(s, 1)) bounds |= QRect(p, QSize(1, 1));
        QVERIFY(!bounds.isEmpty());
        QCOMPARE(bounds.center(), QPoint(80, 120));
    }

    // A picture larger than the document area opens in a window inside it,
    // reduced; Ctrl+wheel then steps through the levels with the image
    // pixel under the cursor kept there, and a plain wheel does not zoom.
    void largePictureAndWheelZoom() {
        const QString path = m_dir.filePath(QStringLiteral("large.pgm"));
        QVERIFY(write_ramp_pgm(path, QSize(3000, 2000)));
        Session s;
        QVERIFY(s.start(path));
        const QRect workspace(QPoint(0, 0), s.main()->MdiArea()->viewport()->size());
        QVERIFY(workspace.contains(s.main()->MDIGetActive()->geometry()));
        CVarnexView* view = s.view();
        QVERIFY(view->Scale() < 1);
        QCOMPARE(view->horizontalScrollBar()->maximum(), 0);  // the whole picture shows

        const QPoint at = view->viewport()->rect().center();
        send_wheel(view->viewport(), at, 120, Qt::NoModifier);
        const double start = view->Scale();
        for (int i = 0; view->Scale() < 4; ++i) {
            QVERIFY(i < 7);
            const QPoint before = view->ClientToImage(at);
            send_wheel(view->viewport(), at, 120, Qt::ControlModifier);
            const QPoint after = view->ClientToImage(at);
            // Reduced, a viewport pixel covers several image pixels.
            const int slack = view->Scale() < 1 ? int(1 / view->Scale()) : 0;
            QVERIFY2(std::abs(after.x() - before.x()) <= slack && std::abs(after.y() - before.y()) <= slack,
                     qPrintable(QStringLiteral("scale %1: %2,%3 -> %4,%5").arg(view->Scale()).arg(before.x())
                                    .arg(before.y()).arg(after.x()).arg(after.y())));
        }
        QVERIFY(start < 1);
        QCOMPARE(view->m_nZoom, 4);
        send_wheel(view->viewport(), at, 120, Qt::ControlModifier);
        QCOMPARE(view->m_nZoom, 4);
        send_wheel(view->viewport(), at, -120, Qt::ControlModifier);
        QCOMPARE(view->m_nZoom, 3);
    }

    // The overlay shows the picture until a cut, then the object tinted and
    // outlined over it: opacity 0 is the plain picture, opacity 100 the
    // overlay's colours. Re-cuts update only the changed box, and the
    // bitmaps and overlay stay what a fresh build would give.
    void overlayView() {
        Session s;
        QVERIFY(s.start(copy_case(m_dir.path(), QStringLiteral("coins.pgm"))));
        CVarnexView* view = s.view();
        QVERIFY(paint_coins_seeds(s));
        s.doc()->ApplyStrokes();
        const QImage picture = shown(s);  // with the seed marks
        QVERIFY(s.main()->RouteCommand(ID_VIEW_OVERLAY));
        QVERIFY(view->ShowsOverlay());
        QCOMPARE(shown(s), picture);
        QVERIFY(s.main()->RouteCommand(ID_VIEW_OVERLAY));

        s.main()->UpdateActions();
        QVERIFY(!s.main()->Action(ID_FILE_EXPORT_MASK)->isEnabled());
        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        s.main()->UpdateActions();
        QVERIFY(s.main()->Action(ID_FILE_EXPORT_MASK)->isEnabled());
        const QImage result = shown(s);
        QVERIFY(result != picture);
        s.main()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(s.main()));
        QTest::keyClick(view, Qt::Key_O);
        QVERIFY(view->ShowsOverlay());
        QCOMPARE(view->OverlayOpacity(), 50);
        const QImage half = shown(s);
        QVERIFY(half != result && half != picture);
        view->SetOverlayOpacity(0);
        QCOMPARE(shown(s), picture);

        // Another background stroke and a re-cut.
        std::vector<CPoint> more;
        for (int x = 150; x < 250; ++x) more.push_back(CPoint(x, 150));
        s.doc()->m_strokes.AddStroke(2, more);
        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        view->SetOverlayOpacity(100);
        const QImage full = shown(s);
        const unsigned char* object = s.doc()->ObjectMask();
        const QImage& overlay = s.doc()->ObjectOverlay();
        const int cols = 384, rows = 303;
        auto inside = [&](int x, int y) {
            return x >= 0 && y >= 0 && x < cols && y < rows && object[y * cols + x] != 0;
        };
        const varnex::DisplayBitmap fresh(s.doc()->m_pContour->result, s.doc()->GreyTable(), s.doc()->m_ppMask);
        int fill_shown = 0, fill_expected = 0;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                const bool outline = inside(x, y) && ((x > 0 && !inside(x - 1, y)) || (x + 1 < cols && !inside(x + 1, y)) ||
                                                      (y > 0 && !inside(x, y - 1)) || (y + 1 < rows && !inside(x, y + 1)));
                const QRgb expected = !inside(x, y) ? 0 : outline ? qRgb(255, 230, 0) : qRgb(0, 120, 255);
                if (overlay.pixel(x, y) != expected) QFAIL(qPrintable(QStringLiteral("overlay %1,%2").arg(x).arg(y)));
                if (std::memcmp(fresh.PixelAt(x, y), s.doc()->m_pViewDib->PixelAt(x, y), 3) != 0 ||
                    std::memcmp(fresh.PixelAt(x, y), s.doc()->m_pSaveDib->PixelAt(x, y), 3) != 0)
                    QFAIL(qPrintable(QStringLiteral("display %1,%2").arg(x).arg(y)));
                // The picture is grey: only the tint shows this colour.
                if (expected == qRgb(0, 120, 255)) ++fill_expected;
                if (full.pixel(x, y) == qRgb(0, 120, 255)) {
                    ++fill_shown;
                    if (expected != qRgb(0, 120, 255)) QFAIL(qPrintable(QStringLiteral("tint at %1,%2").arg(x).arg(y)));
                }
            }
        // Seed marks cover some of the tinted pixels.
        QVERIFY(fill_expected > 1000);
        QVERIFY(fill_shown > fill_expected / 2);
    }

    // Export Mask writes 255 for the object and 0 elsewhere, in the format
    // the name's extension gives, and refuses the picture's own name and
    // names it cannot write.
    void exportMask() {
        const QString folder = m_dir.filePath(QStringLiteral("export"));
        const QString picture = copy_case(folder, QStringLiteral("coins.pgm"));
        Session s;
        QVERIFY(s.start(picture));
        QVERIFY(cut_coins(s));
        const unsigned char* object = s.doc()->ObjectMask();
        for (const char* name : {"mask.png", "mask.pgm", "MASK.BMP"}) {
            const std::string path = QFile::encodeName(QDir(folder).filePath(QString::fromLatin1(name))).toStdString();
            QVERIFY2(s.doc()->ExportMask(path), name);
            CImage mask;
            QVERIFY(mask.ReadImage(path.c_str()));
            QCOMPARE(mask.ncols, 384);
            QCOMPARE(mask.nrows, 303);
            QCOMPARE(mask.color, 0);
            int objects = 0;
            for (int y = 0; y < 303; ++y)
                for (int x = 0; x < 384; ++x) {
                    const float expected = object[y * 384 + x] ? 255.0f : 0.0f;
                    if (mask.data[y][x] != expected) QFAIL(qPrintable(QStringLiteral("%1 at %2,%3").arg(name).arg(x).arg(y)));
                    objects += expected != 0;
                }
            QVERIFY(objects > 0 && objects < 384 * 303);
        }
        QVERIFY(s.messages->boxes().empty());

        const QByteArray original = read_all(picture);
        const QString renamed = QDir(folder).filePath(QStringLiteral("./coins.pgm"));
        for (const QString& refused : {renamed, QDir(folder).filePath(QStringLiteral("mask.jpg"))}) {
            s.messages->clear();
            QVERIFY(!s.doc()->ExportMask(QFile::encodeName(refused).toStdString()));
            QCOMPARE(s.messages->boxes().size(), std::size_t(1));
        }
        QCOMPARE(read_all(picture), original);
        QVERIFY(!QFile::exists(QDir(folder).filePath(QStringLiteral("mask.jpg"))));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(DisplayTest)
#include "test_display.moc"
