// The float-pixel image of the library.
#pragma once

#include <kalvio/export.h>
#include <kalvio/object.h>

/// Sample type codes (CImage::datatype): the type of the samples on disk.
enum : int {
    KALVIO_TYPE_UNSET = 0,   ///< scratch images
    KALVIO_TYPE_UINT8 = 4,   ///< unsigned 8-bit
    KALVIO_TYPE_INT32 = 5,   ///< signed 32-bit integer
    KALVIO_TYPE_FLOAT = 6,   ///< 32-bit IEEE float
    KALVIO_TYPE_INT16 = 7,   ///< signed 16-bit integer
};

/// File format codes (CImage::format): the format an image was read from and
/// will be written in.
enum : int {
    KALVIO_FORMAT_NONE = 0,
    KALVIO_FORMAT_PGM = 1,
    KALVIO_FORMAT_PPM = 2,
    KALVIO_FORMAT_BMP = 3,
    KALVIO_FORMAT_QVF = 4,
    KALVIO_FORMAT_TESSIL = 6,
    KALVIO_FORMAT_DUTA = 7,
    KALVIO_FORMAT_RAW = 8,
    KALVIO_FORMAT_BRANTOW = 9,
    KALVIO_FORMAT_PNG = 10,
    KALVIO_FORMAT_JPEG = 11,
    KALVIO_FORMAT_TIFF = 12,
};

/// An image held as rows of 32-bit floats, one per grey pixel or three per
/// colour pixel (interleaved red, green, blue), whatever its file type.
///
/// The fields and their order are a contract with derived classes outside
/// the library, which read and write them directly. The image owns every
/// array it points to; all of them are allocated with make_2D_float_array
/// and released by the destructor.
class KALVIO_API CImage : public CObject {
    KALVIO_DECLARE_DYNCREATE(CImage);

public:
    int nrows;       ///< number of rows (height)
    int ncols;       ///< number of columns (width)
    int color;       ///< 0 grey, 1 colour; anything else: no pixel array
    int datatype;    ///< sample type code, KALVIO_TYPE_*
    int format;      ///< file format code, KALVIO_FORMAT_*
    float** data;    ///< nrows rows of ncols (grey) or 3*ncols (colour) floats; null when absent
    float** mag;     ///< optional nrows x ncols plane (gradient or ridge strength), null when absent
    float** dir;     ///< optional nrows x ncols plane (direction), null when absent
    float** scale;   ///< optional nrows x ncols plane (scale of a ridge response), null when absent

    /// Empty image: no rows or columns, grey, float samples, qvf format.
    CImage();
    /// Zero-filled image. `data` is nrows x ncols for color 0, nrows x
    /// 3*ncols for color 1, absent for any other color (and when allocation
    /// fails, after the allocator's message). Note the order: format, then
    /// sample type.
    CImage(int nrows, int ncols, int color, int format, int datatype);
    /// As the previous constructor, then copies `pixels` (same layout as
    /// `data`) into the new array. The caller keeps `pixels`.
    CImage(int nrows, int ncols, int color, float** pixels, int format, int datatype);
    /// Deep copy of `source`: the scalar fields, `data` and each plane that
    /// the source has. A null source gives an empty image.
    CImage(const CImage* source);
    /// Deep copy, as CImage(&source).
    CImage(const CImage& source);
    /// Releases this image's arrays, then copies `source` deeply. Safe when
    /// `source` is this image.
    void operator=(const CImage& source);
    /// Releases data, mag, dir and scale, where present.
    ~CImage() override;

    /// Grey image: sets the pixel. Colour image: sets all three channels.
    /// No bounds checks: (row, column) must lie inside the image.
    void SetPixel(int row, int column, float value);
    /// `rgb` packs red in bits 0-7, green in 8-15, blue in 16-23. Grey image:
    /// (red + green + blue) * 0.33333334f. Colour image: the three channels.
    void SetPixel(int row, int column, unsigned long rgb);

