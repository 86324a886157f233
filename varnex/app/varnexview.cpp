// The image view.
#include "varnexview.h"

#include "childfrm.h"
#include "dialogs.h"
#include "mainfrm.h"
#include "resource.h"
#include "varnexdoc.h"

#include <kalvio/message.h>
#include <varnex/contour.h>
#include <varnex/myimage.h>
#include <varnex/segmentation_run.h>

#include <QApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMdiArea>
#include <QMouseEvent>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QScrollBar>
#include <QStatusBar>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

namespace {

// The zoom levels Ctrl+wheel steps through, smallest first.
constexpr int kZoomSteps[] = {CVarnexView::kZoomEighth, CVarnexView::kZoomQuarter, CVarnexView::kZoomHalf, 1, 2, 3, 4};
// Fit to Window magnifies no more than the largest level.
constexpr double kLargestScale = 4.0;
// One notch of a common mouse wheel.
constexpr int kWheelNotch = 120;

// The zoom level a Zoom menu command sets.
int zoom_of_command(int id) {
    switch (id) {
    case ID_ZOOM_HALF:
        return CVarnexView::kZoomHalf;
    case ID_ZOOM_QUARTER:
        return CVarnexView::kZoomQuarter;
    case ID_ZOOM_EIGHTH:
        return CVarnexView::kZoomEighth;
    case ID_ZOOM_FIT:
        return CVarnexView::kZoomFit;
    default:
        return id - ID_ZOOM_X1 + 1;
    }
}

bool is_level(int zoom) {
    return std::find(std::begin(kZoomSteps), std::end(kZoomSteps), zoom) != std::end(kZoomSteps);
}

// Viewport pixels per image pixel at a level other than kZoomFit.
double scale_of_level(int zoom) { return zoom > 0 ? zoom : 1.0 / -zoom; }

// The whole viewport pixels that `length` image pixels take at `scale`.
int scaled_length(int length, double scale) { return static_cast<int>(std::ceil(length * scale - 1e-9)); }

}  // namespace

CVarnexView::CVarnexView(CVarnexDoc* document) : CView(document) {
    m_pWindCentDlg = new WindCentDlg(this);
    setWindowTitle(QStringLiteral("Localized GraphCut"));
}

CVarnexView::~CVarnexView() { delete m_pWindCentDlg; }

CVarnexDoc* CVarnexView::GetDocument() const { return static_cast<CVarnexDoc*>(CView::GetDocument()); }

void CVarnexView::OnInitialUpdate() {
    CVarnexDoc* doc = GetDocument();
    doc->m_pView = this;
    setWindowTitle(QStringLiteral("Localized GraphCut"));
    if (!doc->m_pViewDib || doc->m_pViewDib->IsEmpty()) {
        SetScrollSizes({100, 100}, {100, 100}, {10, 10});
        return;
    }
    // A picture larger than the document area opens at the largest
    // reduction whose window fits inside it, so that the window's caption
    // and borders stay in sight; the smallest level scrolls.
    const QSize room = room_in_area();
    int zoom = kZoomEighth;
    for (int level : {1, kZoomHalf, kZoomQuarter}) {
        const QSize size(scaled_length(doc->m_pViewDib->width, scale_of_level(level)) + 4,
                         scaled_length(doc->m_pViewDib->height, scale_of_level(level)) + 4);
        if (size.width() <= room.width() && size.height() <= room.height()) {
            zoom = level;
            break;
        }
    }
    SetZoom(zoom);
}

QSize CVarnexView::room_in_area() const {
    const CChildFrame* frame = GetParentFrame();
    const QMdiArea* area = frame ? frame->mdiArea() : nullptr;
    if (!area) return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    // The frame's decoration is whatever surrounds the view now.
    return area->viewport()->size() - (frame->size() - size());
}

