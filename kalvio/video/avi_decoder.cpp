// The movie decoder module: AVI movies read through FFmpeg's libraries.
// Built as a module of its own and loaded by the library on the first
// movie read (see avi_module_p.h).
#include "video/avi_module_p.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kIoBufferBytes = 1 << 16;

// FFmpeg reads through our descriptor, so a file name is never taken for
// a protocol or a device.
int read_packet(void* opaque, std::uint8_t* buffer, int size) {
    const int fd = *static_cast<int*>(opaque);
    for (;;) {
        const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(size));
        if (n > 0) return static_cast<int>(n);
        if (n == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

// FFmpeg's warnings about damaged files are not for our users' terminals;
// a program that set its own level keeps it.
void quiet_ffmpeg() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    });
}

}  // namespace

struct KalvioAviDecoder {
    int fd = -1;
    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVFrame* picture = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaler = nullptr;
    int stream = -1;
    AVRational time_base{1, 1};
    AVRational frame_period{1, 1};  // seconds a frame, as a fraction
    std::int64_t start = 0;         // timestamp of frame 0
    int next = 0;                   // index of the frame the decoder gives next; -1 unknown
    bool draining = false;

    int width = 0;
    int height = 0;
    int frames = 0;

    ~KalvioAviDecoder() {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&picture);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        if (io) av_freep(&io->buffer);
        avio_context_free(&io);
    }

    std::int64_t timestamp_of(int index) const { return start + av_rescale_q(index, frame_period, time_base); }
    std::int64_t index_of(std::int64_t ts) const {
        return av_rescale_q_rnd(ts - start, time_base, frame_period, AV_ROUND_NEAR_INF);
    }

    // The next decoded picture into `picture`; false at the end or on an
    // error the decoder cannot go past.
    bool decode_next() {
        for (;;) {
            const int got = avcodec_receive_frame(codec, picture);
            if (got == 0) return true;
            if (got != AVERROR(EAGAIN) || draining) return false;
            for (;;) {
                if (av_read_frame(format, packet) < 0) {
                    draining = true;
                    avcodec_send_packet(codec, nullptr);
                    break;
                }
                if (packet->stream_index != stream) {
                    av_packet_unref(packet);
                    continue;
                }
                const int sent = avcodec_send_packet(codec, packet);
                av_packet_unref(packet);
                // A packet the decoder refuses is skipped, as a player
                // would skip a damaged frame.
                if (sent == 0) break;
            }
        }
    }

    // Back to the key frame at or before `index`, decoder emptied.
    bool seek_to(int index) {
        if (av_seek_frame(format, stream, timestamp_of(index), AVSEEK_FLAG_BACKWARD) < 0 &&
            av_seek_frame(format, stream, start, AVSEEK_FLAG_BACKWARD) < 0) {
            return false;
        }
        avcodec_flush_buffers(codec);
        draining = false;
        next = -1;
        return true;
    }

    // Frames demuxed from the start, for a container that does not say.
    int count_frames() {
        std::int64_t count = 0;
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == stream) ++count;
            av_packet_unref(packet);
        }
        if (av_seek_frame(format, stream, start, AVSEEK_FLAG_BACKWARD) < 0) return 0;
        avcodec_flush_buffers(codec);
        return count > INT_MAX ? INT_MAX : static_cast<int>(count);
    }

    bool convert(std::uint8_t* bits, std::uint32_t row_bytes, int width, int height) {
        if (picture->width != width || picture->height != height) return false;
        scaler = sws_getCachedContext(scaler, width, height, static_cast<AVPixelFormat>(picture->format), width,
                                      height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!scaler) return false;
        // Bottom-up rows: start at the last stored row and step backwards.
        std::uint8_t* planes[4] = {bits + static_cast<std::size_t>(height - 1) * row_bytes, nullptr, nullptr,
                                   nullptr};
        const int strides[4] = {-static_cast<int>(row_bytes), 0, 0, 0};
        return sws_scale(scaler, picture->data, picture->linesize, 0, height, planes, strides) == height;
    }
};