    /// Grey image: every pixel becomes (float) table[(int) value]. The table
    /// must hold an entry for every value that occurs. Colour images and
    /// images without pixels are left unchanged.
    void WindowCenter(int* table);

    /// Colour image: copies channel 0, 1, 2 into the grey images red, green
    /// and blue, which the caller created with this image's size. Does
    /// nothing for a grey image, or when an output is null, has no pixels or
    /// differs in size.
    void ComputeRGB(CImage* red, CImage* green, CImage* blue);

    /// Fills the image from a picture file, choosing the reader from the
    /// file's first bytes (not its name): "P5" PGM, "P6" PPM, "BM" BMP, "QV"
    /// qvf, then the PNG, JPEG and TIFF signatures (read_png_image,
    /// read_jpeg_image, read_tiff_image in formats.h: alpha is dropped, a
    /// palette of greys gives a grey image, JPEG is turned upright by its
    /// Exif orientation, 16-bit samples keep their values with sample type
    /// INT16); GIF, ASCII PNM, PBM and text files are refused with one
    /// message; any other file goes to the medical reader. Returns 1 on
    /// success; on failure shows the reader's message and "CImage: Can't
    /// read data", returns 0 and leaves the image as it was. A read that
    /// changes the size releases mag, dir and scale, which no longer fit.
    int ReadImage(const char* path);
    /// Writes the image in the format named by `format` (PGM, PPM, BMP, qvf,
    /// duta, raw, brantow; PNG for the PNG, JPEG and TIFF formats alike,
    /// 16-bit for sample types INT16 and INT32, samples clamped, see
    /// write_png_image). Returns the writer's result, or 0 without a message
    /// for a format that has no writer. An existing file is only ever
    /// replaced by a completely written one.
    int WriteImage(const char* path);

    /// New image filtered along each row (x) or column (y) with the
    /// recursive filter whose coefficients `table` holds (see ga, fdga).
    /// Works on the grey layout (ncols floats a row; a colour image's other
    /// floats stay 0). Same size, colour mode, format and sample type; owned
    /// by the caller. Any line length works, down to 1: samples before a
    /// line repeat its first, samples past it its last. Null for an image
    /// without pixels (no rows, no columns or no array), a null table or
    /// lack of memory. O(pixels) whatever the scale; the results are the
    /// same bits as the plain scalar recursion.
    CImage* apply_IIR4_filter_x(float** table);
    CImage* apply_IIR4_filter_y(float** table);
    /// New image: the Gaussian-smoothed derivative across columns (x) or
    /// rows (y) at scale `sigma`, times 0.5: fdga along that axis, then ga
    /// along the other. Owned by the caller; null as for the filters.
    CImage* first_derivative_x(float sigma);
    CImage* first_derivative_y(float sigma);
    /// New image smoothed along both axes at scale `sigma` (ga along x, then
    /// along y; the filter pair does not keep the mean). A colour image is
    /// smoothed channel by channel, each stretched to exactly 0..255. Owned
    /// by the caller; null as for the filters.
    CImage* smooth_image(float sigma);
    /// Stretches the grey layout linearly onto low..high in place (extended
    /// precision, from the smallest and largest value, both searched from
    /// the bounds +/-1,000,000) and sets the sample type to 8-bit, also for
    /// an image without pixels. An image whose values are all equal has no
    /// range to stretch: every value becomes `low`.
    void Normalize(float low, float high);

    /// New grey image (owned by the caller) of the same size and format,
    /// sample type float: (channel 0 + channel 1 + channel 2) * 0.33333334f.
    /// A grey image gives a grey copy with sample type float. Null for an
    /// image without pixels.
    CImage* MakeGray();

    /// New colour image (owned by the caller) of the same size and format,
    /// sample type 8-bit. rescale 0: every channel is the grey value.
    /// Otherwise: (value - min) * 255 / (max - min) over the image's range,
    /// and 0 everywhere when the image is constant. A colour image gives a
    /// colour copy, rescaled over all its samples when asked. Null for an
    /// image without pixels.
    CImage* MakeColor(int rescale);

