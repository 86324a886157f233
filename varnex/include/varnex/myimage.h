// The application's working image: a CImage with a row and column window.
#pragma once

#include <kalvio/image.h>
#include <varnex/seqlist.h>

/// A CImage plus a window of rows ymin..ymax and columns xmin..xmax, which
/// always covers the whole image, and copies of its size (height, width).
class MyImage : public CImage {
public:
    int ymax;    ///< last row of the window
    int ymin;    ///< first row of the window
    int xmax;    ///< last column of the window
    int xmin;    ///< first column of the window
    int height;  ///< number of rows (= nrows)
    int width;   ///< number of columns (= ncols)

    /// No pixels; the window is empty (ymax = xmax = -1).
    MyImage();
    /// The sized CImage constructor (format before sample type), then the
    /// window over the whole image.
    MyImage(int nrows, int ncols, int color, int format, int datatype);
    /// A copy of `source` converted to `color` (0 grey, 1 colour): colour to
    /// grey averages the channels, grey to colour repeats the value.
    MyImage(const MyImage* source, int color);
    /// A deep copy of `source` (planes included) with the window over it.
    explicit MyImage(CImage* source);
    ~MyImage() override;

    /// CImage::ReadImage, then the window from the size the read left,
    /// whether it succeeded or not. Returns the read's result.
    int ReadImage(const char* path);
    /// True when the point lies inside the window (bounds inclusive).
    bool Contains(const CPoint* point) const;
    /// Sum of squared channel differences (colour) or squared difference
    /// (grey) of two pixels; 1e30 for an image of another colour mode.
    float SquaredDifference(int x1, int y1, int x2, int y2) const;
    /// Mean absolute channel difference (colour) or absolute difference
    /// (grey); 1e30 for an image of another colour mode.
    float AbsDifference(int x1, int y1, int x2, int y2) const;

    /// Sets the window and the size copies from nrows and ncols.
    void SetWindow();
};