QSize CVarnexView::FrameClientSize(int zoom) const {
    const varnex::DisplayBitmap* dib = GetDocument()->m_pViewDib;
    if (!dib || dib->IsEmpty()) return {104, 104};
    const int w = dib->width;
    const int h = dib->height;
    QSize shown;
    if (zoom >= 1) {
        shown = QSize(std::min(zoom * w, w * std::max(1, 500 / w)), std::min(zoom * h, h * std::max(1, 500 / h)));
    } else {
        const double scale = zoom == kZoomFit ? m_dScale : scale_of_level(zoom);
        shown = QSize(scaled_length(w, scale), scaled_length(h, scale));
    }
    return (shown + QSize(4, 4)).boundedTo(room_in_area()).expandedTo(QSize(1, 1));
}

void CVarnexView::SetZoom(int zoom) {
    const varnex::DisplayBitmap* dib = GetDocument()->m_pViewDib;
    // A bitmap that could not be built has no size to zoom.
    if (!dib || dib->IsEmpty() || (zoom != kZoomFit && !is_level(zoom))) return;
    if (zoom == kZoomFit) {
        apply_zoom(kZoomFit, fit_scale());
        return;
    }
    m_nZoom = zoom;
    m_dScale = scale_of_level(zoom);
    if (CChildFrame* frame = GetParentFrame()) {
        frame->ResizeToView(FrameClientSize(zoom));
        frame->update();
    }
    apply_zoom(zoom, scale_of_level(zoom));
}

void CVarnexView::apply_zoom(int zoom, double scale) {
    const varnex::DisplayBitmap* dib = GetDocument()->m_pViewDib;
    if (!dib || dib->IsEmpty()) return;
    m_nZoom = zoom;
    m_dScale = scale;
    const QSize total(scaled_length(dib->width, scale), scaled_length(dib->height, scale));
    SetScrollSizes(total, total / 4, {10, 10});
    GetDocument()->UpdateAllViews(nullptr);
}

double CVarnexView::fit_scale() const {
    const varnex::DisplayBitmap* dib = GetDocument()->m_pViewDib;
    const QSize room = contentsRect().size();
    if (!dib || dib->IsEmpty() || room.isEmpty()) return 1.0;
    return std::min({kLargestScale, static_cast<double>(room.width()) / dib->width,
                     static_cast<double>(room.height()) / dib->height});
}

void CVarnexView::resizeEvent(QResizeEvent* event) {
    CView::resizeEvent(event);
    // Fit to Window follows the window's size.
    if (m_nZoom == kZoomFit) {
        const double scale = fit_scale();
        if (scale != m_dScale) apply_zoom(kZoomFit, scale);
    }
}

QPoint CVarnexView::ClientToImage(QPoint client) const {
    const QPoint content = client + GetScrollPosition();
    // Exact for every level: integer division is exact in double, and a
    // correctly rounded quotient never crosses a whole number.
    return {static_cast<int>(std::floor(content.x() / m_dScale)),
            static_cast<int>(std::floor(content.y() / m_dScale))};
}

QRect CVarnexView::ImageToClient(const QRect& pixels) const {
    const int left = static_cast<int>(std::floor(pixels.left() * m_dScale));
    const int top = static_cast<int>(std::floor(pixels.top() * m_dScale));
    const int right = static_cast<int>(std::ceil((pixels.left() + pixels.width()) * m_dScale));
    const int bottom = static_cast<int>(std::ceil((pixels.top() + pixels.height()) * m_dScale));
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)).translated(-GetScrollPosition());
}

bool CVarnexView::StepZoom(int steps, QPoint client) {
    const varnex::DisplayBitmap* dib = GetDocument()->m_pViewDib;
    if (!dib || dib->IsEmpty() || steps == 0) return false;
    // The next level beyond the current scale, which Fit to Window may
    // have left between two levels.
    int zoom = 0;
    if (steps > 0) {
        for (int level : kZoomSteps)
            if (scale_of_level(level) > m_dScale * (1 + 1e-9)) {
                zoom = level;
                break;
            }
    } else {
        for (int level : kZoomSteps)
            if (scale_of_level(level) < m_dScale * (1 - 1e-9)) zoom = level;
    }
    if (zoom == 0) return false;

    const double old_scale = m_dScale;
    const double scale = scale_of_level(zoom);
    const QPoint pixel = ClientToImage(client);
    const QPointF within = QPointF(client + GetScrollPosition()) / old_scale - QPointF(pixel);
    apply_zoom(zoom, scale);
    // The same point of the same pixel goes under the cursor; magnified,
    // the pixel spans whole viewport pixels and must still hold it.
    auto content_of = [scale](int p, double f) {
        const double at = std::floor((p + f) * scale + 0.5);
        if (scale < 1) return at;
        return std::clamp(at, std::ceil(p * scale), std::ceil((p + 1) * scale) - 1);
    };
    horizontalScrollBar()->setValue(static_cast<int>(content_of(pixel.x(), within.x())) - client.x());
    verticalScrollBar()->setValue(static_cast<int>(content_of(pixel.y(), within.y())) - client.y());
    Invalidate();
    return true;
}

