// Movies: AVI files (read through FFmpeg's libraries, written as
// uncompressed 24-bit) and the library's own qvf movies, frame by frame,
// and whole-sequence operations on them.
#pragma once

#include <kalvio/export.h>
#include <kalvio/image.h>
#include <kalvio/object.h>

#include <cstdio>
#include <string>
#include <vector>

class CDib;
class CVideo;

KALVIO_API CVideo* VideoFromImages(const char* prefix, int first, int last, const char* suffix);
KALVIO_API CVideo* VideoFromYUV(const char* path, int nrows, int ncols, int nframes, int chroma, int half);

/// Movie kinds (CVideo::kind).
enum : int {
    KALVIO_VIDEO_QVF = 4,  ///< qvf movie: a qvf header with a frame count, then the frames
    KALVIO_VIDEO_AVI = 5,  ///< AVI file
};

namespace kalvio::detail {
class AviReader;
class MovieWriter;
}  // namespace kalvio::detail

/// A movie opened for reading frame by frame, or created for writing.
///
/// qvf movie files hold the text lines "QV", "rows columns frames",
/// "sample type" and "colour flag", then the frames back to back, each
/// `framesize` bytes in the pixel encoding of a qvf picture (colour: three
/// bytes a pixel; grey: one little-endian sample of the sample type). Frame
/// i starts (nframes - i) * framesize bytes before the end of the file, so
/// the header's length does not matter.
///
/// AVI files are read through FFmpeg: any codec it decodes (uncompressed,
/// palette, RLE, MJPEG, lossless codecs, ...), frames converted to 24-bit.
/// AVI files written here are uncompressed 24-bit, bottom-up rows padded to
/// 4 bytes, 5 frames a second, every frame a key frame, with an index; they
/// hold at most 4 GB.
///
/// A movie is in one of three states: open for reading (OpenVideo), being
/// written (the creating constructor) or closed. A closed movie, or one
/// whose opening or creation failed, answers 0 or null to every frame
/// access and write; its size fields and `name` stay as they were, so the
/// sequence operations can reopen it by name.
class KALVIO_API CVideo : public CObject {
    KALVIO_DECLARE_DYNCREATE(CVideo);

public:
    int nrows;        ///< frame rows
    int ncols;        ///< frame columns
    int nframes;      ///< number of frames
    int kind;         ///< KALVIO_VIDEO_AVI or KALVIO_VIDEO_QVF; 0 when none
    int datatype;     ///< sample type of the frames; KALVIO_TYPE_UINT8 for AVI
    int color;        ///< colour flag of the frames
    int framesize;    ///< bytes a frame takes in a qvf movie
    CImage* frame;    ///< the current frame (owned), null when none
    CDib* dib;        ///< display bitmap of the current frame (owned), null when none
    FILE* file;       ///< the qvf movie open for reading, null otherwise
    int current;      ///< index of the current frame; frames written so far when writing
    std::string name; ///< path of the movie file

    kalvio::detail::AviReader* avifile;   ///< the AVI movie open for reading, null otherwise
    kalvio::detail::MovieWriter* writer;  ///< the movie being written, null otherwise
    bool temporary;   ///< the file is a temporary movie, removed with the object

    /// Closed movie: every field 0 or null, an empty name.
    CVideo();
    /// Creates a movie for writing at `path`: kind KALVIO_VIDEO_AVI or
    /// KALVIO_VIDEO_QVF, `nframes` frames (at least 1 for qvf: the count its header
    /// promises; an AVI or qvf movie closed after fewer frames records the
    /// number written), frames of nrows x ncols with this colour flag and,
    /// for qvf, sample type (a grey movie needs KALVIO_TYPE_UINT8, INT16,
    /// INT32 or FLOAT; colour frames are always bytes). The file is written
    /// as every file of the library is (a temporary beside it renamed into
    /// place when the movie is closed; links followed; devices written in
    /// place). On failure "create_movie: Can't create AVI file" or
    /// "create_movie: Can't create movie file" is shown (or
    /// "create_movie: Bad movie size" for sizes that are not positive or a
    /// sample type without samples) and the movie is closed. On success
    /// `frame` is a zero image of the frame size (format qvf, this sample
    /// type), `dib` null, `current` 0.
    CVideo(const char* path, int nrows, int ncols, int nframes, int kind, int datatype, int color);
    /// Closes the movie (finishing one being written) and, for a temporary
    /// movie, removes its file.
    ~CVideo() override;
    CVideo(const CVideo&) = delete;
    CVideo& operator=(const CVideo&) = delete;