    // ---- Pixel arithmetic, colour and geometric transforms ----------------
    // (kalvio/ops/arithmetic.cpp, colour.cpp, geometry.cpp)
    //
    // Each returns a new image, allocated with new and owned by the caller,
    // who deletes it through the virtual destructor; the operands are left
    // unchanged. Each returns null, touching no pixel, for a null operand,
    // an operand without pixels (no rows, no columns, no array, or a colour
    // flag other than 0 or 1), a result whose size cannot be held, or lack
    // of memory (after the allocator's message). Unless said otherwise the
    // result has this image's nrows, ncols, format and datatype, and costs
    // O(pixels) time and one new picture of memory. RGB_to_LUV, Reduce,
    // Enlarge, Rotate and Scale work on pictures of a megapixel or more in
    // bands of rows, one thread per processor (KALVIO_THREADS=n, at most 8,
    // as the Gaussian filters), and several floats at a time (AVX2 or SSE2;
    // KALVIO_SIMD=sse2 or =none lowers the choice); the bits depend on
    // neither.

    /// Inverted copy. Colour: each channel becomes 255 - value. Grey: each
    /// value v becomes (min + max) - v over the image's extremes (running
    /// minimum from 1,000,000, maximum from -1,000,000).
    CImage* Invert();

    /// Sum and product with `other`, which must have this image's nrows and
    /// ncols, else "The two images should have the same size" is shown and
    /// null returned (the same holds for every operation below that takes a
    /// second image). Grey with grey gives grey; any colour operand gives a
    /// colour result, a grey operand taking part in every channel.
    CImage* Addseq(CImage* other);
    CImage* Multseq(CImage* other);

    /// Larger and smaller of the two pixels, compared by brightness, (red +
    /// green + blue) * 0.33333334 for a colour pixel, evaluated in double;
    /// the winning pixel is copied whole, a grey one into all three channels
    /// of a colour result. Ties go to `other`, except for a grey image
    /// against a colour `other`, where they go to this image.
    CImage* Maxseq(CImage* other);
    CImage* Minseq(CImage* other);

    /// This image with every pixel where `mask` is non-zero set to this
    /// image's largest sample (of any channel; the running maximum starts at
    /// -1,000,000), and the others copied. The mask is read in its grey
    /// layout: the first ncols floats of each row.
    CImage* Orseq(CImage* mask);
    /// This image with every pixel where `mask` is zero set to 0 (all
    /// channels); the mask is read as for Orseq.
    CImage* Andseq(CImage* mask);
    /// Colour overlay: (255, 0, 0) where `mask` (read as for Orseq) is
    /// non-zero; elsewhere a colour image's pixel, or a grey image's value
    /// stretched onto 0..255 over its extremes (as in Invert) into all
    /// three channels, 0 when the image is constant. Always colour.
    CImage* Superpose(CImage* mask);

    /// Colour image converted pixel by pixel with ::RGB_to_LUV (kalvio/colour.h):
    /// L in channel 0, u in 1, v in 2, each a whole number. Channels are
    /// first clamped to 0..255 (NaN counts as 0); within that range the
    /// results are those of the free function. Format and datatype 0. Null
    /// for a grey image.
    CImage* RGB_to_LUV();

    /// The nrows x ncols block whose top-left pixel is (row, column), with
    /// copies of this image's mag and dir planes cut likewise (scale is not
    /// copied). Null when the block is empty or not wholly inside the image.
    /// O(block).
    CImage* Extract(int row, int column, int nrows, int ncols);

    /// An image (nrows / factor) x (ncols / factor) (integer division).
    /// factor 2 with mode 1: each pixel is the mean of the cross-shaped
    /// neighbourhood of (2r, 2c) with weights 1, 1, 2, 1, 1 (times
    /// 0.16666667), row or column -1 read as +1. Any other factor or mode:
    /// the plain mean of each factor x factor block; the remainder rows and
    /// columns are dropped. A mag plane is reduced likewise and stretched
    /// onto 0..1 (0 when constant), a dir plane reduced likewise. Null for
    /// a factor below 1 or larger than either size. O(pixels).
    CImage* Reduce(int factor, int mode);

