// Renders the main states of Varnex to PNG files: the picture opened, seeds
// painted with the mouse, the segmentation, its region boundaries, the
// result over the picture (also at zoom 1/2), zoom 3, the dialogs, a second
// window on the document and the windows cascaded.
// Usage: varnex-screenshots PICTURE SEEDS.txt OUTPUT_FOLDER
#include "childfrm.h"
#include "dialogs.h"
#include "mainfrm.h"
#include "resource.h"
#include "varnex.h"
#include "varnexview.h"

#include <kalvio/message.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMdiArea>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

void send_mouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(at), target->mapToGlobal(QPointF(at)), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

bool save(QWidget* window, const QString& folder, const char* name) {
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    if (!window->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Runs command `id` of `main`, which opens a modal dialog, saves the
// dialog's picture and closes it.
bool save_modal(CMainFrame* main, int id, const QString& folder, const char* name) {
    bool ok = false;
    QTimer::singleShot(0, main, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        ok = save(dialog, folder, name);
        dialog->reject();
    });
    main->RouteCommand(id);
    if (!ok) std::fprintf(stderr, "no dialog for %s\n", name);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "Usage: varnex-screenshots PICTURE SEEDS.txt OUTPUT_FOLDER\n");
        return 2;
    }
    QDir().mkpath(args[3]);
    CVarnexApp app;
    if (!app.InitInstance({})) return 1;
    // Messages go to standard error: nobody is there to close a message box.
    // The picture opens after this, so that a picture that cannot be read
    // is reported instead of waiting on a box.
    kalvio::set_message_handler([](const std::string& text, kalvio::MessageButtons, kalvio::MessageIcon) {
        std::fprintf(stderr, "message: %s\n", text.c_str());
        return IDOK;
    });
    CMainFrame* main = app.MainWindow();
    main->resize(1000, 760);
    CChildFrame* frame = app.OpenDocumentFile(args[1]);
    if (!frame) return 1;
    auto* view = static_cast<CVarnexView*>(frame->GetActiveView());
    bool ok = save(main, args[3], "1-opened.png");

    // Replays every sixth seed of the file as a mouse stroke: left button
    // for object seeds, right button for background seeds.
    QFile seeds(args[2]);
    if (!seeds.open(QIODevice::ReadOnly | QIODevice::Text)) return 1;
    QTextStream in(&seeds);
    QWidget* viewport = view->viewport();
    int line = 0;
    int held_kind = 0;
    while (!in.atEnd()) {
        const QStringList fields = in.readLine().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 3 || fields[0].startsWith(QLatin1Char('#')) || line++ % 6 != 0) continue;
        const QPoint at(fields[0].toInt(), fields[1].toInt());
        const int kind = fields[2].toInt();
        const Qt::MouseButton button = kind == 1 ? Qt::LeftButton : Qt::RightButton;
        if (kind != held_kind) {
            if (held_kind) send_mouse(viewport, QEvent::MouseButtonRelease, at, held_kind == 1 ? Qt::LeftButton : Qt::RightButton, Qt::NoButton);
            send_mouse(viewport, QEvent::MouseButtonPress, at, button, button);
            held_kind = kind;
        }
        send_mouse(viewport, QEvent::MouseMove, at, Qt::NoButton, button);
    }
    if (held_kind) send_mouse(viewport, QEvent::MouseButtonRelease, QPoint(), held_kind == 1 ? Qt::LeftButton : Qt::RightButton, Qt::NoButton);
    ok = save(main, args[3], "2-seeds.png") && ok;

    main->RouteCommand(ID_EDIT_GRAPHCUT);
    main->UpdateActions();
    ok = save(main, args[3], "3-segmented.png") && ok;
    main->RouteCommand(ID_VIEW_SHOW_REGIONS);
    ok = save(main, args[3], "3-regions.png") && ok;
    main->RouteCommand(ID_VIEW_SHOW_REGIONS);
    main->RouteCommand(ID_VIEW_OVERLAY);
    main->UpdateActions();
    ok = save(main, args[3], "3-overlay.png") && ok;
    ok = save(view->viewport(), args[3], "3-overlay-view.png") && ok;
    main->RouteCommand(ID_ZOOM_HALF);
    main->UpdateActions();
    ok = save(main, args[3], "3-overlay-half.png") && ok;
    main->RouteCommand(ID_VIEW_OVERLAY);
    main->RouteCommand(ID_ZOOM_X1);

    main->RouteCommand(ID_ZOOM_X3);
    main->UpdateActions();
    view->horizontalScrollBar()->setValue(view->horizontalScrollBar()->maximum() / 2);
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum() / 2);
    ok = save(main, args[3], "4-zoom3.png") && ok;

    ok = save_modal(main, ID_EDIT_TUNEPARAMETER, args[3], "5-parameter.png") && ok;
    // Colour pictures answer the window/centre command with a message.
    main->RouteCommand(ID_IMAGE_WINDOWCENTER);
    if (view->GetWindCentDlg()->isVisible()) {
        ok = save(view->GetWindCentDlg(), args[3], "6-window-center.png") && ok;
        view->GetWindCentDlg()->reject();
    }
    ok = save_modal(main, ID_APP_ABOUT, args[3], "7-about.png") && ok;

    main->RouteCommand(ID_WINDOW_NEW);
    main->UpdateActions();
    ok = save(main, args[3], "8-new-window.png") && ok;
    main->RouteCommand(ID_WINDOW_TILE_HORZ);
    main->RouteCommand(ID_WINDOW_CASCADE);
    ok = save(main, args[3], "9-cascade.png") && ok;
    return ok ? 0 : 1;
}
