// The commands of a document window and their dialogs: Tune Parameter,
// Image Window/Center, the about box, the zoom factors and the two save
// commands.
#include "app_harness.h"

#include "dialogs.h"
#include "resource.h"

#include <kalvio/image.h>

#include <QAction>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <QSpinBox>

#include <cmath>
#include <functional>

using namespace varnex_test;

namespace {

void click(QWidget* dialog, const QString& text) {
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
        if (button->text() == text) return button->click();
    QFAIL(qPrintable(QStringLiteral("no button ") + text));
}

// Runs `steps` on the modal dialog that command `id` opens, then cancels
// the dialog if the steps left it open.
void with_modal_dialog(Session& s, int id, const std::function<void(QDialog*)>& steps) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        seen = true;
        steps(dialog);
        if (dialog->isVisible()) dialog->reject();
    });
    QVERIFY(s.main()->RouteCommand(id));
    QVERIFY(seen);
}

void with_parameter_dialog(Session& s, const std::function<void(Dlg_Parameter*)>& steps) {
    with_modal_dialog(s, ID_EDIT_TUNEPARAMETER, [&](QDialog* d) {
        auto* dialog = qobject_cast<Dlg_Parameter*>(d);
        QVERIFY(dialog);
        steps(dialog);
    });
}

// Every text of the dialog is shown whole: labels and buttons are at least
// as wide as their text in their font, and lie inside the dialog; both as
// the dialog opens and at the smallest size the user can give it.
void check_texts_fit(QDialog* dialog) {
    for (bool smallest : {false, true}) {
        if (smallest) dialog->resize(1, 1);
        QVERIFY(dialog->layout());
        dialog->layout()->activate();
        for (QWidget* child : dialog->findChildren<QWidget*>()) {
            QString text;
            if (auto* label = qobject_cast<QLabel*>(child)) text = label->text();
            else if (auto* button = qobject_cast<QAbstractButton*>(child)) text = button->text();
            else continue;
            text.remove(QLatin1Char('&'));
            if (text.isEmpty()) continue;  // the about box's icon
            const QString where = dialog->windowTitle() + QStringLiteral(": \"") + text + QStringLiteral("\"");
            QVERIFY2(child->contentsRect().width() >= child->fontMetrics().horizontalAdvance(text), qPrintable(where));
            QVERIFY2(child->contentsRect().height() >= child->fontMetrics().height(), qPrintable(where));
            QVERIFY2(dialog->rect().contains(child->geometry()), qPrintable(where));
        }
    }
}

// Every pixel of both display bitmaps shows the table entry of the
// picture's grey value in all three channels.
void check_displays(const CVarnexDoc* doc, const std::vector<int>& table) {
    const CImage* image = doc->m_pImage;
    for (const varnex::DisplayBitmap* dib : {doc->m_pViewDib, doc->m_pSaveDib})
        for (int y = 0; y < image->nrows; ++y)
            for (int x = 0; x < image->ncols; ++x) {
                const std::uint8_t* bgr = dib->PixelAt(x, y);
                const int expected = table[static_cast<int>(image->data[y][x])];
                if (bgr[0] != expected || bgr[1] != expected || bgr[2] != expected)
                    QFAIL(qPrintable(QStringLiteral("pixel %1,%2 shows %3, expected %4").arg(x).arg(y).arg(bgr[0]).arg(expected)));
            }
}

std::vector<int> grey_table(const CVarnexDoc* doc) {
    return std::vector<int>(doc->m_pGreyLut, doc->m_pGreyLut + doc->GreyTableLength());
}

}  // namespace

class CommandsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The dialog shows the current parameter; text that is not a number or
    // a negative number is refused with a message and the dialog stays;
    // Cancel keeps the parameter, OK sets it for the document and the
    // segmentation alike.
    void tuneParameter() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        with_parameter_dialog(s, [&](Dlg_Parameter* d) {
            QCOMPARE(d->Edit()->text(), QStringLiteral("10"));
            for (const char* wrong : {"abc", "2.5x", "", "-1"}) {
                const std::size_t shown = s.messages->boxes().size();
                d->Edit()->setText(QString::fromLatin1(wrong));
                click(d, QStringLiteral("OK"));
                QVERIFY2(d->isVisible(), wrong);
                QCOMPARE(s.messages->boxes().size(), shown + 1);
            }
            d->Edit()->setText(QStringLiteral("2.5"));
            click(d, QStringLiteral("Cancel"));
        });
        QCOMPARE(s.doc()->m_fParameter, 10.0f);
        QCOMPARE(s.contour()->parameter, 10.0f);

        with_parameter_dialog(s, [&](Dlg_Parameter* d) {
            d->Edit()->setText(QStringLiteral(" 2.5 "));
            click(d, QStringLiteral("OK"));
        });
        QCOMPARE(s.doc()->m_fParameter, 2.5f);
        QCOMPARE(s.contour()->parameter, 2.5f);
    }

    // After a refusal the keyboard is back in the edit box with the text
    // selected for retyping. The message box here is a real one: it takes
    // the keyboard, and (as under X11 without a window manager) nobody hands
    // it back to the dialog when it closes.
    void refusalReturnsToTheEditBox() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        s.messages.reset();  // the program's own message boxes
        QTimer closer;
        connect(&closer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->buttons().value(0)->click();
        });
        closer.start(20);
        with_parameter_dialog(s, [&](Dlg_Parameter* d) {
            QVERIFY(QTest::qWaitForWindowActive(d));
            QPushButton* ok = nullptr;
            for (QPushButton* button : d->findChildren<QPushButton*>())
                if (button->text() == QStringLiteral("OK")) ok = button;
            QVERIFY(ok);
            d->Edit()->setText(QStringLiteral("abc"));
            QTest::mouseClick(ok, Qt::LeftButton);  // the click takes the focus to OK
            QVERIFY(d->isVisible());
            QTRY_COMPARE(QApplication::focusWidget(), d->Edit());
            QCOMPARE(QApplication::activeWindow(), d);
            QCOMPARE(d->Edit()->selectedText(), QStringLiteral("abc"));
        });
    }

    // Each dialog carries the name of its command and shows its texts whole,
    // also at a font twice the usual size.
    void dialogsFitTheirTexts_data() {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("usual font") << 1.0;
        QTest::newRow("font x2") << 2.0;
    }
    void dialogsFitTheirTexts() {
        QFETCH(qreal, scale);
        const QFont usual = QApplication::font();
        QFont font = usual;
        font.setPointSizeF(usual.pointSizeF() * scale);
        QApplication::setFont(font);
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        with_parameter_dialog(s, [](Dlg_Parameter* d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("Tune Parameter"));
            check_texts_fit(d);
        });
        with_modal_dialog(s, ID_APP_ABOUT, [](QDialog* d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("About Varnex"));
            check_texts_fit(d);
        });
        QVERIFY(s.main()->RouteCommand(ID_IMAGE_WINDOWCENTER));
        WindCentDlg* dlg = s.view()->GetWindCentDlg();
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Window Center"));
        check_texts_fit(dlg);
        dlg->reject();
        QApplication::setFont(usual);
    }

    // Colour pictures and pictures of other sample types than bytes and
    // 16-bit integers are refused with a plain OK message.
    void windowCenterRefused() {
        const QString floats = m_dir.filePath(QStringLiteral("float.qvf"));
        CImage zeros(3, 4, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
        QVERIFY(zeros.WriteImage(QFile::encodeName(floats).constData()));
        const std::pair<QString, std::string> cases[] = {
            {copy_sample(m_dir.path(), QStringLiteral("coffee.ppm")), "Window Center cannot be changed for color images"},
            {floats, "Window Center can only be changed for byte and short images"},
        };
        for (const auto& [path, message] : cases) {
            Session s;
            QVERIFY(s.start(path));
            // The command stays available to say why it cannot be used.
            QVERIFY(s.main()->Action(ID_IMAGE_WINDOWCENTER)->isEnabled());
            QVERIFY(s.main()->RouteCommand(ID_IMAGE_WINDOWCENTER));
            QCOMPARE(s.messages->texts(), std::vector<std::string>{message});
            QCOMPARE(s.messages->boxes()[0].buttons, kalvio::MessageButtons::Ok);
            QCOMPARE(s.messages->boxes()[0].icon, kalvio::MessageIcon::None);
            QVERIFY(!s.view()->GetWindCentDlg()->isVisible());
        }
    }

    // On a byte picture the dialog starts at window 255 (the slider's end)
    // and centre 128; choosing the command again while it is up leaves it as
    // it is; OK turns the grey table into a ramp between the sliders' values
    // and rebuilds what is shown; Cancel changes nothing.
    void windowCenterOnBytePicture() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("coins.pgm"))));
        CVarnexDoc* doc = s.doc();
        std::vector<int> table(256);
        for (int i = 0; i < 256; ++i) table[i] = i * 255 / 256;
        QCOMPARE(grey_table(doc), table);
        QCOMPARE(doc->m_nWindow, 256);
        QCOMPARE(doc->m_nCenter, 128);

        QVERIFY(s.main()->RouteCommand(ID_IMAGE_WINDOWCENTER));
        WindCentDlg* dlg = s.view()->GetWindCentDlg();
        QVERIFY(dlg->isVisible());
        QCOMPARE(dlg->WindowSlider()->value(), 255);
        QCOMPARE(dlg->CenterSlider()->value(), 128);
        QCOMPARE(dlg->WindowValue()->text(), QStringLiteral("256"));
        QCOMPARE(dlg->CenterValue()->text(), QStringLiteral("128"));
        dlg->WindowSlider()->setValue(100);
        dlg->CenterSlider()->setValue(60);
        QCOMPARE(dlg->WindowValue()->text(), QStringLiteral("100"));
        QCOMPARE(dlg->CenterValue()->text(), QStringLiteral("60"));
        QVERIFY(s.main()->RouteCommand(ID_IMAGE_WINDOWCENTER));
        QVERIFY(dlg->isVisible());
        QCOMPARE(dlg->WindowSlider()->value(), 100);
        QCOMPARE(dlg->CenterSlider()->value(), 60);

        click(dlg, QStringLiteral("OK"));
        QCoreApplication::sendPostedEvents();
        QVERIFY(!dlg->isVisible());
        QCOMPARE(doc->m_nWindow, 100);
        QCOMPARE(doc->m_nCenter, 60);
        for (int i = 0; i < 256; ++i)
            table[i] = static_cast<int>(std::clamp(std::floor((i - 10) * 255.0 / 100), 0.0, 254.0));
        QCOMPARE(grey_table(doc), table);
        check_displays(doc, table);
        // The screen follows: the pixel under (50, 40) at zoom 1.
        const int grey = table[static_cast<int>(doc->m_pImage->data[40][50])];
        QCOMPARE(s.viewport()->grab().toImage().pixelColor(50, 40), QColor(grey, grey, grey));

        QVERIFY(s.main()->RouteCommand(ID_IMAGE_WINDOWCENTER));
        QCOMPARE(dlg->WindowSlider()->value(), 100);
        QCOMPARE(dlg->CenterSlider()->value(), 60);
        dlg->WindowSlider()->setValue(200);
        dlg->CenterSlider()->setValue(200);
        click(dlg, QStringLiteral("Cancel"));
        QCoreApplication::sendPostedEvents();
        QVERIFY(!dlg->isVisible());
        QCOMPARE(doc->m_nWindow, 100);
        QCOMPARE(doc->m_nCenter, 60);
        QCOMPARE(grey_table(doc), table);
        check_displays(doc, table);
    }

    // A 16-bit picture gets a 4096-entry table; the sliders move in steps of
    // 16 levels and show levels, not positions; OK with the sliders left
    // where they started keeps window and centre exactly.
    void windowCenterOnSixteenBitPicture() {
        const QString path = m_dir.filePath(QStringLiteral("deep.pgm"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("P5\n4 3\n4095\n") + QByteArray::fromHex("0000012c02580384 04b005dc07080834 0960 0a8c 0bb8 0ce4"));
        file.close();
        Session s;
        QVERIFY(s.start(path));
        CVarnexDoc* doc = s.doc();
        std::vector<int> table(4096);
        for (int i = 0; i < 4096; ++i) table[i] = i * 255 / 4096;
        WindCentDlg* dlg = s.view()->GetWindCentDlg();
        for (int pass = 0; pass < 2; ++pass) {
            QCOMPARE(doc->m_nWindow, 4096);
            QCOMPARE(doc->m_nCenter, 2048);
            QCOMPARE(grey_table(doc), table);
            QVERIFY(s.main()->RouteCommand(ID_IMAGE_WINDOWCENTER));
            QCOMPARE(dlg->WindowValue()->text(), QStringLiteral("4096"));
            QCOMPARE(dlg->CenterValue()->text(), QStringLiteral("2048"));
            click(dlg, QStringLiteral("OK"));
            QCoreApplication::sendPostedEvents();
        }
        check_displays(doc, table);

        QVERIFY(s.main()->RouteCommand(ID_IMAGE_WINDOWCENTER));
        dlg->WindowSlider()->setValue(100);
        dlg->CenterSlider()->setValue(64);
        QCOMPARE(dlg->WindowValue()->text(), QStringLiteral("1600"));
        QCOMPARE(dlg->CenterValue()->text(), QStringLiteral("1024"));
        click(dlg, QStringLiteral("OK"));
        QCoreApplication::sendPostedEvents();
        QCOMPARE(doc->m_nWindow, 1600);
        QCOMPARE(doc->m_nCenter, 1024);
    }

    // Each zoom factor checks and greys its own item; the view grows with
    // the zoom up to the largest whole multiple of the picture within 500
    // pixels, and scroll bars cover the rest.
    void zoom() {
        Session s;
        QVERIFY(s.start(copy_sample(m_dir.path(), QStringLiteral("brain_pd.bmp"))));
        const int w = 181, h = 217;
        for (int z : {1, 2, 3, 4, 1}) {
            QVERIFY(s.main()->RouteCommand(ID_ZOOM_X1 + z - 1));
            s.main()->UpdateActions();
            for (int k = 1; k <= 4; ++k) {
                QCOMPARE(s.main()->Action(ID_ZOOM_X1 + k - 1)->isChecked(), k == z);
                QCOMPARE(s.main()->Action(ID_ZOOM_X1 + k - 1)->isEnabled(), k != z);
            }
            CVarnexView* view = s.view();
            QCOMPARE(view->m_nZoom, z);
            QCOMPARE(view->size(), QSize(std::min(z * w, 2 * w) + 4, std::min(z * h, 2 * h) + 4));
            QCOMPARE(view->GetTotalSize(), QSize(z * w, z * h));
            QCOMPARE(view->horizontalScrollBar()->maximum(), std::max(0, z * w - view->viewport()->width()));
            QCOMPARE(view->verticalScrollBar()->maximum(), std::max(0, z * h - view->viewport()->height()));
        }

        // A bitmap that could not be built (memory) has no size: the zoom
        // is refused instead of dividing by its width.
        CVarnexDoc* doc = s.doc();
        varnex::DisplayBitmap* built = doc->m_pViewDib;
        doc->m_pViewDib = new varnex::DisplayBitmap;
        QVERIFY(s.main()->RouteCommand(ID_ZOOM_X3));
        QCOMPARE(s.view()->m_nZoom, 1);
        delete doc->m_pViewDib;
        doc->m_pViewDib = built;
    }

    // Before a segmentation, Save Current Image writes the shown grey picture
    // as a 24-bit BMP beside it; Ctrl+S writes the same file and leaves the
    // picture alone; Save Results writes nothing.
    void saveCommands() {
        const QString folder = m_dir.filePath(QStringLiteral("save"));
        const QString picture = copy_sample(folder, QStringLiteral("coins.pgm"));
        const QString saved = QDir(folder).filePath(QStringLiteral("coins_res.bmp"));
        Session s;
        QVERIFY(s.start(picture));
        QStatusBar* status = s.main()->StatusBar();
        QCOMPARE(status->currentMessage(), QStringLiteral("Ready"));
        QVERIFY(s.main()->RouteCommand(ID_SAVE_CURRENT_IMAGE));
        QCOMPARE(status->currentMessage(), QStringLiteral("Saved ") + saved);
        const QByteArray bmp = read_all(saved);
        QVERIFY(bmp.startsWith("BM"));
        QCOMPARE(int(bmp[28]), 24);  // bits per pixel: three channels
        const QImage written(saved);
        QCOMPARE(written.size(), QSize(384, 303));
        for (int y = 0; y < 303; ++y)
            for (int x = 0; x < 384; ++x) {
                const int grey = static_cast<int>(s.doc()->m_pImage->data[y][x]) * 255 / 256;
                if (written.pixel(x, y) != qRgb(grey, grey, grey)) QFAIL(qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
            }
        QVERIFY(QFile::remove(saved));
        const QByteArray original = read_all(picture);
        s.main()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(s.main()));
        QTest::keyClick(s.view(), Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(read_all(saved), bmp);
        QCOMPARE(read_all(picture), original);

        const QStringList files = QDir(folder).entryList(QDir::Files);
        QVERIFY(s.main()->RouteCommand(ID_SAVE_RESULTS));
        QCOMPARE(QDir(folder).entryList(QDir::Files), files);

        // The note of the last save goes after a few seconds.
        QTRY_COMPARE_WITH_TIMEOUT(status->currentMessage(), QStringLiteral("Ready"), 15000);

        // A result name that is a link to the picture is refused: the
        // picture stays, and so does the link; the message box says so and
        // the status bar claims nothing.
        QVERIFY(QFile::remove(saved));
        QVERIFY(QFile::link(QStringLiteral("coins.pgm"), saved));
        QVERIFY(s.main()->RouteCommand(ID_SAVE_CURRENT_IMAGE));
        QVERIFY(s.last_message().find("Couldn't write image") == 0);
        QCOMPARE(status->currentMessage(), QStringLiteral("Ready"));
        QCOMPARE(read_all(picture), original);
        QVERIFY(QFileInfo(saved).isSymLink());
    }

    // A JPEG photograph without a region map: Graphcut makes one, saves it
    // beside the picture and cuts; Show Regions draws the map's boundaries;
    // Make Region Map remakes it at the size asked, kept in memory now that
    // the file exists.
    void regionMapMadeForJpeg() {
        const QString folder = m_dir.filePath(QStringLiteral("jpeg"));
        QVERIFY(QDir().mkpath(folder));
        const QString picture = QDir(folder).filePath(QStringLiteral("coffee.jpg"));
        QVERIFY(QImage(QStringLiteral(VARNEX_EXAMPLES "/coffee.ppm")).save(picture, "JPG", 92));
        Session s;
        QVERIFY(s.start(picture));
        QFile seeds(QStringLiteral(VARNEX_EXAMPLES "/coffee_seeds.txt"));
        QVERIFY(seeds.open(QIODevice::ReadOnly | QIODevice::Text));
        std::vector<CPoint> painted[2];
        while (!seeds.atEnd()) {
            const QList<QByteArray> fields = seeds.readLine().simplified().split(' ');
            if (fields.size() == 3 && !fields[0].startsWith('#') && (fields[2] == "1" || fields[2] == "2"))
                painted[fields[2].toInt() - 1].push_back({fields[0].toInt(), fields[1].toInt()});
        }
        s.add_stroke(SeedStrokes::kObject, painted[0]);
        s.add_stroke(SeedStrokes::kBackground, painted[1]);
        QVERIFY(s.main()->RouteCommand(ID_EDIT_GRAPHCUT));
        QVERIFY2(s.messages->boxes().empty(), s.last_message().c_str());
        QVERIFY(s.view()->m_bSegmented);
        const QString map = QDir(folder).filePath(QStringLiteral("coffee_regions.bmp"));
        QVERIFY(QImage(map).size() == QSize(450, 300));
        QVERIFY(s.main()->StatusBar()->currentMessage().endsWith(QStringLiteral("saved as ") + map));
        QVERIFY(s.main()->RouteCommand(ID_SAVE_CURRENT_IMAGE));
        const QImage result(QDir(folder).filePath(QStringLiteral("coffee_res.bmp")));
        int white = 0;
        for (int y = 0; y < result.height(); ++y)
            for (int x = 0; x < result.width(); ++x) white += result.pixel(x, y) == qRgb(255, 255, 255);
        const int pixels = 450 * 300;
        QVERIFY2(white > pixels / 4 && white < pixels * 3 / 4, qPrintable(QString::number(white)));

        QVERIFY(s.main()->RouteCommand(ID_VIEW_SHOW_REGIONS));
        QVERIFY(s.view()->m_bShowRegions);
        const QImage outline = s.doc()->RegionOutline();
        QCOMPARE(outline.size(), QSize(450, 300));
        int lines = 0;
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 450; ++x) lines += qAlpha(outline.pixel(x, y)) != 0;
        QVERIFY2(lines > pixels / 10 && lines < pixels / 2, qPrintable(QString::number(lines)));

        const QByteArray saved_map = read_all(map);
        with_modal_dialog(s, ID_EDIT_MAKE_REGION_MAP, [](QDialog* dialog) {
            auto* size = dialog->findChild<QSpinBox*>();
            QVERIFY(size);
            QCOMPARE(size->value(), 100);
            size->setValue(400);
            dialog->accept();
        });
        QCOMPARE(s.doc()->m_nRegionSize, 400);
        QVERIFY(s.main()->StatusBar()->currentMessage().contains(QStringLiteral("kept in memory")));
        QCOMPARE(read_all(map), saved_map);
        QVERIFY(s.doc()->RegionOutline() != outline);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(CommandsTest)
#include "test_commands.moc"