    /// An image (factor * nrows) x (factor * ncols). mode 1: bilinear
    /// between each pixel and its right, lower and diagonal neighbours (a
    /// neighbour past the last row or column repeats the nearest one), with
    /// weights (f - i)(f - j), (f - i) j, i (f - j), i j over f^2 at offset
    /// (i, j) of the f x f block. Any other mode: every pixel becomes an f x
    /// f block of its value. Null for a factor below 1 or a result too large
    /// to hold. O(result pixels).
    CImage* Enlarge(int factor, int mode);

    /// Same size, shifted down by `rows` and right by `columns` (negative
    /// values shift up and left); uncovered pixels are 0. Any shift is
    /// accepted.
    CImage* Translate(int rows, int columns);

    /// Same size, rotated by `degrees` about (nrows / 2, ncols / 2) (integer
    /// division), sampled bilinearly; positive angles turn the picture
    /// counter-clockwise on the screen. Bilinear sampling at a source position
    /// (y, x) gives 0 when y < 0, y >= nrows - 1, x < 0 or x >= ncols - 1,
    /// so the last row and column are never the upper-left corner of a
    /// sample; uncovered pixels are 0.
    CImage* Rotate(int degrees);

    /// An image trunc(nrows * rowfactor) x trunc(ncols * columnfactor); a
    /// column factor of 0 means the row factor (pass floats: Scale(2.0f,
    /// 0.0f), since Scale(2.0, 0) picks the integer form). Target pixel (r,
    /// c) samples the source bilinearly, as in Rotate, at (r / rowfactor, c /
    /// columnfactor). Null for a factor that is negative, zero (the row
    /// factor) or not finite, or a size that comes out 0 or too large.
    /// O(result pixels).
    CImage* Scale(float rowfactor, float columnfactor);
    /// An image of `nrows` x `ncols`, both positive, sampled as above with the
    /// factors new size / old size (floats).
    CImage* Scale(int nrows, int ncols);
    // ---- end of pixel arithmetic, colour and geometric transforms ----------

    // ---- Edges, drawing, filters and distance transforms -------------------
    // (kalvio/ops/edges.cpp, draw.cpp, filters.cpp, distance.cpp)
    //
    // The operations that return an image return a new one, owned by the
    // caller, and null, touching nothing, for an image without pixels (see
    // the pixel arithmetic above) or lack of memory. Those that change this
    // image in place do nothing for an image without pixels. None recurses
    // per pixel or allocates in proportion to anything but the image.

    /// Fills mag with the gradient magnitude and dir with its direction at
    /// scale `sigma`, allocating either plane when absent. From
    /// first_derivative_x and _y: mag = sqrt(gx^2 + gy^2), dir = atan2(gy,
    /// gx) + pi in 0..2pi. A colour image takes, pixel by pixel, the channel
    /// of largest magnitude (red before green before blue on ties). mag is
    /// then scaled so that its largest value over the rows and columns from
    /// round(2 sigma) up to but excluding round(size - 2 sigma) (halves away
    /// from zero) is 1, and the band outside them becomes 0; when that
    /// interior is empty or all 0, mag is 0 everywhere. dir is kept
    /// everywhere. Does nothing when the derivatives cannot be had (no
    /// pixels, no memory).
    void edges_mag_dir(float sigma);

    /// New grey image (sample type float) of the thinned magnitudes: each
    /// interior pixel keeps its mag when it is at least the mag of both
    /// neighbours across the gradient (the direction sector of dir, in steps
    /// of pi/4), else 0; the one-pixel border is 0. Null without mag or dir.
    CImage* non_maximum_suppression();

    /// New grey image (sample type 8-bit): 255 on every pixel whose value is
    /// above `low` and that is 8-connected through such pixels to an
    /// interior pixel above `high`; 0 elsewhere. Reads the grey layout.
    CImage* hysteresis_thresholding(float high, float low);