void CVarnexView::draw_scaled(QPainter* painter, const QRect& content_rect, const QImage& image) const {
    if (image.isNull()) return;
    // The image pixels under the rectangle with one more on each side, so
    // that smooth scaling blends across the rectangle's edge as it does
    // inside; the clip keeps the drawing to the rectangle.
    const int x0 = std::max(0, static_cast<int>(std::floor(content_rect.left() / m_dScale)) - 1);
    const int y0 = std::max(0, static_cast<int>(std::floor(content_rect.top() / m_dScale)) - 1);
    const int x1 = std::min(image.width(), static_cast<int>(std::ceil((content_rect.right() + 1) / m_dScale)) + 1);
    const int y1 = std::min(image.height(), static_cast<int>(std::ceil((content_rect.bottom() + 1) / m_dScale)) + 1);
    if (x1 <= x0 || y1 <= y0) return;
    const QRectF source(x0, y0, x1 - x0, y1 - y0);
    const QRectF target(x0 * m_dScale, y0 * m_dScale, source.width() * m_dScale, source.height() * m_dScale);
    painter->save();
    painter->setClipRect(content_rect, Qt::IntersectClip);
    // Reduced pictures are blended; magnified ones show their pixels.
    painter->setRenderHint(QPainter::SmoothPixmapTransform, m_dScale < 1);
    painter->drawImage(target, image, source);
    painter->restore();
}

void CVarnexView::OnDraw(QPainter* painter, const QRect& content_rect) {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage() || !doc->m_pViewDib) return;
    const QRect shown = content_rect & QRect(QPoint(0, 0), GetTotalSize());
    if (m_bOverlay) {
        if (varnex::DisplayBitmap* picture = doc->PictureDisplay()) draw_scaled(painter, shown, picture->DrawImage());
        const QImage& object = doc->ObjectOverlay();
        if (!object.isNull() && m_nOverlayOpacity > 0) {
            painter->save();
            painter->setOpacity(m_nOverlayOpacity / 100.0);
            draw_scaled(painter, shown, object);
            painter->restore();
        }
    } else {
        draw_scaled(painter, shown, doc->m_pViewDib->DrawImage());
    }
    if (m_bShowRegions) draw_scaled(painter, shown, doc->RegionOutline());
    draw_seeds(painter, content_rect);
}

void CVarnexView::SetShowOverlay(bool show) {
    m_bOverlay = show;
    Invalidate();
}

void CVarnexView::SetOverlayOpacity(int percent) {
    m_nOverlayOpacity = std::clamp(percent, 0, 100);
    Invalidate();
}

void CVarnexView::OnOverlayOpacity() {
    bool accepted = false;
    const int percent = QInputDialog::getInt(this, QStringLiteral("Overlay Opacity"),
                                             QStringLiteral("Opacity of the object over the picture (%):"),
                                             m_nOverlayOpacity, 0, 100, 10, &accepted);
    if (!accepted) return;
    SetOverlayOpacity(percent);
    SetShowOverlay(true);
}

void CVarnexView::keyPressEvent(QKeyEvent* event) {
    if (paint_key(event) || display_key(event)) return;
    CVarnexDoc* doc = GetDocument();
    if (event->key() == Qt::Key_Delete && doc->HasImage()) {
        doc->InitMask();
        doc->RebuildDisplays();
        Invalidate();
        event->accept();
        return;
    }
    CView::keyPressEvent(event);
}

