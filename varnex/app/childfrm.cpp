// The document window.
#include "childfrm.h"

#include <QEvent>

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