    /// Closes whatever this object had open, then opens the movie at `path`
    /// for reading and loads frame 0. The kind comes from the file's first
    /// bytes: "RIFF" is an AVI file, "QV" a qvf movie; anything else gives
    /// 0 without a message. Messages: "OpenMovie: Can't open file" (missing,
    /// not a regular file), "Can't open AVI file" (not a readable AVI
    /// file), "Can't get video stream" (no video in it), "The decompressor
    /// is not open" (no decoder for its codec, or frame 0 does not decode),
    /// "OpenMovie: Bad movie header" (a qvf header with a missing or
    /// impossible value), "OpenMovie: Truncated file" (fewer frames than
    /// the header promises). AVI frames are 8-bit (datatype
    /// KALVIO_TYPE_UINT8), `color` 0 when every pixel of frame 0 is grey,
    /// else 1, and the frame count is the container's (counted when it
    /// does not say). Returns 1 on success; on failure 0 and a closed movie.
    int OpenVideo(const char* path);
    /// Releases the reader, or finishes the movie being written (index,
    /// header counts) and publishes its file. Returns 1, or 0 when a movie
    /// being written could not be completed (its file is then not
    /// published). Closing a closed movie returns 1.
    int CloseVideo();

    /// Loads frame `index` (0 <= index < nframes) into `frame` and rebuilds
    /// `dib`: for qvf movies from the frame, with `lut` (which must cover
    /// every value, see CDib(CImage*, int*)) when given, else with
    /// rescaling for sample types other than bytes; for AVI movies the
    /// decoded 24-bit picture, `lut` unused. An AVI frame is read by
    /// seeking to the key frame at or before it and decoding forward; the
    /// next frame is decoded directly. Colour movies give colour frames;
    /// grey AVI movies give (red + green + blue) * 0.33333334f. `current`
    /// becomes index. Returns 1; 0 when the movie is not open for reading,
    /// the index is out of range, or a read or decode fails (then `frame`
    /// and `current` are unchanged).
    int GetFrame(int index, int* lut = nullptr);
    /// GetFrame(current + 1), wrapping from the last frame to frame 0.
    int GetNextFrame(int* lut = nullptr);
    /// GetFrame(current - 1), wrapping from frame 0 to the last frame.
    int GetPreviousFrame(int* lut = nullptr);

    /// Appends `image` to a movie being written. AVI: a grey image goes to
    /// all three channels; samples become bytes by truncation and their
    /// low 8 bits (NaN 0), as the display bitmap does. qvf: a colour image
    /// into a grey movie is made grey (MakeGray), a grey one into a colour
    /// movie goes to all three channels, and samples are encoded as a qvf
    /// picture's. `current` counts the frames written. Returns 1; 0 when
    /// the movie is not being written, the image has no pixels or another
    /// size than the movie, a qvf movie already holds the frames its
    /// header promised, an AVI file would pass 4 GB, or the write fails
    /// (the movie is then not published when closed).
    int WriteCurrentFrame(CImage* image);

    /// Writes the whole movie to a new file at `path`. AVI to AVI copies
    /// the file. Otherwise a movie of the given kind, sample type and
    /// colour flag receives every frame from 0 on; with `normalize` and
    /// both movies grey, each frame is first stretched onto 0..255
    /// (Normalize). A movie still being written is closed first. Returns 1
    /// when the new file is complete; 0 when this movie cannot be read,
    /// `path` names this movie's own file, or the target cannot be written
    /// (an existing file at `path` is then left as it was).
    int WriteVideo(const char* path, int kind, int color, int normalize, int datatype);

