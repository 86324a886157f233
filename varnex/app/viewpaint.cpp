// Painting seeds with the mouse, strokes, and cuts.
#include "varnexview.h"

#include "mainfrm.h"
#include "resource.h"
#include "varnexdoc.h"

#include <kalvio/message.h>
#include <varnex/contour.h>

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Live Graphcut cuts after a stroke only while a cut of the picture takes
// at most this long; slower cuts would hold up the painting.
constexpr double kLiveCutSeconds = 0.3;
// The brush outline is the cursor only at these sizes on screen: smaller it
// cannot be seen, larger is more than a cursor may be.
constexpr int kSmallestOutline = 4;
constexpr int kLargestOutline = 128;
// How long the status bar shows the brush size after a change.
constexpr int kBrushNoteMs = 5000;
// One notch of a mouse wheel, in eighths of a degree.
constexpr int kWheelNotch = 120;

// Seed marks: object red, background green; the picture shows through a
// little, so the painted outline of the object stays visible.
const QRgb kObjectMark = qPremultiply(qRgba(255, 0, 0, 192));
const QRgb kBackgroundMark = qPremultiply(qRgba(0, 255, 0, 192));

bool has_seeds(const Contour* contour) {
    return contour && (!contour->object_seeds.IsEmpty() || !contour->background_seeds.IsEmpty());
}

bool has_both_kinds(const Contour* contour) {
    return contour && !contour->object_seeds.IsEmpty() && !contour->background_seeds.IsEmpty();
}

// What Graphcut needs painted first, in one sentence; null when nothing.
const char* missing_seeds(const Contour& contour) {
    const bool object = !contour.object_seeds.IsEmpty();
    const bool background = !contour.background_seeds.IsEmpty();
    if (!object && !background)
        return "Paint the object with the left mouse button and the background with the right one before Graphcut.";
    if (!object) return "Paint the object with the left mouse button before Graphcut.";
    if (!background) return "Paint the background with the right mouse button before Graphcut.";
    return nullptr;
}

// The centres of the straight line from `from` to `to`, both included,
// one per step along the longer axis (Bresenham), so that stamps along it
// leave no gap however far the mouse moved between two events.
template <typename Visit>
void for_each_on_line(QPoint from, QPoint to, Visit visit) {
    const int dx = std::abs(to.x() - from.x()), dy = -std::abs(to.y() - from.y());
    const int sx = from.x() < to.x() ? 1 : -1, sy = from.y() < to.y() ? 1 : -1;
    int error = dx + dy;
    QPoint p = from;
    for (;;) {
        visit(p);
        if (p == to) return;
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            p.rx() += sx;
        }
        if (twice <= dx) {
            error += dx;
            p.ry() += sy;
        }
    }
}

}  // namespace

void CVarnexView::draw_seeds(QPainter* painter, const QRect& content_rect) const {
    const CVarnexDoc* doc = GetDocument();
    const Contour* contour = doc->m_pContour;
    if (!has_seeds(contour)) return;
    const QPoint scroll = GetScrollPosition();
    const QRect picture(0, 0, doc->m_pImage->ncols, doc->m_pImage->nrows);
    const QRect area = content_rect & ImageToClient(picture).translated(scroll);
    if (area.isEmpty()) return;
    // The pixels that can show in `area`, one more on each side for the
    // rounding of the scale.
    const QRect pixels = QRect(ClientToImage(area.topLeft() - scroll), ClientToImage(area.bottomRight() - scroll))
                             .adjusted(-1, -1, 1, 1) &
                         picture;
    // The marks are gathered in an image of the area's screen pixels: each
    // seed fills the screen rectangle of its pixel, at least one screen
    // pixel, so seeds show at every zoom and one fill draws them all.
    QImage marks(area.size(), QImage::Format_ARGB32_Premultiplied);
    if (marks.isNull()) return;
    marks.fill(Qt::transparent);
    for (int kind : {SeedStrokes::kObject, SeedStrokes::kBackground}) {
        const SeqList<CPoint>& seeds = kind == SeedStrokes::kObject ? contour->object_seeds : contour->background_seeds;
        const QRgb colour = kind == SeedStrokes::kObject ? kObjectMark : kBackgroundMark;
        for (int i = 1; i <= seeds.GetCount(); ++i) {
            const CPoint p = seeds.GetAt(i);
            if (!pixels.contains(p.x, p.y)) continue;
            const QRect square = ImageToClient(QRect(p.x, p.y, 1, 1)).translated(scroll) & area;
            if (square.isEmpty()) continue;
            const QRect local = square.translated(-area.topLeft());
            for (int y = local.top(); y <= local.bottom(); ++y) {
                auto* line = reinterpret_cast<QRgb*>(marks.scanLine(y));
                std::fill(line + local.left(), line + local.right() + 1, colour);
            }
        }
    }
    painter->drawImage(area.topLeft(), marks);
}