void CVarnexView::wheelEvent(QWheelEvent* event) {
    if (paint_wheel(event) || display_wheel(event)) return;
    CView::wheelEvent(event);
}

bool CVarnexView::display_key(QKeyEvent* event) {
    // Ctrl with + or - steps the zoom about the middle of the view.
    if (!(event->modifiers() & Qt::ControlModifier)) return false;
    int steps = 0;
    if (event->key() == Qt::Key_Plus || event->key() == Qt::Key_Equal) steps = 1;
    else if (event->key() == Qt::Key_Minus) steps = -1;
    else return false;
    StepZoom(steps, viewport()->rect().center());
    event->accept();
    return true;
}

bool CVarnexView::display_wheel(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier) || (event->modifiers() & Qt::ShiftModifier)) return false;
    // Touchpads send many small deltas: one level per notch's worth.
    m_nZoomWheelDelta += event->angleDelta().y();
    const int steps = m_nZoomWheelDelta / kWheelNotch;
    m_nZoomWheelDelta -= steps * kWheelNotch;
    for (int i = 0; i < std::abs(steps); ++i) StepZoom(steps, event->position().toPoint());
    event->accept();
    return true;
}

bool CVarnexView::event(QEvent* event) {
    if (event->type() == WindCentEvent::kType) {
        OnWindCent(static_cast<WindCentEvent*>(event)->m_nCode);
        return true;
    }
    return CView::event(event);
}

void CVarnexView::OnMakeRegionMap() {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage()) return;
    bool accepted = false;
    const int size = QInputDialog::getInt(this, QStringLiteral("Make Region Map"),
                                          QStringLiteral("Mean region size in pixels:"), doc->m_nRegionSize, 1,
                                          1000000, 1, &accepted);
    if (!accepted) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString status = doc->MakeRegionMap(size);
    QApplication::restoreOverrideCursor();
    if (CMainFrame* main_frame = CMainFrame::Find(this)) main_frame->SetStatusText(status, 10000);
    doc->UpdateAllViews(nullptr);
}

void CVarnexView::SetShowRegions(bool show) {
    m_bShowRegions = show;
    GetDocument()->UpdateAllViews(nullptr);
}

void CVarnexView::OnTuneParameter() {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage()) return;
    Dlg_Parameter dialog(nullptr);
    dialog.m_value = doc->m_fParameter;
    if (dialog.DoModal() == QDialog::Accepted) {
        doc->m_fParameter = dialog.m_value;
        doc->m_pContour->parameter = dialog.m_value;
    }
}

void CVarnexView::OnImageWindowCenter() {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage()) return;
    if (doc->m_pImage->color == 1) {
        AfxMessageBox("Window Center cannot be changed for color images", MB_OK);
        return;
    }
    if (doc->m_pImage->datatype != KALVIO_TYPE_UINT8 && doc->m_pImage->datatype != KALVIO_TYPE_INT16) {
        AfxMessageBox("Window Center can only be changed for byte and short images", MB_OK);
        return;
    }
    if (!m_pWindCentDlg->HasWindow()) {
        m_nCenter = doc->m_nCenter;
        m_nWindow = doc->m_nWindow;
        m_pWindCentDlg->SetLevels(m_nCenter, m_nWindow, doc->GreyTableLength());
    }
    m_pWindCentDlg->Create();
}

int CVarnexView::OnWindCent(int code) {
    CVarnexDoc* doc = GetDocument();
    if (code == WINDCENT_APPLY && doc->HasImage()) {
        m_nCenter = m_pWindCentDlg->CenterLevel();
        m_nWindow = m_pWindCentDlg->WindowLevel();
        OnWindowCenterChanged(m_nCenter, m_nWindow);
        doc->m_nCenter = m_nCenter;
        doc->m_nWindow = m_nWindow;
    }
    doc->UpdateAllViews(nullptr);
    m_pWindCentDlg->DestroyWindow();
    return 0;
}

void CVarnexView::OnWindowCenterChanged(int center, int window) {
    CVarnexDoc* doc = GetDocument();
    doc->SetWindowCenter(center, window);
    doc->RebuildDisplays();
}