    /// The growth step of hysteresis_thresholding: marks 255 in `out` every
    /// pixel around (row, column), then around each pixel so marked, whose
    /// value in this image is above `low` and whose mark in `out` is still
    /// 0. Does nothing when `out` has no pixels or another size, or (row,
    /// column) lies outside the image. Uses a stack of its own, not the
    /// call stack.
    void follow_edge(CImage* out, int row, int column, float low);

    /// Fills mag (allocating it when absent) with the 3 x 3 Sobel gradient
    /// magnitude of the grey values (colour: MakeGray's), not normalised;
    /// the border stays as it was. Images under 3 x 3 are left as they are.
    void SobelFilter();

    /// Sets the pixels of the 8-connected digital segment from (row0,
    /// column0) to (row1, column1) that lie inside the image to `value` (all
    /// three channels of a colour pixel). End points may lie anywhere; only
    /// the part of the segment over the image is walked.
    void DrawLine(int row0, int column0, int row1, int column1, float value);
    /// 360 points, one per whole degree, at `radius` around (row, column),
    /// each rounded to the nearest pixel; those inside are set to `value`.
    void DrawCircle(int row, int column, float radius, float value);
    /// A vertical and a horizontal line of half-length `size` through (row,
    /// column).
    void DrawCross(int row, int column, float value, int size);
    /// Sets to `value` the 4-connected region around (row, column) bounded
    /// by pixels equal to `boundary` or already equal to `value` (a NaN
    /// matches a NaN here). Nothing happens when the start is outside the
    /// image or already equals `value`. Colour pixels match when all three
    /// channels do. Uses a stack of its own, not the call stack.
    void FillObject(int row, int column, float value, float boundary);
    /// In each row, sets every pixel between the first and the last pixel
    /// equal to `value` to `value`: fills a convex outline drawn in it.
    void FillConvexObject(float value);

    /// New image (same colour mode, format, sample type): each pixel the
    /// element of rank size^2 / 2 of the size x size window from offset
    /// size/2 - size + 1 to size/2 around it, positions outside clamped to
    /// the edge (the median for odd sizes, the upper middle value for even
    /// ones). Colour channel by channel; NaNs rank above every number. Null
    /// for a size below 1 or above 255.
    CImage* Median(int size);
    /// New grey image (same format and sample type): 255 where the pixel is
    /// above `threshold` (colour: all three channels are), else 0.
    CImage* Threshold(float threshold);
    /// New image (same colour mode, format, sample type): the mean of the
    /// size x size window (offsets as for Median, positions clamped),
    /// weighted by (D - distance) / D with D = sqrt(2 (size/2)^2), the
    /// distance taken to the clamped position. Size 1 gives a copy; null
    /// for a size below 1 or above 255.
    CImage* DistanceFilter(int size);
    /// New image (same colour mode, format 0, sample type float): the
    /// chamfer distance (steps 1 and 1.4142137) of every pixel to the
    /// nearest non-zero pixel (colour: any channel non-zero, the distance in
    /// all three), 1,000,000 where there is none.
    CImage* Chamfer();
    /// New grey image (same format, sample type float): this image plus
    /// Gaussian noise of deviation `sigma` (Box-Muller from uniform numbers
    /// in (0, 1]), reproducible for one `seed`; without a seed, a fresh one.
    /// Null for a colour image.
    CImage* GNoise(float sigma);
    CImage* GNoise(float sigma, unsigned long long seed);
    // ---- end of edges, drawing, filters and distance transforms ------------

    // ---- Ridge detection (kalvio/ops/ridges.cpp) ---------------------------

