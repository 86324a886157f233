// kalvio-info: names the kind and size of picture files from their headers.
#include <kalvio/kalvio.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Header {
    std::string kind;
    long long width = 0, height = 0;
};

std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Reads the next unsigned decimal number of a netpbm header, skipping white
// space and comments; -1 when there is none.
long long next_number(const unsigned char* p, std::size_t n, std::size_t* at) {
    while (*at < n) {
        if (p[*at] == '#') {
            while (*at < n && p[*at] != '\n') ++*at;
        } else if (p[*at] == ' ' || p[*at] == '\t' || p[*at] == '\r' || p[*at] == '\n') {
            ++*at;
        } else {
            break;
        }
    }
    long long value = -1;
    while (*at < n && p[*at] >= '0' && p[*at] <= '9' && value < (1LL << 40))
        value = (value < 0 ? 0 : value * 10) + (p[(*at)++] - '0');
    return value;
}

bool identify(const char* path, Header* h) {
    CFile file;
    if (!file.Open(path, CFile::modeRead)) return false;
    unsigned char p[512];
    const std::size_t n = file.Read(p, sizeof p);
    if (n >= 26 && p[0] == 'B' && p[1] == 'M') {
        const std::int32_t height = static_cast<std::int32_t>(le32(p + 22));
        h->kind = "BMP, " + std::to_string(p[28] | (n > 29 ? p[29] << 8 : 0)) + " bits per pixel";
        h->width = static_cast<std::int32_t>(le32(p + 18));
        h->height = height < 0 ? -static_cast<long long>(height) : height;
        return true;
    }
    if (n >= 2 && p[0] == 'P' && (p[1] == '5' || p[1] == '6')) {
        std::size_t at = 2;
        h->kind = p[1] == '5' ? "PGM (P5), grey" : "PPM (P6), colour";
        h->width = next_number(p, n, &at);
        h->height = next_number(p, n, &at);
        return h->width > 0 && h->height > 0;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::printf("Usage: kalvio-info FILE...\nNames the kind and size of each picture file.\n");
        return argc < 2 ? 2 : 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("kalvio-info (Kalvio) %s\n", KALVIO_VERSION_STRING);
        return 0;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        Header h;
        if (identify(argv[i], &h)) {
            std::printf("%s: %s, %lld x %lld\n", argv[i], h.kind.c_str(), h.width, h.height);
        } else {
            std::fprintf(stderr, "%s: not a readable PGM, PPM or BMP picture\n", argv[i]);
            status = 2;
        }
    }
    return status;
}