    /// Writes frame i (0 <= i < nframes) as the picture
    /// prefix + (first + i) + suffix with the given format and sample type
    /// (WriteImage). Returns 1 when every frame was written, 0 at the first
    /// frame that could not be read or written (earlier pictures stay).
    int ImagesFromVideo(const char* prefix, int first, const char* suffix, int format, int datatype);

    /// New movies (owned by the caller, closed, in temporary files that
    /// are removed when the object is deleted; WriteVideo keeps one). Each
    /// reads this movie by name and returns null when it cannot be read or
    /// the arguments are out of range.
    ///
    /// Frames firstframe..lastframe cut to the nrows x ncols block at
    /// (row, column), which must lie inside the frame; same kind, sample
    /// type and colour flag.
    CVideo* Extract(int firstframe, int lastframe, int row, int column, int nrows, int ncols);
    /// Every frame reduced with CImage::Reduce(factor, mode): frames of
    /// (nrows / factor) x (ncols / factor); 1 <= factor <= both sizes.
    CVideo* Reduce(int factor, int mode);
    /// Every frame overlaid with the frame of the same index of the mask
    /// movie at `maskpath` (CImage::Superpose: red where the mask is not
    /// zero); the mask movie needs the same frame size and at least as many
    /// frames. The result is a colour movie of this kind, so the overlay
    /// shows in qvf movies too.
    CVideo* Superpose(const char* maskpath);

private:
    friend CVideo* VideoFromImages(const char*, int, int, const char*);
    friend CVideo* VideoFromYUV(const char*, int, int, int, int, int);

    bool create(const std::string& path, int rows, int cols, int frames, int movie_kind, int type, int colour,
                bool scratch);
    static CVideo* temporary_movie(int movie_kind, int rows, int cols, int frames, int type, int colour);
    static CVideo* finish_sequence(CVideo* movie);
    bool open_source(CVideo* source) const;
    void release_reader();
    void abandon();
    int load_qvf_frame(int index, int* lut);
    int load_avi_frame(int index);

    std::vector<unsigned char> m_buffer;  ///< one qvf frame's bytes
};

/// A qvf movie (temporary, closed, owned by the caller) of the pictures
/// prefix + k + suffix for k from first to last, read with ReadImage. The
/// movie takes the first picture's size, colour flag and sample type (float
/// for a grey picture without a sample type). Null, after ReadImage's
/// message, when a picture cannot be read, and null when first > last or a
/// picture's size or colour flag differs from the first's.
KALVIO_API CVideo* VideoFromImages(const char* prefix, int first, int last, const char* suffix);

/// A colour AVI movie (temporary, closed, owned by the caller, 5 frames a
/// second) of the raw planar YUV file at `path`: per frame a luminance
/// plane of nrows x ncols bytes, then the Cb plane and then the Cr plane,
/// each (ncols + 1) / 2 columns by (nrows + 1) / 2 rows (chroma 0, 4:2:0)
/// or nrows rows (chroma 1, 4:2:2), as FFmpeg's yuv420p and yuv422p lay
/// them out. Frames are nrows x ncols, or (nrows / 2) x (ncols / 2) with
/// `half`, which takes every second luminance sample. Chroma is sampled
/// bilinearly at (row / 2, column / 2) of its plane (rows not halved for
/// 4:2:2), the last row and column repeating past the plane's edge; with
/// `half` it is taken at (row, column) (4:2:2: (2 row, column)). Then, with
/// Cb and Cr less 128 and computed in double:
///     R = (298.082 (Y - 16) + 408.583 Cr) * 0.00390625
///     G = (298.082 (Y - 16) - 100.291 Cb - 208.12 Cr) * 0.00390625
///     B = (298.082 (Y - 16) + 516.411 Cb) * 0.00390625
/// each rounded to float, clamped to 0..255 and truncated to a byte.
/// "VideoFromYUV: Can't open file" and null when the file cannot be opened;
/// "VideoFromYUV: The file holds fewer frames than asked" and null when it
/// is too short; null for sizes, frame counts or a chroma code out of
/// range. Large frames are converted on several threads.
KALVIO_API CVideo* VideoFromYUV(const char* path, int nrows, int ncols, int nframes, int chroma, int half);
