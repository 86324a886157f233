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

#include <algorithm>

namespace {

constexpr int kBrushRadius = 3;  // the brush is 7 x 7 pixels

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

void CVarnexView::OnDraw(QPainter* painter, const QRect& content_rect) {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage() || !doc->m_pViewDib) return;
    varnex::DisplayBitmap* dib = doc->m_pViewDib;
    dib->Draw(painter, 0, 0, m_nZoom * dib->width, m_nZoom * dib->height);
    if (m_bShowRegions) {
        const QImage& outline = doc->RegionOutline();
        if (!outline.isNull()) painter->drawImage(QRect(0, 0, m_nZoom * dib->width, m_nZoom * dib->height), outline);
    }
    draw_seeds(painter, content_rect, 1);
    draw_seeds(painter, content_rect, 2);
}

void CVarnexView::draw_seeds(QPainter* painter, const QRect& content_rect, int kind) const {
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

void CVarnexView::keyPressEvent(QKeyEvent* event) {
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

bool CVarnexView::event(QEvent* event) {
    if (event->type() == WindCentEvent::kType) {
        OnWindCent(static_cast<WindCentEvent*>(event)->m_nCode);
        return true;
    }
    return CView::event(event);
}

void CVarnexView::OnGraphcut() {
    CVarnexDoc* doc = GetDocument();
    if (!doc->HasImage()) return;
    Contour* contour = doc->m_pContour;
    contour->parameter = doc->m_fParameter;
    contour->result_levels = doc->GreyTable();

    CMainFrame* main_frame = CMainFrame::Find(this);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (main_frame) {
        main_frame->SetStatusText(QStringLiteral("Graphcut: segmenting %1 ...").arg(doc->GetTitle()));
    }
    // A region map that cannot be read or does not fit the picture stops the
    // run after its message: seeds, display and marking stay as they are.
    // Without a region map file one is made from the picture first.
    bool ran = false;
    std::string label;
    QString made;
    if (MyImage* map = doc->RegionMapForCut(&label, &made)) {
        SegmentationRun run(*contour, map, label);
        if (run.ok()) {
            doc->ShowSegmentation();
            Invalidate();
            ran = true;
        }
    }
    if (ran) m_bSegmented = true;
    QApplication::restoreOverrideCursor();
    if (main_frame) main_frame->SetStatusText(made, made.isEmpty() ? 0 : 10000);
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
    switch (id) {
    case ID_ZOOM_X1:
    case ID_ZOOM_X2:
    case ID_ZOOM_X3:
    case ID_ZOOM_X4:
        SetZoom(id - ID_ZOOM_X1 + 1);
        return true;
    case ID_EDIT_GRAPHCUT:
        OnGraphcut();
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
    case ID_EDIT_GRAPHCUT:
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
