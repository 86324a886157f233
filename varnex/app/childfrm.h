// The document window: an MDI sub-window holding one view.
#pragma once

#include "framework.h"

#include <QMdiSubWindow>

class CChildFrame : public QMdiSubWindow, public CCmdTarget {
    Q_OBJECT
public:
    /// Takes ownership of `view`; the frame deletes itself when closed.
    explicit CChildFrame(CView* view);

    CView* GetActiveView() const { return m_pView; }
    /// Caption: the document's title, followed by ":n" when the document
    /// has several windows.
    void OnUpdateFrameTitle();
    /// Resizes the frame so that its view gets `view_size`, keeping the
    /// frame's place.
    void ResizeToView(QSize view_size);
    /// The frame size that gives the view its ideal size.
    QSize FittingSize() const;
    /// Moves the frame, and shrinks it where it is larger, so that it lies
    /// inside `area` (in the coordinates of the frame's parent).
    void KeepInside(const QRect& area);

    /// Closes the frame without asking about unsaved changes: the caller
    /// asked already.
    void CloseWithoutAsking();
    /// Closes every document window of `area`, first asking each document
    /// once (CDocument::SaveModified). False, with every window left open,
    /// when the user keeps a document.
    static bool CloseAll(QMdiArea* area);

protected:
    /// The document's last window asks before unsaved changes are lost.
    void closeEvent(QCloseEvent* event) override;

private:
    CView* m_pView;
    bool m_bAsked = false;  // the closing was agreed to elsewhere
};
