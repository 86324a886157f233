// Movie writers: uncompressed 24-bit AVI files and qvf movies.
#include "video/movie_writer_p.h"

#include "image/io_p.h"

#include <kalvio/samples.h>
#include <kalvio/video.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace kalvio::detail {

std::int64_t qvf_frame_bytes(int rows, int cols, int color, int datatype) {
    const int size = color == 1 ? 3 : (color == 0 ? sample_size(datatype) : 0);
    std::int64_t bytes = 0;
    if (size == 0 || !pixel_bytes(rows, cols, size, 1, &bytes) || bytes > INT32_MAX) return 0;
    return bytes;
}

MovieWriter::~MovieWriter() = default;

namespace {

// Where a writer's bytes go: the library's safe output for a file a user
// named, or a temporary movie of ours written in place.
class Sink {
public:
    ~Sink() { abort(); }
    bool open(const std::string& path, bool scratch) {
        if (!scratch) {
            m_safe = std::make_unique<SafeOutput>();
            if (!m_safe->create(path.c_str())) return false;
            m_fp = m_safe->fp();
            return true;
        }
        m_fp = std::fopen(path.c_str(), "wb");
        m_path = path;
        return m_fp != nullptr;
    }
    FILE* fp() const { return m_fp; }
    bool put(const void* bytes, std::size_t n) {
        if (m_failed || std::fwrite(bytes, 1, n, m_fp) != n) m_failed = true;
        return !m_failed;
    }
    void fail() { m_failed = true; }
    bool failed() const { return m_failed; }
    /// True when every byte so far was written, so the movie can be
    /// completed; otherwise the output is abandoned (a file it would have
    /// replaced stays as it was).
    bool whole() {
        if (!m_failed && m_fp) return true;
        abort();
        return false;
    }
    bool commit() {
        if (!m_fp) return false;
        bool ok = !m_failed;
        if (m_safe) {
            if (!ok) {
                m_safe->abort();
            } else {
                ok = m_safe->commit();
            }
        } else {
            ok = std::fclose(m_fp) == 0 && ok;
        }
        m_fp = nullptr;
        m_safe.reset();
        return ok;
    }
    void abort() {
        if (m_safe) {
            m_safe->abort();
        } else if (m_fp) {
            std::fclose(m_fp);
            ::unlink(m_path.c_str());
        }
        m_fp = nullptr;
        m_safe.reset();
    }

private:
    std::unique_ptr<SafeOutput> m_safe;
    FILE* m_fp = nullptr;
    std::string m_path;  // a scratch file, removed when abandoned
    bool m_failed = false;
};

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void fourcc(std::uint8_t* p, const char* code) { std::memcpy(p, code, 4); }

// An AVI file of one uncompressed 24-bit video stream: the header lists,
// a 'movi' list of '00db' chunks (bottom-up rows padded to 4 bytes) and an
// 'idx1' index marking every frame a key frame. The header is written for
// the promised frame count and rewritten by finish() when another number of
// frames arrived.
class AviWriter final : public MovieWriter {
public:
    static constexpr std::uint32_t kHeaderBytes = 224;  // up to the first frame chunk
    static constexpr std::uint32_t kFramesPerSecond = 5;

    AviWriter(int rows, int cols, int frames) : m_rows(rows), m_cols(cols), m_promised(frames) {
        m_row_bytes = (static_cast<std::uint32_t>(cols) * 3 + 3) & ~3u;
        m_frame_bytes = static_cast<std::uint64_t>(m_row_bytes) * static_cast<std::uint64_t>(rows);
        m_row.resize(m_row_bytes);
    }
    bool start(const std::string& path, bool scratch) {
        if (m_frame_bytes > kMaxBytes || !m_sink.open(path, scratch)) return false;
        const auto header = header_bytes(m_promised < 0 ? 0 : m_promised);
        return m_sink.put(header.data(), header.size());
    }

    bool write(const CImage& image) override {
        if (!room_for_one_more()) return false;
        if (!chunk_head()) return false;
        for (int r = m_rows - 1; r >= 0; --r) {
            const float* in = image.data[r];
            std::uint8_t* out = m_row.data();
            for (int c = 0; c < m_cols; ++c, out += 3) {
                if (image.color == 1) {
                    out[0] = kalvio::sample_to_byte(in[3 * c + 2]);
                    out[1] = kalvio::sample_to_byte(in[3 * c + 1]);
                    out[2] = kalvio::sample_to_byte(in[3 * c]);
                } else {
                    out[0] = out[1] = out[2] = kalvio::sample_to_byte(in[c]);
                }
            }
            if (!m_sink.put(m_row.data(), m_row.size())) return false;
        }
        ++m_written;
        return true;
    }

