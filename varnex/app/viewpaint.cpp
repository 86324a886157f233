// Painting seeds with the mouse, strokes, and cuts.
#include "varnexview.h"

#include "mainfrm.h"
#include "resource.h"
#include "varnexdoc.h"

#include <varnex/contour.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

namespace {

constexpr int kBrushRadius = 3;  // the brush is 7 x 7 pixels

}  // namespace

void CVarnexView::draw_seeds(QPainter* painter, const QRect& content_rect) const {
    draw_seeds_of_kind(painter, content_rect, 1);
    draw_seeds_of_kind(painter, content_rect, 2);
}

void CVarnexView::draw_seeds_of_kind(QPainter* painter, const QRect& content_rect, int kind) const {
    const Contour* contour = GetDocument()->m_pContour;
    const SeqList<CPoint>& seeds = kind == 1 ? contour->object_seeds : contour->background_seeds;
    if (seeds.IsEmpty()) return;
    painter->save();
    painter->setPen(QPen(kind == 1 ? QColor(255, 0, 0) : QColor(0, 255, 0), 1));
    painter->setBrush(Qt::white);
    // Each seed is a small circle centred on its pixel at this zoom.
    const QRect visible = content_rect.adjusted(-2, -2, 2, 2);
    const int half = m_nZoom / 2;
    for (int i = 1; i <= seeds.GetCount(); ++i) {
        const CPoint p = seeds.GetAt(i);
        const QPoint q(p.x * m_nZoom + half, p.y * m_nZoom + half);
        if (!visible.contains(q)) continue;
        painter->drawEllipse(QRect(q.x() - 1, q.y() - 1, 2, 2));
    }
    painter->restore();
}

void CVarnexView::mousePressEvent(QMouseEvent* event) {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage()) return CView::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) m_bLeftDown = true;
    else if (event->button() == Qt::RightButton) m_bRightDown = true;
    else return CView::mousePressEvent(event);
    if (!m_bSegmented) {
        doc->RebuildDisplays();
        doc->UpdateAllViews(nullptr);
    }
    event->accept();
}

void CVarnexView::mouseReleaseEvent(QMouseEvent* event) {
    // The view holds the mouse while a button is down (Qt grabs it on the
    // press), so a release outside the view arrives here too.
    if (event->button() == Qt::LeftButton) m_bLeftDown = false;
    else if (event->button() == Qt::RightButton) m_bRightDown = false;
    event->accept();
}

void CVarnexView::mouseMoveEvent(QMouseEvent* event) {
    if (m_bSegmented || !GetDocument()->HasImage()) return;
    const QPoint client = event->position().toPoint();
    if (m_bLeftDown) paint_seeds(client, 1);
    if (m_bRightDown) paint_seeds(client, 2);
}

void CVarnexView::paint_seeds(QPoint client, int kind) {
    CVarnexDoc* doc = GetDocument();
    const QPoint pixel = ClientToImage(client);
    for (int dx = -kBrushRadius; dx <= kBrushRadius; ++dx)
        for (int dy = -kBrushRadius; dy <= kBrushRadius; ++dy)
            doc->m_pContour->AddSeed(pixel.x() + dx, pixel.y() + dy, kind);
    doc->RebuildDisplays();
    // Only the brush square (and the marks' overhang) changes on screen.
    const QPoint origin = GetScrollPosition();
    const QRect stroke((pixel.x() - kBrushRadius) * m_nZoom - 2, (pixel.y() - kBrushRadius) * m_nZoom - 2,
                       (2 * kBrushRadius + 1) * m_nZoom + 4, (2 * kBrushRadius + 1) * m_nZoom + 4);
    viewport()->update(stroke.translated(-origin));
}

void CVarnexView::OnGraphcut() {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage()) return;
    CMainFrame* main_frame = CMainFrame::Find(this);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (main_frame) {
        main_frame->SetStatusText(QStringLiteral("Graphcut: segmenting %1 ...").arg(doc->GetTitle()));
    }
    QString status;
    if (doc->Cut(&status)) {
        Invalidate();
        m_bSegmented = true;
    }
    QApplication::restoreOverrideCursor();
    if (main_frame) main_frame->SetStatusText(status, status.isEmpty() ? 0 : 10000);
}

bool CVarnexView::paint_command(int id) {
    switch (id) {
    case ID_EDIT_GRAPHCUT:
        OnGraphcut();
        return true;
    default:
        return false;
    }
}

bool CVarnexView::paint_update(CCmdUI& ui) {
    switch (ui.m_nID) {
    case ID_EDIT_GRAPHCUT:
        ui.Enable(true);
        return true;
    default:
        return false;
    }
}

bool CVarnexView::paint_key(QKeyEvent* event) {
    (void)event;
    return false;
}

bool CVarnexView::paint_wheel(QWheelEvent* event) {
    (void)event;
    return false;
}
