// The document window.
#include "childfrm.h"

#include <QCloseEvent>
#include <QEvent>
#include <QMdiArea>

#include <algorithm>
#include <vector>

CChildFrame::CChildFrame(CView* view) : m_pView(view) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWidget(view);
    setWindowIcon(QIcon(QStringLiteral(":/varnex/document.png")));
    OnUpdateFrameTitle();
}

void CChildFrame::OnUpdateFrameTitle() {
    CDocument* document = m_pView->GetDocument();
    QString title = document->GetTitle();
    const auto& views = document->GetViews();
    if (views.size() > 1) {
        for (std::size_t i = 0; i < views.size(); ++i)
            if (views[i] == m_pView) title += QStringLiteral(":%1").arg(i + 1);
    }
    setWindowTitle(title);
}

void CChildFrame::ResizeToView(QSize view_size) {
    // The frame's decoration is whatever surrounds the view now.
    const QSize decoration = size() - m_pView->size();
    resize(view_size + decoration);
}

QSize CChildFrame::FittingSize() const {
    return m_pView->GetIdealSize() + (size() - m_pView->size());
}

void CChildFrame::KeepInside(const QRect& area) {
    const QSize fitted = size().boundedTo(area.size());
    const int x = std::clamp(pos().x(), area.left(), area.left() + area.width() - fitted.width());
    const int y = std::clamp(pos().y(), area.top(), area.top() + area.height() - fitted.height());
    setGeometry(QRect(QPoint(x, y), fitted));
}

void CChildFrame::CloseWithoutAsking() {
    m_bAsked = true;
    close();
}

void CChildFrame::closeEvent(QCloseEvent* event) {
    // Another window of the document keeps it open: only the last one asks.
    CDocument* document = m_pView->GetDocument();
    if (!m_bAsked && document->GetViews().size() == 1 && !document->SaveModified()) {
        event->ignore();
        return;
    }
    QMdiSubWindow::closeEvent(event);
}

bool CChildFrame::CloseAll(QMdiArea* area) {
    std::vector<CChildFrame*> frames;
    std::vector<CDocument*> documents;
    for (QMdiSubWindow* window : area->subWindowList(QMdiArea::CreationOrder)) {
        auto* frame = dynamic_cast<CChildFrame*>(window);
        if (!frame) continue;
        frames.push_back(frame);
        CDocument* document = frame->GetActiveView()->GetDocument();
        if (std::find(documents.begin(), documents.end(), document) == documents.end()) documents.push_back(document);
    }
    // Every question comes before any window closes, so Cancel keeps all.
    for (CDocument* document : documents)
        if (!document->SaveModified()) return false;
    for (CChildFrame* frame : frames) frame->CloseWithoutAsking();
    return true;
}