    /// Multi-scale ridge detection: fills new mag (strength, 0..1), dir
    /// (direction across the line in 0..pi, 3.5 where there is none) and
    /// scale (the sigma of the strongest response, 0 where there is none)
    /// planes, releasing earlier ones. Scales from sigmamin to sigmamax in
    /// nscales even steps (sigmamin alone for one scale); at each the
    /// picture is smoothed (smooth_image), a line direction is taken from
    /// the Hessian where its curvature is at least 0.005 and the gradients
    /// one scale away on either side are opposite within pi/3, and the
    /// strength from the derivatives across the line one scale before and
    /// after it; `bright` finds bright lines on darker ground, `dark` dark
    /// lines on brighter ground (both may be set). The strengths are then
    /// stretched onto 0..1 from the smallest (0 where no line was found) to
    /// the largest; a picture without lines has strength 0 everywhere. A
    /// colour picture is taken through its grey values (MakeGray). Only
    /// pixels where `mask` is non-zero are processed (null: all); the mask
    /// is read in its grey layout, the first ncols floats of each row, and
    /// the gradients those pixels look at are taken wherever they lie.
    /// Writes "Current scale: k=... sigma=...\n" to the trace per scale.
    /// Does nothing, leaving the planes as they were, for an image without
    /// pixels, nscales below 1, a sigma that is not finite or not above 0,
    /// sigmamax below sigmamin, a mask without pixels, a mask of another
    /// size (after "The two images should have the same size") or lack of
    /// memory. O(nscales x pixels); pictures of a megapixel or more run in
    /// bands of rows on one thread per processor (KALVIO_THREADS) and
    /// several pixels at a time (KALVIO_SIMD), with the same bits.
    void ridges(float sigmamin, float sigmamax, int nscales, int bright, int dark, CImage* mask);
    // ---- end of ridge detection ---------------------------------------------

    // ---- Region maps ---------------------------------------------------------
    // (kalvio/ops/regions.cpp)

    /// A region map of this picture, for a segmentation that works on regions
    /// when no map was made for it elsewhere: a new colour image (owned by the
    /// caller) of the same size, format BMP, 8-bit samples, whose 4-connected
    /// areas of one flat colour are compact regions of about `region_size`
    /// pixels on average that follow the picture's edges. Every pixel belongs
    /// to exactly one region, every region is 4-connected, and no two regions
    /// share a colour, so dividing the map into 4-connected areas of equal
    /// colour gives back exactly these regions. *regions, when given,
    /// receives their number (0 on failure). The same picture gives the same
    /// map for any number of threads. Null for an image without pixels, a
    /// region size below 1, a picture of 2^31 pixels or more, or lack of
    /// memory.
    ///
    /// The regions are those of a compact watershed: one marker per cell of
    /// a grid of spacing sqrt(region_size) (on the lowest gradient near the
    /// cell's centre), flooded in order of gradient plus distance to the
    /// marker. The gradient is taken on the picture smoothed at sigma 1
    /// (the largest over a colour picture's channels) and stretched onto
    /// 0..255 from the picture's range; the distance weighs 10 grey levels
    /// per grid spacing, so edges of a few tens of grey levels bound the
    /// regions while flat and finely textured parts get near-square ones;
    /// flat areas larger than a region that differ from their surroundings
    /// by more than 32 grey levels keep their edges exactly. At most
    /// 2^24 regions (one colour each): the region size is raised as far as
    /// needed. Grey and colour pictures; O(pixels) time, on one thread per
    /// processor for pictures of a megapixel or more (KALVIO_THREADS), and
    /// one 16-bit word a pixel of memory beside the result.
    CImage* MakeRegionMap(int region_size = 100, int* regions = nullptr);
    // ---- end of region maps --------------------------------------------------
};

/// cos(angle) a + sin(angle) b interpolated bilinearly at (row + distance
/// cos(angle), column + distance sin(angle)) from the four pixels around
/// it: rows row + i and row + i +/- 1, columns column + j and column + j
/// +/- 1, with i and j the offsets truncated toward zero and the second
/// row or column on the side of the offset's sign. No bounds checks: the
/// caller keeps the point and its neighbours inside the arrays.
KALVIO_API float bilinear_int(float** a, float** b, int row, int column, float distance, float angle);

