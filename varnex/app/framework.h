// A thin document/view layer on Qt Widgets: command targets and their
// routing, documents with their views, scrolling views, and the template
// that ties a document class to its frame and view classes.
#pragma once

#include <QAbstractScrollArea>
#include <QString>

#include <functional>
#include <vector>

class QPainter;
class QMdiArea;
class CView;
class CChildFrame;

/// The enabled and checked state of one command, filled in by the target
/// that handles the command.
class CCmdUI {
public:
    explicit CCmdUI(int id) : m_nID(id) {}
    void Enable(bool enabled = true) { m_bEnabled = enabled; }
    void SetCheck(bool checked = true) { m_bChecked = checked; }

    int m_nID;
    bool m_bEnabled = true;
    bool m_bChecked = false;
};

/// Anything that handles commands. A command goes to the active view, then
/// its document, its frame, the main frame and the application; the first
/// target that knows it handles it.
class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;
    /// Runs command `id`; false when this target does not handle it.
    virtual bool OnCommand(int id) { (void)id; return false; }
    /// Fills the state of command `ui.m_nID`; false when this target does
    /// not handle it (the state is then left to the next target).
    virtual bool OnUpdateCmdUI(CCmdUI& ui) { (void)ui; return false; }
};

/// A document: the data behind one or more views. It is deleted when its
/// last view goes.
class CDocument : public CCmdTarget {
public:
    CDocument() = default;
    ~CDocument() override = default;
    CDocument(const CDocument&) = delete;
    CDocument& operator=(const CDocument&) = delete;

    /// New, empty document. True on success.
    virtual bool OnNewDocument() { return true; }
    /// Opens the file at `path`. The base step only checks that the file
    /// can be opened for reading; it reads nothing.
    virtual bool OnOpenDocument(const QString& path);

    const QString& GetTitle() const { return m_strTitle; }
    void SetTitle(const QString& title);
    const QString& GetPathName() const { return m_strPathName; }
    /// Sets the path and the title (the file name without its folders).
    void SetPathName(const QString& path);

    void AddView(CView* view);
    void RemoveView(CView* view);
    const std::vector<CView*>& GetViews() const { return m_views; }
    /// Repaints every view except `sender`.
    void UpdateAllViews(CView* sender);

    /// Called once the document was opened from a file and named, before
    /// its first window is made: the place to pick up what belongs beside
    /// the file.
    virtual void OnDocumentOpened() {}
    /// Asks what to do with unsaved changes before the document closes.
    /// True when it may close (nothing unsaved, saved, or discarded); false
    /// when the user keeps it open.
    virtual bool SaveModified() { return true; }
    /// Asks SaveModified once, then closes every window of the document.
    /// False, with every window left open, when the user keeps it.
    bool CloseAllFrames();

protected:
    /// Called when a view goes; `view` is no longer in the list.
    virtual void OnViewRemoved(CView* view) { (void)view; }

private:
    // Captions carry the title and, with several windows, their numbers.
    void update_frame_titles() const;

    QString m_strTitle;
    QString m_strPathName;
    std::vector<CView*> m_views;
};

/// A view on a document inside a child frame: a scroll area whose viewport
/// the derived class paints with OnDraw, in content coordinates.
class CView : public QAbstractScrollArea, public CCmdTarget {
    Q_OBJECT
public:
    explicit CView(CDocument* document);
    ~CView() override;

    CDocument* GetDocument() const { return m_pDocument; }
    CChildFrame* GetParentFrame() const;

    /// Run once when the view is first shown.
    virtual void OnInitialUpdate() {}
    /// The size the view should have in its frame when the frame sizes
    /// itself to its content (opening, cascading); by default its size now.
    virtual QSize GetIdealSize() const { return size(); }
    /// Draws the view's content at content coordinates; for the screen the
    /// painter is already translated by the scroll position.
    virtual void OnDraw(QPainter* painter, const QRect& content_rect) = 0;

    /// Scroll sizes in pixels: the whole content, one page step and one line
    /// step.
    void SetScrollSizes(QSize total, QSize page, QSize line);
    QSize GetTotalSize() const { return m_sizeTotal; }
    /// The content point shown at the viewport's top-left corner.
    QPoint GetScrollPosition() const;
    /// Repaints the viewport.
    void Invalidate() { viewport()->update(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void update_scroll_bars();

    CDocument* m_pDocument;
    QSize m_sizeTotal{0, 0};
    QSize m_sizePage{0, 0};
    QSize m_sizeLine{10, 10};
};

/// Ties a document class to its frame and view classes and creates them.
class CMultiDocTemplate {
public:
    using DocumentFactory = std::function<CDocument*()>;
    using ViewFactory = std::function<CView*(CDocument*)>;

    /// `new_name` names untitled documents ("Varnex1", "Varnex2", ...).
    CMultiDocTemplate(int resource_id, QString new_name, DocumentFactory make_document,
                      ViewFactory make_view);

    int GetResourceID() const { return m_nIDResource; }
    /// Opens `path` as a new document in a new frame inside `area`, or makes
    /// an untitled document when `path` is empty. Returns the frame, or null
    /// when the document could not be opened (it is then deleted).
    CChildFrame* OpenDocumentFile(QMdiArea* area, const QString& path);
    /// A further frame with a new view on `document`.
    CChildFrame* CreateNewFrame(QMdiArea* area, CDocument* document);

private:
    int m_nIDResource;
    QString m_strNewName;
    int m_nUntitledCount = 0;
    DocumentFactory m_makeDocument;
    ViewFactory m_makeView;
};
