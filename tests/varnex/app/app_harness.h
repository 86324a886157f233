// Shared by the application tests: a started application on a copy of a
// sample picture, mouse input on the image view, and message recording.
#pragma once

#include "childfrm.h"
#include "mainfrm.h"
#include "varnex.h"
#include "varnexdoc.h"
#include "varnexview.h"

#include <message_recorder.h>
#include <varnex/contour.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace varnex_test {

/// Copies examples/`name` into `folder` (created when missing), writable,
/// and returns the copy's path.
inline QString copy_sample(const QString& folder, const QString& name) {
    QDir().mkpath(folder);
    const QString target = QDir(folder).filePath(name);
    QFile::remove(target);
    if (!QFile::copy(QStringLiteral(VARNEX_EXAMPLES "/") + name, target)) return {};
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
    return target;
}

/// Copies a sample picture and its region map.
inline QString copy_case(const QString& folder, const QString& picture) {
    copy_sample(folder, picture.left(picture.indexOf(QLatin1Char('.'))) + QStringLiteral("_regions.bmp"));
    return copy_sample(folder, picture);
}

inline QByteArray read_all(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void send_mouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButton button,
                       Qt::MouseButtons held, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QMouseEvent event(type, QPointF(at), target->mapToGlobal(QPointF(at)), button, held, modifiers);
    QApplication::sendEvent(target, &event);
}

/// Runs `action`, which opens a modal dialog, and `steps` on that dialog
/// once it shows; a dialog the steps left open is cancelled. True when a
/// dialog showed.
inline bool with_modal(const std::function<void()>& action, const std::function<void(QDialog*)>& steps) {
    bool seen = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        seen = true;
        steps(dialog);
        if (dialog->isVisible()) dialog->reject();
    });
    timer.start(0);
    action();
    timer.stop();
    return seen;
}

inline std::vector<QPoint> points_of(const SeqList<CPoint>& list) {
    std::vector<QPoint> out;
    for (int i = 1; i <= list.GetCount(); ++i) out.emplace_back(list.GetAt(i).x, list.GetAt(i).y);
    return out;
}

/// Checks that `seeds` are what one brush move at image pixel `centre`
/// adds in a picture of `size`: the pixels of the 7 x 7 square around it
/// that lie inside the picture, each once, columns outer and rows inner
/// (so strictly increasing by column, then row).
inline void check_brush(const std::vector<QPoint>& seeds, QPoint centre, QSize size) {
    const QRect square = QRect(centre - QPoint(3, 3), QSize(7, 7)) & QRect(QPoint(0, 0), size);
    QCOMPARE(qsizetype(seeds.size()), qsizetype(square.width()) * square.height());
    QRect bounds;
    for (const QPoint& p : seeds) bounds |= QRect(p, QSize(1, 1));
    QCOMPARE(bounds, square);
    for (std::size_t i = 1; i < seeds.size(); ++i) {
        const QPoint a = seeds[i - 1], b = seeds[i];
        QVERIFY2(a.x() < b.x() || (a.x() == b.x() && a.y() < b.y()),
                 qPrintable(QStringLiteral("seed %1 (%2,%3) after (%4,%5)").arg(i).arg(b.x()).arg(b.y()).arg(a.x()).arg(a.y())));
    }
}

/// The application started on one picture, with every message recorded.
class Session {
public:
    bool start(const QString& picture) {
        app = std::make_unique<CVarnexApp>();
        const bool started = app->InitInstance(picture.isEmpty() ? QStringList() : QStringList{picture}, true);
        // After start-up, which installs the message boxes.
        messages = std::make_unique<kalvio_test::MessageRecorder>();
        return started;
    }
    ~Session() { stop(); }
    /// Ends the program the way Exit does: the main window closes its
    /// document windows, then the application object goes.
    void stop() {
        if (app && app->MainWindow()) {
            // Unsaved strokes would ask before closing; a test that wants
            // the question closes the windows itself.
            for (QMdiSubWindow* window : main()->MdiArea()->subWindowList())
                if (auto* frame = dynamic_cast<CChildFrame*>(window))
                    if (auto* doc = dynamic_cast<CVarnexDoc*>(frame->GetActiveView()->GetDocument()))
                        doc->m_strokes.SetSaved();
            app->MainWindow()->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        app.reset();
        messages.reset();
    }

    CMainFrame* main() const { return app->MainWindow(); }
    CVarnexView* view() const { return static_cast<CVarnexView*>(main()->MDIGetActive()->GetActiveView()); }
    CVarnexDoc* doc() const { return view()->GetDocument(); }
    Contour* contour() const { return doc()->m_pContour; }
    QWidget* viewport() const { return view()->viewport(); }
    std::string last_message() const { return messages->boxes().empty() ? std::string() : messages->texts().back(); }

    /// One brush move at viewport position `at` with `buttons` held: press,
    /// move, release.
    void stroke(QPoint at, Qt::MouseButtons buttons) {
        Qt::MouseButtons held;
        for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton})
            if (buttons & b) send_mouse(viewport(), QEvent::MouseButtonPress, at, b, held |= b);
        send_mouse(viewport(), QEvent::MouseMove, at, Qt::NoButton, held);
        for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton})
            if (buttons & b) send_mouse(viewport(), QEvent::MouseButtonRelease, at, b, held &= ~b);
    }

    /// A whole stroke of `kind` (SeedStrokes::kObject, ...) over `pixels`,
    /// as painting it would leave it, without the mouse.
    void add_stroke(int kind, const std::vector<CPoint>& pixels) {
        doc()->m_strokes.AddStroke(kind, pixels);
        doc()->ApplyStrokes();
    }

    std::unique_ptr<CVarnexApp> app;
    std::unique_ptr<kalvio_test::MessageRecorder> messages;
};

}  // namespace varnex_test
