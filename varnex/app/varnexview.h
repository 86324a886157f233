// The image view: the document's display bitmap (or the result over the
// picture) at zoom 1/8 to 4 with the seed marks over it; seeds are painted
// with the mouse.
#pragma once

#include "framework.h"

class CVarnexDoc;
class WindCentDlg;
class QPrinter;
class QResizeEvent;
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

    /// Zoom levels (m_nZoom): 1 to 4 magnify by that factor, -n shows the
    /// picture at 1/n, kZoomFit shows it whole in the window.
    static constexpr int kZoomHalf = -2;
    static constexpr int kZoomQuarter = -4;
    static constexpr int kZoomEighth = -8;
    static constexpr int kZoomFit = 0;

    /// Sets zoom level `zoom`, the scroll sizes and, except for kZoomFit
    /// (which fits the picture into the view as it is), the frame size.
    /// Other values, and a picture without a display, are refused.
    void SetZoom(int zoom);
    /// The image pixel under viewport position `client`: (client + scroll
    /// position) / Scale(), rounding down.
    QPoint ClientToImage(QPoint client) const;
    /// The view size the frame is given at zoom level `zoom`: the picture
    /// at that scale plus the border, where magnified only up to the
    /// largest whole multiple of its size within 500 pixels, and never
    /// beyond the document area (scroll bars show the rest).
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

    int m_nZoom = 1;  ///< zoom level: 1 to 4, kZoomHalf, kZoomQuarter, kZoomEighth or kZoomFit
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
    /// Side of the square brush in image pixels: odd, kSmallestBrush to
    /// kLargestBrush, so that the brush centres on the pixel under the mouse.
    int BrushSize() const { return m_nBrushSize; }
    /// Sets the brush side (brought into range, an even side made odd),
    /// says it in the status bar and shows it as the cursor.
    void SetBrushSize(int size);
    /// True while Live Graphcut cuts after every stroke.
    bool LiveGraphcut() const { return m_bLiveCut; }
    static constexpr int kSmallestBrush = 1;
    static constexpr int kLargestBrush = 51;
    static constexpr int kDefaultBrush = 7;

    // Zoom and the display of picture and result (varnexview.cpp).
    /// Viewport pixels per image pixel at the current zoom.
    double Scale() const { return m_dScale; }
    /// The viewport rectangle that shows image pixels `pixels`, rounded
    /// outwards.
    QRect ImageToClient(const QRect& pixels) const;
    /// Steps to the next zoom level of 1/8, 1/4, 1/2, 1, 2, 3, 4 above
    /// (`steps` > 0) or below the current scale, keeping the image point
    /// under viewport position `client` in place where the scroll range
    /// allows. The frame keeps its size. False at either end.
    bool StepZoom(int steps, QPoint client);
    /// True when the view shows the result over the picture (View > Result
    /// Over Picture) instead of the object on white.
    bool ShowsOverlay() const { return m_bOverlay; }
    void SetShowOverlay(bool show);
    /// Opacity of the object over the picture, 0 to 100 percent.
    int OverlayOpacity() const { return m_nOverlayOpacity; }
    void SetOverlayOpacity(int percent);
    /// Asks for the overlay opacity and shows the overlay.
    void OnOverlayOpacity();

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
    /// Draws the seed marks over the part `content_rect` of the view.
    void draw_seeds(QPainter* painter, const QRect& content_rect) const;
    void begin_stroke(int kind, Qt::MouseButton button, QPoint pixel);
    void end_stroke();
    void stamp_line(QPoint from, QPoint to);
    void seeds_changed(bool cut_again);
    bool cut(bool quiet);
    void live_cut();
    void update_brush_cursor();
    int m_nBrushSize = kDefaultBrush;
    bool m_bLiveCut = false;
    int m_nStrokeKind = -1;                    // SeedStrokes kind of the stroke in progress, -1 for none
    Qt::MouseButton m_strokeButton = Qt::NoButton;  // the button that paints it
    QPoint m_lastPixel;                        // image pixel of the last stamp
    std::vector<bool> m_stroked;               // pixels the stroke in progress holds, row by row
    int m_nWheelDelta = 0;                     // wheel turn towards the next brush step, in eighths of a degree
    double m_dCursorScale = 0.0;               // scale and brush the cursor was made for
    int m_nCursorBrush = 0;

    // Zoom and display (varnexview.cpp).
    bool display_key(QKeyEvent* event);
    bool display_wheel(QWheelEvent* event);
    void resizeEvent(QResizeEvent* event) override;
    /// Sets level `zoom` at `scale` and the scroll sizes for it.
    void apply_zoom(int zoom, double scale);
    /// The scale of Fit to Window for the view's present size.
    double fit_scale() const;
    /// The largest view size the frame can give inside the document area.
    QSize room_in_area() const;
    /// Draws the part `content_rect` of `image` (one pixel per image
    /// pixel) at the current scale.
    void draw_scaled(QPainter* painter, const QRect& content_rect, const QImage& image) const;

    double m_dScale = 1.0;
    bool m_bOverlay = false;
    int m_nOverlayOpacity = 50;
    int m_nZoomWheelDelta = 0;  // Ctrl+wheel turn not yet worth a zoom step
};
