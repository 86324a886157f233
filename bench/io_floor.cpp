// bench_io_floor PICTURE REGIONS OUTPUT: the plain I/O of a segmentation run,
// the floor bench_run measures varnex-segment against. Both files are read
// with fread into fresh memory, one block each, and a result as large as
// the larger file is written with fwrite: a 24-bit region map of the
// picture's size has the size of the 24-bit result, also for a grey
// picture.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

namespace {

int fail(const char* file, const char* problem) {
    std::fprintf(stderr, "bench_io_floor: %s: %s\n", file, problem);
    return 2;
}

// The whole of `file` in a new block (owned by the caller, freed with free),
// or null. `size` receives its byte count.
char* read_whole(const char* file, std::size_t& size) {
    std::FILE* in = std::fopen(file, "rb");
    if (!in) return nullptr;
    struct stat status;
    char* data = nullptr;
    if (::fstat(fileno(in), &status) == 0 && status.st_size > 0) {
        size = static_cast<std::size_t>(status.st_size);
        data = static_cast<char*>(std::malloc(size));
        if (data && std::fread(data, 1, size, in) != size) {
            std::free(data);
            data = nullptr;
        }
    }
    std::fclose(in);
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("Usage: bench_io_floor PICTURE REGIONS OUTPUT\n", stderr);
        return 2;
    }
    std::size_t picture_bytes = 0, map_bytes = 0;
    char* picture = read_whole(argv[1], picture_bytes);
    if (!picture) return fail(argv[1], "cannot read");
    char* map = read_whole(argv[2], map_bytes);
    if (!map) return fail(argv[2], "cannot read");

    // The result is made in memory of its own, as a segmentation's is: white
    // where nothing of the picture is kept.
    const std::size_t result_bytes = picture_bytes > map_bytes ? picture_bytes : map_bytes;
    char* result = static_cast<char*>(std::malloc(result_bytes));
    if (!result) return fail(argv[3], "not enough memory");
    std::memset(result, 255, result_bytes);
    std::FILE* out = std::fopen(argv[3], "wb");
    if (!out) return fail(argv[3], "cannot create");
    const bool written = std::fwrite(result, 1, result_bytes, out) == result_bytes;
    if (std::fclose(out) != 0 || !written) return fail(argv[3], "cannot write");
    std::free(result);
    std::free(map);
    std::free(picture);
    return 0;
}