namespace {

enum : int { kOpen = 1, kNoStream = 2, kNoDecoder = 3 };

KalvioAviDecoder* open_decoder(int fd, int* error, int* width_out, int* height_out, int* frames_out) {
    quiet_ffmpeg();
    *error = kOpen;
    std::unique_ptr<KalvioAviDecoder> s(new (std::nothrow) KalvioAviDecoder);
    if (!s) return nullptr;
    s->fd = fd;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferBytes));
    if (!buffer) return nullptr;
    s->io = avio_alloc_context(buffer, kIoBufferBytes, 0, &s->fd, read_packet, nullptr, seek);
    if (!s->io) {
        av_free(buffer);
        return nullptr;
    }
    s->format = avformat_alloc_context();
    if (!s->format) return nullptr;
    s->format->pb = s->io;
    s->format->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&s->format, nullptr, av_find_input_format("avi"), nullptr) < 0) {
        s->format = nullptr;  // freed by FFmpeg on failure
        return nullptr;
    }
    if (avformat_find_stream_info(s->format, nullptr) < 0) return nullptr;

    *error = kNoStream;
    const AVCodec* decoder = nullptr;
    s->stream = av_find_best_stream(s->format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (s->stream < 0 && s->stream != AVERROR_DECODER_NOT_FOUND) return nullptr;
    *error = kNoDecoder;
    if (s->stream < 0 || !decoder) return nullptr;
    AVStream* st = s->format->streams[s->stream];
    s->codec = avcodec_alloc_context3(decoder);
    if (!s->codec || avcodec_parameters_to_context(s->codec, st->codecpar) < 0) return nullptr;
    s->codec->thread_count = 0;  // as many as the decoder finds useful
    if (avcodec_open2(s->codec, decoder, nullptr) < 0) return nullptr;
    s->picture = av_frame_alloc();
    s->packet = av_packet_alloc();
    if (!s->picture || !s->packet) return nullptr;
    const int width = s->codec->width;
    const int height = s->codec->height;
    if (width <= 0 || height <= 0 || av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0, nullptr) < 0) {
        return nullptr;
    }

    s->time_base = st->time_base;
    AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = av_inv_q(st->time_base);
    if (rate.num <= 0 || rate.den <= 0) rate = AVRational{1, 1};
    s->frame_period = av_inv_q(rate);
    s->start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;

    int frames = 0;
    if (st->nb_frames > 0) {
        frames = st->nb_frames > INT_MAX ? INT_MAX : static_cast<int>(st->nb_frames);
    } else {
        frames = s->count_frames();
    }
    s->width = width;
    s->height = height;
    s->frames = frames;
    *width_out = width;
    *height_out = height;
    *frames_out = frames;
    *error = 0;
    return s.release();
}

int read_frame(KalvioAviDecoder* decoder, int index, std::uint8_t* bits, std::uint32_t row_bytes) {
    KalvioAviDecoder& s = *decoder;
    if (index < 0 || index >= s.frames) return 0;
    if (index != s.next) {
        if (!s.seek_to(index)) return 0;
    }
    for (;;) {
        if (!s.decode_next()) {
            s.next = -1;
            return 0;
        }
        int at = s.next;
        const std::int64_t ts = s.picture->best_effort_timestamp;
        if (ts != AV_NOPTS_VALUE) {
            const std::int64_t i = s.index_of(ts);
            at = i < INT_MIN ? INT_MIN : (i > INT_MAX ? INT_MAX : static_cast<int>(i));
        } else if (at < 0) {
            // No timestamps to place a picture after a seek: count from the
            // first frame instead.
            if (av_seek_frame(s.format, s.stream, s.start, AVSEEK_FLAG_BACKWARD) < 0) return 0;
            avcodec_flush_buffers(s.codec);
            s.draining = false;
            s.next = 0;
            continue;
        }
        s.next = at == INT_MAX ? -1 : at + 1;
        if (at < index) {
            av_frame_unref(s.picture);
            continue;
        }
        // A frame the stream does not hold on its own (a dropped frame)
        // shows the picture that follows it.
        const bool ok = s.convert(bits, row_bytes, s.width, s.height);
        av_frame_unref(s.picture);
        if (!ok) s.next = -1;
        return ok ? 1 : 0;
    }
}

void close_decoder(KalvioAviDecoder* decoder) { delete decoder; }

}  // namespace

extern "C" __attribute__((visibility("default"))) const KalvioAviModule* kalvio_avi_module() {
    static const KalvioAviModule module = {kalvio::detail::kKalvioAviModuleVersion, open_decoder, read_frame,
                                           close_decoder};
    return &module;
}
