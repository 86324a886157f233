// A stack of equally sized image slices: reading, smoothing, Hessian
// eigenvalues.
#pragma once

#include <kalvio/export.h>
#include <kalvio/image.h>
#include <kalvio/object.h>

/// Volume format codes (CVolume::format): the kind of description file a
/// volume was read from.
enum : int {
    KALVIO_FORMAT_V1_VOLUME = 20,  ///< a numbered series of picture files
    KALVIO_FORMAT_V2_VOLUME = 21,  ///< one raw file holding every slice
};

/// A 3-D data set held as `nslices` CImage slices of `nrows` x `ncols`
/// pixels, such as a tomographic series.
///
/// Description files are text, one item a line, each line a key and its
/// value; a line may end in CR LF. A V1 description names a series of
/// picture files, each read with CImage::ReadImage:
///
///     V1
///     directory=slices          folder of the files
///     prefix=s                  name before the number
///     start slice=3             first number
///     end slice=5               last number (reads slices/s3.pgm .. s5.pgm)
///     suffix=.pgm               name after the number
///
/// A V2 description names one raw file of little-endian samples, slice
/// after slice, row after row, no header:
///
///     V2
///     file=volume.raw
///     nbf=64                    slices
///     row=256                   rows a slice
///     col=256                   columns a slice
///     size=40                   1 uint8, 2 int16, 4 int32, 40 float32
///
/// Text values (directory, prefix, suffix, file) are the rest of their line,
/// blanks before it and blanks or CR after it left out, so they may hold
/// spaces. A relative directory or file is taken relative to the folder of
/// the description file, an absolute one as it is.
///
/// The volume owns its slice array (one `new[]`, released by `delete[]`);
/// copying is not supported.
class KALVIO_API CVolume : public CObject {
    KALVIO_DECLARE_DYNCREATE(CVolume);

public:
    int nrows;       ///< rows of every slice
    int ncols;       ///< columns of every slice
    int nslices;     ///< number of slices
    int color;       ///< colour flag of the slices (CImage::color)
    int datatype;    ///< sample type code of the slices, KALVIO_TYPE_*
    int format;      ///< KALVIO_FORMAT_V1_VOLUME or _V2_VOLUME once read
    CImage* slices;  ///< nslices images, null when there are none

    /// Empty volume: no slices, all counts 0, float samples, qvf format.
    CVolume();
    /// `nslices` zero-filled slices of nrows x ncols pixels in the CImage
    /// layout for `color`, each with this sample type and format qvf. Sizes
    /// that are not positive or whose voxel count overflows, or lack of
    /// memory (after the allocator's message), give an empty volume.
    CVolume(int nslices, int nrows, int ncols, int color, int format, int datatype);
    ~CVolume() override;
    CVolume(const CVolume&) = delete;
    CVolume& operator=(const CVolume&) = delete;

    /// Reads a V1 or V2 description, chosen by its first line. Returns 1 on
    /// success. Returns 0 with "ReadVolume: Can't open file" when the file
    /// cannot be opened (missing, a folder, a FIFO: nothing ever waits), 0
    /// without a message when the first line begins with neither "V1" nor
    /// "V2", and otherwise what the reader returns.
    int ReadVolume(const char* path);
    /// The two readers. Each returns 0 without a message when the file
    /// cannot be opened, and 0 with a message when a line is missing or
    /// malformed, a size is not positive, the first slice number exceeds
    /// the last, the size code is unknown, the volume would exceed 65,536
    /// slices or the addressable memory, a slice file cannot be read (after
    /// ReadImage's own messages) or differs from the first in size or
    /// colour, or the raw file cannot be opened or is shorter than the
    /// description promises. On failure the volume is left as it was; on
    /// success the old slices are released. V1: slices keep the format and
    /// sample type of their files, the volume takes the first slice's;
    /// format becomes 20. V2: slices get format raw, format becomes 21.
    int ReadV1Volume(const char* path);
    int ReadV2Volume(const char* path);

    /// New volume (owned by the caller), Gaussian-smoothed at scale `sigma`
    /// along x, y and z with the recursive filter of ga: every z-line gets
    /// the same bits as apply_IIR4_filter_z, every slice those of
    /// smooth_image for grey slices. Works on the grey layout, as the image
    /// filters do (a colour slice's other floats stay 0). Any slice count
    /// works, down to 1. Same counts, colour flag and format; float samples;
    /// slices of format qvf. Null for a volume without slices or pixels, or
    /// whose slices do not match its size, or on lack of memory. O(voxels);
    /// large volumes run on several threads with the same bits.
    CVolume* smooth_volume(float sigma);

    /// For every interior voxel (not on the first or last slice, row or
    /// column), the eigenvalues of the 3-D Hessian of central differences
    /// (axes row, column, slice; every entry times 0.25, from the grey
    /// layout) by VNeumannEigens, as absolute values sorted increasing, go
    /// to the slice's mag (smallest), dir and scale (largest); border voxels
    /// hold 0. Every slice gets three new zero-filled planes, replacing and
    /// releasing any it had; on lack of memory the planes stay as they
    /// were; a volume without voxels is left alone. The five parameters
    /// are not used. O(voxels), about a microsecond a voxel on one core,
    /// on several threads with the same results for any number.
    void ridges(float sigmamin, float sigmamax, int nscales, int bright, int dark);
};
