// The document/view layer.
#include "framework.h"

#include "childfrm.h"

#include <QFile>
#include <QFileInfo>
#include <QMdiArea>
#include <QPainter>
#include <QPaintEvent>
#include <QScrollBar>

#include <algorithm>

bool CDocument::OnOpenDocument(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

void CDocument::update_frame_titles() const {
    for (CView* view : m_views)
        if (CChildFrame* frame = view->GetParentFrame()) frame->OnUpdateFrameTitle();
}

void CDocument::SetTitle(const QString& title) {
    m_strTitle = title;
    update_frame_titles();
}

void CDocument::SetPathName(const QString& path) {
    m_strPathName = path;
    SetTitle(QFileInfo(path).fileName());
}

void CDocument::AddView(CView* view) {
    m_views.push_back(view);
    update_frame_titles();
}

void CDocument::RemoveView(CView* view) {
    m_views.erase(std::remove(m_views.begin(), m_views.end(), view), m_views.end());
    OnViewRemoved(view);
    update_frame_titles();
}

void CDocument::UpdateAllViews(CView* sender) {
    for (CView* view : m_views)
        if (view != sender) view->Invalidate();
}

bool CDocument::CloseAllFrames() {
    if (!SaveModified()) return false;
    // Frames delete themselves later, so the document outlives this loop.
    const std::vector<CView*> views = m_views;
    for (CView* view : views)
        if (CChildFrame* frame = view->GetParentFrame()) frame->CloseWithoutAsking();
    return true;
}

CView::CView(CDocument* document) : m_pDocument(document) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setLineWidth(2);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    m_pDocument->AddView(this);
}

CView::~CView() {
    CDocument* document = m_pDocument;
    document->RemoveView(this);
    if (document->GetViews().empty()) delete document;
}

CChildFrame* CView::GetParentFrame() const {
    for (QWidget* w = parentWidget(); w; w = w->parentWidget())
        if (auto* frame = dynamic_cast<CChildFrame*>(w)) return frame;
    return nullptr;
}

void CView::SetScrollSizes(QSize total, QSize page, QSize line) {
    m_sizeTotal = total;
    m_sizePage = page;
    m_sizeLine = line;
    update_scroll_bars();
}

QPoint CView::GetScrollPosition() const {
    return {horizontalScrollBar()->value(), verticalScrollBar()->value()};
}

void CView::update_scroll_bars() {
    const QSize shown = viewport()->size();
    QScrollBar* h = horizontalScrollBar();
    QScrollBar* v = verticalScrollBar();
    h->setRange(0, std::max(0, m_sizeTotal.width() - shown.width()));
    v->setRange(0, std::max(0, m_sizeTotal.height() - shown.height()));
    h->setPageStep(std::max(1, m_sizePage.width()));
    v->setPageStep(std::max(1, m_sizePage.height()));
    h->setSingleStep(std::max(1, m_sizeLine.width()));
    v->setSingleStep(std::max(1, m_sizeLine.height()));
}

void CView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    // Outside the content the background shows, as in any scrolling view.
    const QPoint origin = GetScrollPosition();
    const QRect content(QPoint(0, 0), m_sizeTotal);
    const QRegion outside = QRegion(event->rect()) - content.translated(-origin);
    for (const QRect& r : outside) painter.fillRect(r, palette().window());
    painter.translate(-origin);
    OnDraw(&painter, event->rect().translated(origin));
}

void CView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    update_scroll_bars();
}

void CView::scrollContentsBy(int dx, int dy) {
    viewport()->scroll(dx, dy);
}

CMultiDocTemplate::CMultiDocTemplate(int resource_id, QString new_name, DocumentFactory make_document,
                                     ViewFactory make_view)
    : m_nIDResource(resource_id), m_strNewName(std::move(new_name)),
      m_makeDocument(std::move(make_document)), m_makeView(std::move(make_view)) {}

CChildFrame* CMultiDocTemplate::OpenDocumentFile(QMdiArea* area, const QString& path) {
    CDocument* document = m_makeDocument();
    if (path.isEmpty()) {
        if (!document->OnNewDocument()) {
            delete document;
            return nullptr;
        }
        document->SetTitle(m_strNewName + QString::number(++m_nUntitledCount));
    } else {
        if (!document->OnOpenDocument(path)) {
            delete document;
            return nullptr;
        }
        document->SetPathName(path);
        document->OnDocumentOpened();
    }
    return CreateNewFrame(area, document);
}

CChildFrame* CMultiDocTemplate::CreateNewFrame(QMdiArea* area, CDocument* document) {
    CView* view = m_makeView(document);
    auto* frame = new CChildFrame(view);
    area->addSubWindow(frame);
    frame->show();
    // The first show sizes the frame; the view's initial update may resize
    // it again to the picture.
    view->OnInitialUpdate();
    // Qt placed the frame for its first size; sized to the picture it may
    // reach beyond the area.
    frame->KeepInside(QRect(QPoint(0, 0), area->viewport()->size()));
    frame->OnUpdateFrameTitle();
    view->setFocus();
    return frame;
}