    bool write_bits(const std::uint8_t* bits) override {
        if (!room_for_one_more() || !chunk_head()) return false;
        if (!m_sink.put(bits, m_frame_bytes)) return false;
        ++m_written;
        return true;
    }

    bool finish() override {
        if (!m_sink.whole()) return false;
        std::vector<std::uint8_t> index(8 + 16 * static_cast<std::size_t>(m_written));
        fourcc(&index[0], "idx1");
        put32(&index[4], static_cast<std::uint32_t>(16 * static_cast<std::uint64_t>(m_written)));
        for (int k = 0; k < m_written; ++k) {
            std::uint8_t* e = &index[8 + 16 * static_cast<std::size_t>(k)];
            fourcc(e, "00db");
            put32(e + 4, 0x10);  // key frame
            put32(e + 8, static_cast<std::uint32_t>(4 + k * (8 + m_frame_bytes)));
            put32(e + 12, static_cast<std::uint32_t>(m_frame_bytes));
        }
        bool ok = m_sink.put(index.data(), index.size());
        if (ok && m_written != m_promised) {
            const auto header = header_bytes(m_written);
            ok = std::fseek(m_sink.fp(), 0, SEEK_SET) == 0 && m_sink.put(header.data(), header.size());
            if (!ok) m_sink.fail();
        }
        return m_sink.commit();
    }

    void abort() override { m_sink.abort(); }

private:
    // The RIFF size field is 32 bits wide.
    static constexpr std::uint64_t kMaxBytes = 0xFFFFFFF0ull;

    std::uint64_t file_bytes(std::uint64_t frames) const {
        return kHeaderBytes + frames * (8 + m_frame_bytes) + 8 + 16 * frames;
    }
    bool room_for_one_more() {
        if (m_sink.failed() || !m_sink.fp()) return false;
        if (file_bytes(static_cast<std::uint64_t>(m_written) + 1) > kMaxBytes) return false;
        return true;
    }
    bool chunk_head() {
        std::uint8_t head[8];
        fourcc(head, "00db");
        put32(head + 4, static_cast<std::uint32_t>(m_frame_bytes));
        return m_sink.put(head, sizeof head);
    }
    std::vector<std::uint8_t> header_bytes(int frames) const {
        std::vector<std::uint8_t> h(kHeaderBytes, 0);
        const auto n = static_cast<std::uint64_t>(frames);
        const auto frame_bytes = static_cast<std::uint32_t>(m_frame_bytes);
        std::uint8_t* p = h.data();
        fourcc(p, "RIFF");
        put32(p + 4, static_cast<std::uint32_t>(file_bytes(n) - 8));
        fourcc(p + 8, "AVI ");
        fourcc(p + 12, "LIST");
        put32(p + 16, 192);
        fourcc(p + 20, "hdrl");
        // Main header.
        std::uint8_t* a = p + 24;
        fourcc(a, "avih");
        put32(a + 4, 56);
        put32(a + 8, 1000000 / kFramesPerSecond);
        put32(a + 12, frame_bytes * kFramesPerSecond);
        put32(a + 20, 0x10);  // has an index
        put32(a + 24, static_cast<std::uint32_t>(n));
        put32(a + 32, 1);  // streams
        put32(a + 36, frame_bytes);
        put32(a + 40, static_cast<std::uint32_t>(m_cols));
        put32(a + 44, static_cast<std::uint32_t>(m_rows));
        // Stream list: stream header and format.
        std::uint8_t* l = p + 88;
        fourcc(l, "LIST");
        put32(l + 4, 116);
        fourcc(l + 8, "strl");
        std::uint8_t* s = l + 12;
        fourcc(s, "strh");
        put32(s + 4, 56);
        fourcc(s + 8, "vids");
        put32(s + 28, 1);                 // scale
        put32(s + 32, kFramesPerSecond);  // rate
        put32(s + 40, static_cast<std::uint32_t>(n));
        put32(s + 44, frame_bytes);
        put16(s + 60, static_cast<std::uint32_t>(m_cols));  // frame rectangle: right, bottom
        put16(s + 62, static_cast<std::uint32_t>(m_rows));
        // Stream format: the 40-byte bitmap information header.
        std::uint8_t* f = s + 64;
        fourcc(f, "strf");
        put32(f + 4, 40);
        put32(f + 8, 40);
        put32(f + 12, static_cast<std::uint32_t>(m_cols));
        put32(f + 16, static_cast<std::uint32_t>(m_rows));  // positive: bottom-up rows
        put16(f + 20, 1);
        put16(f + 22, 24);
        put32(f + 28, frame_bytes);
        // Movie list.
        std::uint8_t* m = p + 212;
        fourcc(m, "LIST");
        put32(m + 4, static_cast<std::uint32_t>(4 + n * (8 + m_frame_bytes)));
        fourcc(m + 8, "movi");
        return h;
    }

