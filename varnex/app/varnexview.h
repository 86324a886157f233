// The image view: the document's display bitmap at zoom 1 to 4 with the
// seed marks over it; seeds are painted with the mouse.
#pragma once

#include "framework.h"

class CVarnexDoc;
class WindCentDlg;
class QPrinter;

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

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void paint_seeds(QPoint client, int kind);
    void draw_seeds(QPainter* painter, const QRect& content_rect, int kind) const;
};