void CVarnexView::mousePressEvent(QMouseEvent* event) {
    CVarnexDoc* doc = GetDocument();
    const Qt::MouseButton button = event->button();
    if (!doc->HasImage() || (button != Qt::LeftButton && button != Qt::RightButton && button != Qt::MiddleButton))
        return CView::mousePressEvent(event);
    if (button == Qt::LeftButton) m_bLeftDown = true;
    if (button == Qt::RightButton) m_bRightDown = true;
    // The middle button, or Shift with either other, erases seeds of both
    // kinds.
    int kind = button == Qt::LeftButton ? SeedStrokes::kObject : SeedStrokes::kBackground;
    if (button == Qt::MiddleButton || (event->modifiers() & Qt::ShiftModifier)) kind = SeedStrokes::kErase;
    // A second button ends the stroke of the first: a stroke has one kind.
    end_stroke();
    begin_stroke(kind, button, ClientToImage(event->position().toPoint()));
    event->accept();
}

void CVarnexView::mouseReleaseEvent(QMouseEvent* event) {
    // The view holds the mouse while a button is down (Qt grabs it on the
    // press), so a release outside the view arrives here too.
    if (event->button() == Qt::LeftButton) m_bLeftDown = false;
    else if (event->button() == Qt::RightButton) m_bRightDown = false;
    if (event->button() == m_strokeButton) end_stroke();
    event->accept();
}

void CVarnexView::mouseMoveEvent(QMouseEvent* event) {
    if (!GetDocument()->HasImage()) return;
    update_brush_cursor();
    if (m_nStrokeKind < 0) return;
    // A release that went elsewhere (another window took the mouse) ends
    // the stroke here.
    if (!(event->buttons() & m_strokeButton)) return end_stroke();
    const QPoint pixel = ClientToImage(event->position().toPoint());
    stamp_line(m_lastPixel, pixel);
    m_lastPixel = pixel;
}

void CVarnexView::begin_stroke(int kind, Qt::MouseButton button, QPoint pixel) {
    CVarnexDoc* doc = GetDocument();
    const std::size_t pixels = static_cast<std::size_t>(doc->m_pImage->ncols) * doc->m_pImage->nrows;
    m_stroked.assign(pixels, false);
    doc->m_strokes.Begin(kind);
    m_nStrokeKind = kind;
    m_strokeButton = button;
    // A click leaves one stamp of the brush.
    m_lastPixel = pixel;
    stamp_line(pixel, pixel);
}

void CVarnexView::stamp_line(QPoint from, QPoint to) {
    CVarnexDoc* doc = GetDocument();
    const int cols = doc->m_pImage->ncols, rows = doc->m_pImage->nrows;
    const int radius = m_nBrushSize / 2;
    std::vector<CPoint> added;
    // Each stamp adds the pixels of the brush square that lie in the
    // picture and are new to the stroke, columns outer and rows inner.
    for_each_on_line(from, to, [&](QPoint centre) {
        const int x0 = std::max(0, centre.x() - radius), x1 = std::min(cols - 1, centre.x() + radius);
        const int y0 = std::max(0, centre.y() - radius), y1 = std::min(rows - 1, centre.y() + radius);
        for (int x = x0; x <= x1; ++x)
            for (int y = y0; y <= y1; ++y) {
                const std::size_t at = static_cast<std::size_t>(y) * cols + x;
                if (m_stroked[at]) continue;
                m_stroked[at] = true;
                added.push_back({x, y});
            }
    });
    if (added.empty()) return;
    doc->m_strokes.Add(added.data(), added.size());
    // Painted seeds go at the end of their list, as applying every stroke
    // would put them; the eraser takes seeds out of the middle, so the
    // lists are made anew.
    if (m_nStrokeKind == SeedStrokes::kErase) {
        doc->ApplyStrokes();
    } else {
        for (const CPoint& p : added) doc->m_pContour->AddSeed(p.x, p.y, m_nStrokeKind);
    }
    // Only the squares along the line change on screen, with a little
    // margin for the rounding of the scale.
    const QRect stamps = QRect(from, to).normalized().adjusted(-radius, -radius, radius, radius);
    viewport()->update(ImageToClient(stamps).adjusted(-2, -2, 2, 2));
}