    int m_rows;
    int m_cols;
    int m_promised;
    std::uint64_t m_frame_bytes = 0;
    std::vector<std::uint8_t> m_row;
    Sink m_sink;
};

// A qvf movie: the header, then the frames in a qvf picture's encoding.
// When fewer frames than the header promised arrive, finish() rewrites the
// count, padded with blanks to the line's old length (readers take the
// frames from the end of the file, so the header's length does not matter).
class QvfWriter final : public MovieWriter {
public:
    QvfWriter(int rows, int cols, int frames, int datatype, int color)
        : m_rows(rows), m_cols(cols), m_promised(frames), m_datatype(datatype), m_color(color) {
        m_row.resize(static_cast<std::size_t>(qvf_frame_bytes(1, cols, color, datatype)));
    }
    bool start(const std::string& path, bool scratch) {
        if (!m_sink.open(path, scratch)) return false;
        char head[96];
        const int n = std::snprintf(head, sizeof head, "QV\n%d %d %d\n", m_rows, m_cols, m_promised);
        m_count_line_end = n - 1;
        const int m = std::snprintf(head + n, sizeof head - n, "%d\n%d\n", m_datatype, m_color);
        return m_sink.put(head, static_cast<std::size_t>(n + m));
    }

    bool write(const CImage& image) override {
        if (m_sink.failed() || !m_sink.fp() || m_written >= m_promised) return false;
        for (int r = 0; r < m_rows; ++r) {
            const float* in = image.data[r];
            unsigned char* out = m_row.data();
            if (m_color == 1) {
                for (int c = 0; c < m_cols; ++c, out += 3) {
                    for (int k = 0; k < 3; ++k) {
                        const float v = image.color == 1 ? in[3 * c + k] : in[c];
                        encode_sample(v, KALVIO_TYPE_UINT8, out + k);
                    }
                }
            } else {
                const int size = sample_size(m_datatype);
                for (int c = 0; c < m_cols; ++c, out += size) {
                    const float v =
                        image.color == 1 ? (in[3 * c] + in[3 * c + 1] + in[3 * c + 2]) * 0.33333334f : in[c];
                    encode_sample(v, m_datatype, out);
                }
            }
            if (!m_sink.put(m_row.data(), m_row.size())) return false;
        }
        ++m_written;
        return true;
    }

    bool finish() override {
        if (!m_sink.whole()) return false;
        if (m_written != m_promised) {
            char line[64];
            const int n = std::snprintf(line, sizeof line, "QV\n%d %d %d", m_rows, m_cols, m_written);
            std::string text(line, static_cast<std::size_t>(n));
            text.resize(static_cast<std::size_t>(m_count_line_end), ' ');
            if (std::fseek(m_sink.fp(), 0, SEEK_SET) != 0 || !m_sink.put(text.data(), text.size())) m_sink.fail();
        }
        return m_sink.commit();
    }

    void abort() override { m_sink.abort(); }

private:
    int m_rows;
    int m_cols;
    int m_promised;
    int m_datatype;
    int m_color;
    int m_count_line_end = 0;  // offset of the newline that ends the count line
    std::vector<unsigned char> m_row;
    Sink m_sink;
};

}  // namespace

std::unique_ptr<MovieWriter> MovieWriter::create(const std::string& path, int kind, int rows, int cols,
                                                 int frames, int datatype, int color, bool scratch) {
    if (kind == KALVIO_VIDEO_AVI) {
        auto writer = std::make_unique<AviWriter>(rows, cols, frames);
        if (!writer->start(path, scratch)) return nullptr;
        return writer;
    }
    auto writer = std::make_unique<QvfWriter>(rows, cols, frames, datatype, color);
    if (!writer->start(path, scratch)) return nullptr;
    return writer;
}

}  // namespace kalvio::detail
