// Shared by the fuzzing harnesses. Every reader takes a path, so each input
// goes to a scratch file of this process first; message boxes are answered
// silently so that refused inputs do not flood standard error.
#pragma once

#include <kalvio/arrays.h>
#include <kalvio/message.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Stops the run with a message: libFuzzer and the replay both report an abort
// as a failure of the input at hand.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    do { \
        if (!(condition)) ::fuzz::fail(#condition); \
    } while (0)

// Path of this process's scratch file: /dev/shm keeps the many rewrites off
// the disk; $TMPDIR otherwise. Message boxes are silenced on first use.
inline const std::string& scratch_path() {
    static const std::string path = [] {
        std::string dir = "/dev/shm";
        if (access(dir.c_str(), W_OK | X_OK) != 0) {
            const char* tmp = std::getenv("TMPDIR");
            dir = tmp && *tmp ? tmp : "/tmp";
        }
        kalvio::set_message_handler(
            [](const std::string&, kalvio::MessageButtons, kalvio::MessageIcon) { return IDOK; });
        return dir + "/kalvio-fuzz-" + std::to_string(getpid()) + ".bin";
    }();
    return path;
}

// The input as a file, for the length of one run: libFuzzer ends its process
// without running static destructors, so the file goes with each input.
class InputFile {
public:
    InputFile(const std::uint8_t* data, std::size_t size) : path_(scratch_path().c_str()) {
        std::FILE* fp = std::fopen(path_, "wb");
        if (!fp) fail("cannot create the scratch file");
        const bool ok = (size == 0 || std::fwrite(data, 1, size, fp) == size);
        if (std::fclose(fp) != 0 || !ok) fail("cannot write the scratch file");
    }
    ~InputFile() { std::remove(path_); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const char* path() const { return path_; }

private:
    const char* path_;
};

// True for an array a reader returned. Checks the size it stated and reads
// the array's last sample, so that a block smaller than that size shows up
// under AddressSanitizer.
inline bool check_shape(float** array, int nrows, int ncols, int samples_per_pixel) {
    if (!array) return false;
    FUZZ_CHECK(nrows > 0 && ncols > 0);
    volatile float last = array[nrows - 1][static_cast<std::size_t>(ncols) * samples_per_pixel - 1];
    (void)last;
    return true;
}

// Samples a reader claims to have found, in bytes, against the input's size.
inline bool fits(std::size_t size, int nrows, int ncols, int samples_per_pixel, int bytes) {
    return static_cast<std::uint64_t>(nrows) * static_cast<std::uint64_t>(ncols) *
               static_cast<std::uint64_t>(samples_per_pixel) * static_cast<std::uint64_t>(bytes) <=
           size;
}

// True when every sample is a whole number from 0 to `top`.
inline bool samples_within(float** array, int nrows, int ncols, int color, float top) {
    const std::size_t n = static_cast<std::size_t>(ncols) * (color == 1 ? 3 : 1);
    for (int r = 0; r < nrows; ++r)
        for (std::size_t i = 0; i < n; ++i) {
            const float v = array[r][i];
            if (!(v >= 0.0f && v <= top && v == static_cast<float>(static_cast<int>(v)))) return false;
        }
    return true;
}

}  // namespace fuzz