void CVarnexView::end_stroke() {
    if (m_nStrokeKind < 0) return;
    m_nStrokeKind = -1;
    m_strokeButton = Qt::NoButton;
    CVarnexDoc* doc = GetDocument();
    // A stroke that stayed outside the picture is no stroke.
    if (!doc->m_strokes.End()) return;
    // This view showed the stroke as it was painted; the others catch up.
    doc->UpdateAllViews(this);
    if (m_bLiveCut) live_cut();
    if (CMainFrame* main_frame = CMainFrame::Find(this)) main_frame->UpdateActions();
}

void CVarnexView::seeds_changed(bool cut_again) {
    CVarnexDoc* doc = GetDocument();
    doc->ApplyStrokes();
    doc->UpdateAllViews(nullptr);
    if (m_bLiveCut) {
        live_cut();
    } else if (cut_again && doc->HasResult()) {
        // The result shown follows the seeds it was cut with.
        if (has_both_kinds(doc->m_pContour)) {
            cut(false);
        } else if (CMainFrame* main_frame = CMainFrame::Find(this)) {
            main_frame->SetStatusText(QStringLiteral("The result stays: Graphcut needs object and background seeds"),
                                      kBrushNoteMs);
        }
    }
    if (CMainFrame* main_frame = CMainFrame::Find(this)) main_frame->UpdateActions();
}

bool CVarnexView::cut(bool quiet) {
    CVarnexDoc* doc = GetDocument();
    CMainFrame* main_frame = CMainFrame::Find(this);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (main_frame) main_frame->SetStatusText(QStringLiteral("Graphcut: segmenting %1 ...").arg(doc->GetTitle()));
    // A quiet cut says what went wrong in the status bar: a box after every
    // stroke would stop the painting.
    std::string said;
    kalvio::MessageHandler previous;
    if (quiet) {
        previous = kalvio::set_message_handler(
            [&said](const std::string& text, kalvio::MessageButtons buttons, kalvio::MessageIcon) {
                if (said.empty()) said = text;
                return buttons == kalvio::MessageButtons::Ok || buttons == kalvio::MessageButtons::OkCancel ? IDOK
                                                                                                           : IDNO;
            });
    }
    QString status;
    const bool done = doc->Cut(&status);
    if (quiet) kalvio::set_message_handler(previous);
    if (done) {
        m_bSegmented = true;
        doc->UpdateAllViews(nullptr);
    }
    QApplication::restoreOverrideCursor();
    if (!said.empty()) status = QString::fromStdString(said).simplified();
    if (main_frame) main_frame->SetStatusText(status, status.isEmpty() ? 0 : 10000);
    return done;
}

void CVarnexView::live_cut() {
    CVarnexDoc* doc = GetDocument();
    if (!has_both_kinds(doc->m_pContour)) return;
    // The first cut is allowed: only a cut tells how long cuts take.
    if (doc->HasResult() && doc->LastCutSeconds() > kLiveCutSeconds) {
        if (CMainFrame* main_frame = CMainFrame::Find(this))
            main_frame->SetStatusText(QStringLiteral("Live Graphcut waits: a cut of this picture takes %1 s; choose Graphcut")
                                          .arg(doc->LastCutSeconds(), 0, 'f', 1));
        return;
    }
    cut(true);
}

void CVarnexView::OnGraphcut() {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage()) return;
    doc->ApplyStrokes();
    if (const char* missing = missing_seeds(*doc->m_pContour)) {
        AfxMessageBox(missing, MB_ICONINFORMATION);
        return;
    }
    cut(false);
}

