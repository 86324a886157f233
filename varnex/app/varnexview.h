// The image view: the document's display bitmap at zoom 1 to 4 with the
// seed marks over it; seeds are painted with the mouse.
#pragma once

#include "framework.h"

class CVarnexDoc;
class WindCentDlg;
class QPrinter;
class QWheelEvent;

class CVarnexView : public CView {
    Q_OBJECT
public:
    explicit CVarnexView(CVarnexDoc* document);
    ~CVarnexView() override;

    CVarnexDoc* GetDocument() const;

    void OnInitialUpdate() override;
    void OnDraw(QPainter* painter, const QRect& content_rect) override;
    bool OnCommand(int id) override;
    bool OnUpdateCmdUI(CCmdUI& ui) override;

    /// Sets the zoom factor (1 to 4), the scroll sizes and the frame size.
    void SetZoom(int zoom);
    /// The image pixel under viewport position `client`: (client + scroll
    /// position) / zoom, rounding down.
    QPoint ClientToImage(QPoint client) const;
    /// The viewport size the frame is given at zoom `zoom`: the picture
    /// grows with the zoom up to the largest whole multiple of its size
    /// within 500 pixels, plus the border.
    QSize FrameClientSize(int zoom) const;
    /// The frame client size at the current zoom.
    QSize GetIdealSize() const override { return FrameClientSize(m_nZoom); }

    /// Commands of the view.
    void OnGraphcut();
    void OnTuneParameter();
    /// Asks for the mean region size and makes a new region map.
    void OnMakeRegionMap();
    /// Shows or hides the region boundaries over the picture.
    void SetShowRegions(bool show);
    void OnImageWindowCenter();
    void OnFilePrint();
    void OnFilePrintPreview();
    /// Draws the picture and the seeds onto `printer`, scaled to the page.
    void PrintTo(QPrinter* printer);

    /// The private message of the window/centre dialog: `code` is
    /// WINDCENT_APPLY (OK) or WINDCENT_CANCEL.
    int OnWindCent(int code);
    /// The new centre and window chosen in the dialog: the document's grey
    /// table follows them and every view shows the result.
    void OnWindowCenterChanged(int center, int window);

    WindCentDlg* GetWindCentDlg() const { return m_pWindCentDlg; }

    int m_nZoom = 1;
    WindCentDlg* m_pWindCentDlg = nullptr;
    int m_nCenter = 0;
    int m_nWindow = 0;
    bool m_bLeftDown = false;
    bool m_bRightDown = false;
    bool m_bSegmented = false;
    bool m_bShowRegions = false;

    // Painting seeds, strokes and cuts (viewpaint.cpp).
    /// Commands of painting (Undo, Redo, Clear Seeds, Graphcut, Live
    /// Graphcut); false for others.
    bool paint_command(int id);
    bool paint_update(CCmdUI& ui);

    // Zoom and the display of picture and result (varnexview.cpp).
    /// Viewport pixels per image pixel at the current zoom.
    double Scale() const;
    /// The viewport rectangle that shows image pixels `pixels`, rounded
    /// outwards.
    QRect ImageToClient(const QRect& pixels) const;

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    // Painting (viewpaint.cpp). Each takes the event when it handles it.
    bool paint_key(QKeyEvent* event);
    bool paint_wheel(QWheelEvent* event);
    void paint_seeds(QPoint client, int kind);
    /// Draws the seed marks over the part `content_rect` of the view.
    void draw_seeds(QPainter* painter, const QRect& content_rect) const;
    void draw_seeds_of_kind(QPainter* painter, const QRect& content_rect, int kind) const;

    // Zoom and display (varnexview.cpp).
    bool display_key(QKeyEvent* event);
    bool display_wheel(QWheelEvent* event);
};
