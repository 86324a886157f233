// Picture file readers and writers working on bare pixel arrays.
#pragma once

#include <kalvio/export.h>

#include <cstdint>
#include <cstdio>
#include <functional>

class CFile;
class CImage;

// Readers return a new array (make_2D_float_array, owned by the caller) in
// the layout of CImage::data, or null after a message. They check what they
// read: dimensions must be positive, the sample count must fit, and the file
// must hold every sample the header promises.

/// Binary PGM ("P5"). A maximum above 255 means two big-endian bytes a
/// sample; *datatype (when not null) becomes KALVIO_TYPE_INT16 then, else
/// KALVIO_TYPE_UINT8.
KALVIO_API float** read_pgm_image(const char* path, int* nrows, int* ncols, int* datatype = nullptr);
/// Binary PPM ("P6"): rows of 3 * ncols floats, red, green, blue.
KALVIO_API float** read_ppm_image(const char* path, int* nrows, int* ncols, int* datatype = nullptr);
/// BMP through CDib; *color is 0 when every pixel is grey, else 1.
KALVIO_API float** read_bmp_image(const char* path, int* nrows, int* ncols, int* color);
namespace kalvio {

/// A picture's 8-bit samples in one block, top row first: `rows()` rows of
/// `cols()` grey bytes (`color()` 0) or 3 * `cols()` bytes of red, green,
/// blue (`color()` 1). Owns its block.
class KALVIO_API PictureBytes {
public:
    PictureBytes() = default;
    PictureBytes(PictureBytes&& other) noexcept;
    PictureBytes& operator=(PictureBytes&& other) noexcept;
    ~PictureBytes();
    PictureBytes(const PictureBytes&) = delete;
    PictureBytes& operator=(const PictureBytes&) = delete;

    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    int rows() const { return m_rows; }
    int cols() const { return m_cols; }
    int color() const { return m_color; }

private:
    friend int read_bmp_bytes(const char* path, PictureBytes* picture);
    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    int m_rows = 0, m_cols = 0, m_color = 0;
};
/// A BMP file's samples as read_bmp_image reads them (the same values, the
/// same grey or colour decision, the same refusals), as bytes: a quarter of
/// the memory, for callers that only read them. 1 on success; 0 after a
/// message, `picture` unchanged.
KALVIO_API int read_bmp_bytes(const char* path, PictureBytes* picture);

}  // namespace kalvio

/// A BMP file row by row, from the file's position, without the whole
/// bitmap in memory: `size(width, height)` once the headers are read, then
/// `row(y, bgr)` for every row, y from the top, with 3 * width bytes of
/// blue, green, red (indexed pixels through their colour table, an index
/// beyond it black). Accepts what CDib::Read accepts, with its messages.
/// Returns 1 when every row was handed over, 0 after a message or, without
/// one, when `size` returned false.
KALVIO_API int read_bmp_rows(CFile* file, const std::function<bool(int width, int height)>& size,
                             const std::function<void(int y, const std::uint8_t* bgr)>& row);
/// qvf: "QV", rows and columns, sample type, colour flag, raw samples.
KALVIO_API float** read_qvf_image(const char* path, int* nrows, int* ncols, int* color, int* datatype);
/// PNG of any bit depth and colour type: grey and grey with alpha give a
/// grey picture (*color 0), RGB and RGB with alpha a colour one (*color 1);
/// alpha and transparency are dropped. An indexed picture is mapped through
/// its palette, and reads as grey when every palette entry is grey. Grey
/// samples of 1, 2 or 4 bits are scaled to 0..255 (2 bits: 0, 85, 170,
/// 255). 16-bit samples keep their values (0..65535) and *datatype becomes
/// KALVIO_TYPE_INT16, as for a 16-bit PGM; otherwise KALVIO_TYPE_UINT8.
KALVIO_API float** read_png_image(const char* path, int* nrows, int* ncols, int* color,
                                  int* datatype = nullptr);
/// JPEG, baseline or progressive, grey (*color 0) or colour (*color 1),
/// *datatype KALVIO_TYPE_UINT8. The picture is turned upright as the
/// Orientation tag of its Exif block says (2 to 8: mirrored, turned or
/// both; 5 to 8 swap rows and columns). CMYK files are refused, and so are
/// a file that ends before its last pixel, a progressive file of more than
/// 500 scans and one whose decoding needs more than 1 GiB beside the
/// picture.
KALVIO_API float** read_jpeg_image(const char* path, int* nrows, int* ncols, int* color,
                                   int* datatype = nullptr);
