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
#include <QMouseEvent>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QStatusBar>
#include <QWheelEvent>

#include <algorithm>

namespace {

int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

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
    if (doc->m_pViewDib && !doc->m_pViewDib->IsEmpty()) {
        SetZoom(1);
    } else {
        SetScrollSizes({100, 100}, {100, 100}, {10, 10});
    }
}

QSize CVarnexView::FrameClientSize(int zoom) const {
    const varnex::DisplayBitmap* dib = GetDocument()->m_pViewDib;
    if (!dib || dib->IsEmpty()) return {104, 104};
    const int w = dib->width;
    const int h = dib->height;
    const int width = std::min(zoom * w, w * std::max(1, 500 / w)) + 4;
    const int height = std::min(zoom * h, h * std::max(1, 500 / h)) + 4;
    return {width, height};
}

void CVarnexView::SetZoom(int zoom) {
    const varnex::DisplayBitmap* dib = GetDocument()->m_pViewDib;
    // A bitmap that could not be built has no size to zoom.
    if (!dib || dib->IsEmpty() || zoom < 1 || zoom > 4) return;
    m_nZoom = zoom;
    const int w = dib->width;
    const int h = dib->height;
    if (CChildFrame* frame = GetParentFrame()) {
        frame->ResizeToView(FrameClientSize(zoom));
        frame->update();
    }
    SetScrollSizes({zoom * w, zoom * h}, {zoom * w / 4, zoom * h / 4}, {10, 10});
    GetDocument()->UpdateAllViews(nullptr);
}

QPoint CVarnexView::ClientToImage(QPoint client) const {
    const QPoint content = client + GetScrollPosition();
    return {floor_div(content.x(), m_nZoom), floor_div(content.y(), m_nZoom)};
}

double CVarnexView::Scale() const { return m_nZoom; }

QRect CVarnexView::ImageToClient(const QRect& pixels) const {
    return QRect(pixels.topLeft() * m_nZoom, pixels.size() * m_nZoom).translated(-GetScrollPosition());
}

void CVarnexView::OnDraw(QPainter* painter, const QRect& content_rect) {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage() || !doc->m_pViewDib) return;
    varnex::DisplayBitmap* dib = doc->m_pViewDib;
    dib->Draw(painter, 0, 0, m_nZoom * dib->width, m_nZoom * dib->height);
    if (m_bShowRegions) {
        const QImage& outline = doc->RegionOutline();
        if (!outline.isNull()) painter->drawImage(QRect(0, 0, m_nZoom * dib->width, m_nZoom * dib->height), outline);
    }
    draw_seeds(painter, content_rect);
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
    (void)event;
    return false;
}

bool CVarnexView::display_wheel(QWheelEvent* event) {
    (void)event;
    return false;
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
    // The view's drawing at zoom 1, scaled to fill the page's width or
    // height with the picture's proportions kept.
    const QRect page = painter.viewport();
    const QSize picture(doc->m_pViewDib->width, doc->m_pViewDib->height);
    const QSize fitted = picture.scaled(page.size(), Qt::KeepAspectRatio);
    painter.setViewport(page.x(), page.y(), fitted.width(), fitted.height());
    painter.setWindow(0, 0, picture.width() * m_nZoom, picture.height() * m_nZoom);
    OnDraw(&painter, QRect(QPoint(0, 0), picture * m_nZoom));
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
        SetZoom(id - ID_ZOOM_X1 + 1);
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
    case ID_ZOOM_X4: {
        const int factor = ui.m_nID - ID_ZOOM_X1 + 1;
        ui.SetCheck(m_nZoom == factor);
        ui.Enable(m_nZoom != factor);
        return true;
    }
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