void CVarnexView::SetBrushSize(int size) {
    // Odd sides keep the brush centred on the pixel under the mouse.
    m_nBrushSize = std::clamp(size, kSmallestBrush, kLargestBrush) | 1;
    update_brush_cursor();
    if (CMainFrame* main_frame = CMainFrame::Find(this))
        main_frame->SetStatusText(QStringLiteral("Brush %1 x %1 pixels").arg(m_nBrushSize), kBrushNoteMs);
}

void CVarnexView::update_brush_cursor() {
    const double scale = Scale();
    if (scale == m_dCursorScale && m_nBrushSize == m_nCursorBrush) return;
    m_dCursorScale = scale;
    m_nCursorBrush = m_nBrushSize;
    const int side = qRound(m_nBrushSize * scale);
    if (side < kSmallestOutline || side > kLargestOutline) {
        viewport()->setCursor(Qt::CrossCursor);
        return;
    }
    // A dark square with a light one inside shows on any picture.
    QPixmap outline(side, side);
    outline.fill(Qt::transparent);
    {
        QPainter painter(&outline);
        painter.setPen(Qt::black);
        painter.drawRect(0, 0, side - 1, side - 1);
        painter.setPen(Qt::white);
        painter.drawRect(1, 1, side - 3, side - 3);
    }
    viewport()->setCursor(QCursor(outline, side / 2, side / 2));
}

bool CVarnexView::paint_command(int id) {
    CVarnexDoc* doc = GetDocument();
    switch (id) {
    case ID_EDIT_GRAPHCUT:
        OnGraphcut();
        return true;
    case ID_EDIT_UNDO:
        if (doc->m_strokes.Undo()) seeds_changed(true);
        return true;
    case ID_EDIT_REDO:
        if (doc->m_strokes.Redo()) seeds_changed(true);
        return true;
    case ID_EDIT_CLEAR_SEEDS:
        if (has_seeds(doc->m_pContour) && !doc->m_strokes.InStroke()) {
            doc->m_strokes.AddStroke(SeedStrokes::kClear, {});
            seeds_changed(false);
        }
        return true;
    case ID_EDIT_LIVE_GRAPHCUT:
        m_bLiveCut = !m_bLiveCut;
        if (m_bLiveCut && doc->HasImage()) live_cut();
        return true;
    default:
        return false;
    }
}

bool CVarnexView::paint_update(CCmdUI& ui) {
    const CVarnexDoc* doc = GetDocument();
    const bool painting = doc->HasImage() && m_nStrokeKind < 0;
    switch (ui.m_nID) {
    case ID_EDIT_GRAPHCUT:
        ui.Enable(true);
        return true;
    case ID_EDIT_UNDO:
        ui.Enable(painting && doc->m_strokes.CanUndo());
        return true;
    case ID_EDIT_REDO:
        ui.Enable(painting && doc->m_strokes.CanRedo());
        return true;
    case ID_EDIT_CLEAR_SEEDS:
        ui.Enable(painting && has_seeds(doc->m_pContour));
        return true;
    case ID_EDIT_LIVE_GRAPHCUT:
        ui.Enable(doc->HasImage());
        ui.SetCheck(m_bLiveCut);
        return true;
    default:
        return false;
    }
}

bool CVarnexView::paint_key(QKeyEvent* event) {
    const int key = event->key();
    if (key != Qt::Key_BracketLeft && key != Qt::Key_BracketRight) return false;
    SetBrushSize(m_nBrushSize + (key == Qt::Key_BracketRight ? 2 : -2));
    event->accept();
    return true;
}

bool CVarnexView::paint_wheel(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ShiftModifier)) return false;
    // Some systems turn a vertical wheel held with Shift into a horizontal
    // one.
    const QPoint turn = event->angleDelta();
    m_nWheelDelta += turn.y() != 0 ? turn.y() : turn.x();
    // Fine wheels and touchpads send parts of a notch; a step is one notch.
    const int steps = m_nWheelDelta / kWheelNotch;
    m_nWheelDelta -= steps * kWheelNotch;
    if (steps != 0) SetBrushSize(m_nBrushSize + 2 * steps);
    event->accept();
    return true;
}