/// TIFF: the first picture of the file, 8- or 16-bit unsigned samples, grey
/// (black or white as zero) or RGB, any extra samples (alpha) dropped;
/// uncompressed, LZW, deflate or PackBits; strips or tiles, interleaved or
/// one plane a sample. Rows come as stored (the Orientation tag is not
/// applied). *datatype as for PNG.
KALVIO_API float** read_tiff_image(const char* path, int* nrows, int* ncols, int* color,
                                   int* datatype = nullptr);
// PNG, JPEG and TIFF files may claim any size in a few bytes: their readers
// refuse pictures of more than 2^28 samples (16384 x 16384 grey), and
// pictures larger than the file could decode to (a "Truncated file"),
// before allocating. Their messages name the reader and carry the decoding
// library's own reason, e.g. "read_png_image: Can't read file (IHDR: CRC
// error)".

/// Medical scanner image: square, 16-bit samples, side guessed from the file
/// length (the header is whatever precedes the last 2 * n * n bytes).
KALVIO_API float** read_medical_image(const char* path, int* nrows, int* ncols);

// Writers return 1 on success and 0 after a message. Each writes to a
// temporary file beside `path` and renames it into place only when complete,
// so a failed or cancelled write leaves an existing file untouched.
// Samples are converted by truncation toward zero and keep their low 8 or
// 16 bits; nothing is clamped.

KALVIO_API int write_pgm_image(float** data, const char* path, int nrows, int ncols, int color);
KALVIO_API int write_ppm_image(float** data, const char* path, int nrows, int ncols, int color);
KALVIO_API int write_bmp_image(float** data, const char* path, int nrows, int ncols, int color);
/// A width x height 24-bit BMP whose rows `row(y, bgr)` fills, y from the
/// bottom row up (file order), 3 * width bytes of blue, green, red a pixel;
/// the rows are written a block at a time, so no bitmap of the whole
/// picture is made. The file is the one write_bmp_image makes of the same
/// pixels.
KALVIO_API int write_bmp_rows(const char* path, int width, int height,
                              const std::function<void(int y, std::uint8_t* bgr)>& row);
KALVIO_API int write_qvf_image(float** data, const char* path, int nrows, int ncols, int color,
                               int datatype);
KALVIO_API int write_duta_image(float** data, const char* path, int nrows, int ncols);
KALVIO_API int write_raw_image(float** data, const char* path, int nrows, int ncols, int datatype);
/// PNG, 16-bit for the sample types KALVIO_TYPE_INT16 and INT32, 8-bit
/// for the others; grey for color 0, RGB for color 1 (any other colour flag
/// has no pixels: "No image to write"). Unlike the writers above, samples
/// are clamped: truncated toward zero (NaN as 0), then held to 0..255 or
/// 0..65535, as PNG samples are unsigned (a negative 16-bit value becomes 0).
KALVIO_API int write_png_image(float** data, const char* path, int nrows, int ncols, int color,
                               int datatype);
/// Copies the header of the template file named by the environment variable
/// KALVIO_BRANTOW_TEMPLATE (all but its last 131,072 bytes), then the pixels
/// as big-endian 16-bit integers.
KALVIO_API int write_brantow_image(float** data, const char* path, int nrows, int ncols);

/// New image (owned by the caller, format qvf) from a headerless file:
/// nrows x ncols pixels from byte `offset`. color 0: layout 0 bytes, 1 the
/// low 12 bits of 16-bit words, 2 signed 16-bit, 3 signed 32-bit, 4 float;
/// color 1: layout 0 interleaved RGB bytes, 1 planar. bigendian != 0 reads
/// multi-byte samples big-endian. Null (after a message) when the file
/// cannot be opened or is too short, or for an unknown color/layout pair.
KALVIO_API CImage* Raw2Img(const char* path, int nrows, int ncols, int color, int layout,
                           int bigendian, int offset);

/// Big-endian helpers; they do not check for end of file.
KALVIO_API short getshort(FILE* fp);
KALVIO_API int getint(FILE* fp);
KALVIO_API float getfloat(FILE* fp);
KALVIO_API void putshort(short value, FILE* fp);

/// 1 when `text` begins with `prefix` (always for an empty prefix), else 0.
KALVIO_API int are_equal(const char* text, const char* prefix);
/// 1 when "ACR-NEMA" occurs anywhere in `text`, else 0.
KALVIO_API int acr_nema(const char* text);