void CVarnexView::PrintTo(QPrinter* printer) {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage() || !doc->m_pViewDib) return;
    QPainter painter(printer);
    if (!painter.isActive()) return;
    // The view's drawing at its zoom, scaled to fill the page's width or
    // height with the picture's proportions kept.
    const QRect page = painter.viewport();
    const QSize picture(doc->m_pViewDib->width, doc->m_pViewDib->height);
    const QSize fitted = picture.scaled(page.size(), Qt::KeepAspectRatio);
    painter.setViewport(page.x(), page.y(), fitted.width(), fitted.height());
    const QSize drawn = GetTotalSize();
    painter.setWindow(0, 0, drawn.width(), drawn.height());
    OnDraw(&painter, QRect(QPoint(0, 0), drawn));
}

void CVarnexView::OnFilePrint() {
    CMainFrame* main_frame = CMainFrame::Find(this);
    if (!main_frame) return;
    QPrintDialog dialog(main_frame->Printer(), this);
    if (dialog.exec() == QDialog::Accepted) PrintTo(main_frame->Printer());
}

void CVarnexView::OnFilePrintPreview() {
    CMainFrame* main_frame = CMainFrame::Find(this);
    if (!main_frame) return;
    QPrintPreviewDialog preview(main_frame->Printer(), this);
    connect(&preview, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter* printer) { PrintTo(printer); });
    preview.exec();
}

bool CVarnexView::OnCommand(int id) {
    if (paint_command(id)) return true;
    switch (id) {
    case ID_ZOOM_X1:
    case ID_ZOOM_X2:
    case ID_ZOOM_X3:
    case ID_ZOOM_X4:
    case ID_ZOOM_HALF:
    case ID_ZOOM_QUARTER:
    case ID_ZOOM_EIGHTH:
    case ID_ZOOM_FIT:
        SetZoom(zoom_of_command(id));
        return true;
    case ID_VIEW_OVERLAY:
        SetShowOverlay(!m_bOverlay);
        return true;
    case ID_VIEW_OVERLAY_OPACITY:
        OnOverlayOpacity();
        return true;
    case ID_EDIT_TUNEPARAMETER:
        OnTuneParameter();
        return true;
    case ID_EDIT_MAKE_REGION_MAP:
        OnMakeRegionMap();
        return true;
    case ID_VIEW_SHOW_REGIONS:
        SetShowRegions(!m_bShowRegions);
        return true;
    case ID_IMAGE_WINDOWCENTER:
        OnImageWindowCenter();
        return true;
    case ID_FILE_PRINT:
        OnFilePrint();
        return true;
    case ID_FILE_PRINT_PREVIEW:
        OnFilePrintPreview();
        return true;
    default:
        return false;
    }
}

bool CVarnexView::OnUpdateCmdUI(CCmdUI& ui) {
    if (paint_update(ui)) return true;
    switch (ui.m_nID) {
    case ID_ZOOM_X1:
    case ID_ZOOM_X2:
    case ID_ZOOM_X3:
    case ID_ZOOM_X4:
    case ID_ZOOM_HALF:
    case ID_ZOOM_QUARTER:
    case ID_ZOOM_EIGHTH:
    case ID_ZOOM_FIT: {
        const int zoom = zoom_of_command(ui.m_nID);
        ui.SetCheck(m_nZoom == zoom);
        ui.Enable(m_nZoom != zoom);
        return true;
    }
    case ID_VIEW_OVERLAY:
        ui.SetCheck(m_bOverlay);
        ui.Enable(true);
        return true;
    case ID_VIEW_OVERLAY_OPACITY:
        ui.Enable(true);
        return true;
    case ID_VIEW_SHOW_REGIONS:
        ui.SetCheck(m_bShowRegions);
        ui.Enable(true);
        return true;
    case ID_EDIT_TUNEPARAMETER:
    case ID_EDIT_MAKE_REGION_MAP:
    case ID_IMAGE_WINDOWCENTER:
    case ID_FILE_PRINT:
    case ID_FILE_PRINT_PREVIEW:
        ui.Enable(true);
        return true;
    default:
        return false;
    }
}
