// Dark-frame BMP reader. The file comes from the user's disk and every byte of it is treated as
// hostile: the whole file is read into memory under a size cap first, then every header field is
// checked against the bytes actually present before anything is indexed.
#include "bmp.h"

#include "files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace asisim {

namespace {

constexpr size_t kFileHeaderBytes = 14;
// Room for the largest header and palette a valid file of the requested size can carry.
constexpr uint64_t kHeaderSlack = 14 + 124 + 256 * 4 + 4096;
// Absolute ceiling, whatever the requested size: no dark frame is larger than this.
constexpr uint64_t kMaxFileBytes = uint64_t{512} << 20;
// Widest and tallest image a dark frame can describe (well beyond any sensor).
constexpr int kMaxSide = 1 << 16;

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
int32_t le32s(const uint8_t *p) {
    return static_cast<int32_t>(le32(p));
}

uint64_t row_stride(uint64_t width, uint64_t bits) {
    return (width * bits + 31) / 32 * 4;
}

// Closes the descriptor on every path out.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

enum class ReadResult { ok, missing, too_large };

ReadResult read_capped(const char *path, uint64_t cap, std::vector<uint8_t> *bytes) {
    // A FIFO given as the path is refused instead of waiting for a writer.
    Fd file(open_regular(path, O_RDONLY, true));
    if (file.fd < 0)
        return ReadResult::missing;
    struct stat st{};
    if (::fstat(file.fd, &st) != 0)
        return ReadResult::missing;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > cap)
        return ReadResult::too_large;
    // The size may change under us; read at most cap + 1 bytes and judge what arrived.
    bytes->resize(static_cast<size_t>(st.st_size) + 1);
    size_t got = 0;
    while (got < bytes->size()) {
        ssize_t n = ::read(file.fd, bytes->data() + got, bytes->size() - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ReadResult::missing;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got > cap)
        return ReadResult::too_large;
    bytes->resize(got);
    return ReadResult::ok;
}

} // namespace

ASI_ERROR_CODE load_dark_bmp(const char *path, int width, int height, DarkFrame *out) {
    if (path == nullptr || path[0] == '\0')
        return ASI_ERROR_INVALID_PATH;
    if (out == nullptr)
        return ASI_ERROR_GENERAL_ERROR;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)
        return ASI_ERROR_INVALID_FILEFORMAT;

    // The largest valid file for this size: 24-bit rows, the biggest header and a full palette.
    const uint64_t cap =
        std::min(kMaxFileBytes, kHeaderSlack + row_stride(uint64_t(width), 24) * uint64_t(height));
    std::vector<uint8_t> file;
    switch (read_capped(path, cap, &file)) {
    case ReadResult::missing:
        return ASI_ERROR_INVALID_PATH;
    case ReadResult::too_large:
        return ASI_ERROR_INVALID_FILEFORMAT;
    case ReadResult::ok:
        break;
    }
    const uint64_t size = file.size();
    const uint8_t *b = file.data();

    if (size < kFileHeaderBytes + 40 || b[0] != 'B' || b[1] != 'M')
        return ASI_ERROR_INVALID_FILEFORMAT;
    const uint64_t pixel_offset = le32(b + 10);
    const uint64_t info_size = le32(b + 14);
    // BITMAPINFOHEADER and its later versions (V2, V3, V4, V5) share the first 40 bytes.
    if (info_size != 40 && info_size != 52 && info_size != 56 && info_size != 108 && info_size != 124)
        return ASI_ERROR_INVALID_FILEFORMAT;
    if (kFileHeaderBytes + info_size > size)
        return ASI_ERROR_INVALID_FILEFORMAT;
    const uint8_t *info = b + kFileHeaderBytes;
    const int32_t file_width = le32s(info + 4);
    const int32_t file_height = le32s(info + 8);
    const uint16_t planes = le16(info + 12);
    const uint16_t bits = le16(info + 14);
    const uint32_t compression = le32(info + 16);
    const uint32_t colours_used = le32(info + 32);

    if (planes != 1 || (bits != 8 && bits != 24) || compression != 0)
        return ASI_ERROR_INVALID_FILEFORMAT;
    // INT32_MIN has no positive counterpart; it can only be a lie.
    if (file_width <= 0 || file_height == 0 || file_height == INT32_MIN)
        return ASI_ERROR_INVALID_FILEFORMAT;
    const bool top_down = file_height < 0;
    const int64_t rows = top_down ? -int64_t{file_height} : int64_t{file_height};
    if (file_width != width || rows != height)
        return ASI_ERROR_INVALID_FILEFORMAT;

    // Everything between the headers and the pixels must be in the file before any of it is read.
    if (pixel_offset > size)
        return ASI_ERROR_INVALID_FILEFORMAT;

    // Palette (8-bit only): entries of B, G, R, reserved right after the info header.
    uint8_t grey[256] = {};
    uint32_t palette_entries = 0;
    const uint64_t palette_offset = kFileHeaderBytes + info_size;
    if (bits == 8) {
        palette_entries = colours_used == 0 ? 256 : colours_used;
        if (palette_entries > 256)
            return ASI_ERROR_INVALID_FILEFORMAT;
        if (palette_offset + uint64_t{palette_entries} * 4 > pixel_offset)
            return ASI_ERROR_INVALID_FILEFORMAT;
        for (uint32_t i = 0; i < palette_entries; ++i) {
            const uint8_t *e = b + palette_offset + i * 4;
            // Luminance with weights summing to 256, so a grey palette maps each index to itself.
            grey[i] = static_cast<uint8_t>((e[0] * 29u + e[1] * 150u + e[2] * 77u) >> 8);
        }
    } else if (pixel_offset < palette_offset) {
        return ASI_ERROR_INVALID_FILEFORMAT;
    }

    const uint64_t stride = row_stride(uint64_t(width), bits);
    if (stride * uint64_t(rows) > size - pixel_offset)
        return ASI_ERROR_INVALID_FILEFORMAT;

    DarkFrame frame;
    frame.width = width;
    frame.height = height;
    frame.channels = bits == 8 ? 1 : 3;
    const size_t row_bytes = size_t(width) * size_t(frame.channels);
    frame.data.resize(row_bytes * size_t(height));
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t file_row = top_down ? r : rows - 1 - r;
        const uint8_t *src = b + pixel_offset + uint64_t(file_row) * stride;
        uint8_t *dst = frame.data.data() + size_t(r) * row_bytes;
        if (bits == 24) {
            std::memcpy(dst, src, row_bytes); // B, G, R as the RGB24 frames deliver them
        } else {
            for (int x = 0; x < width; ++x) {
                if (src[x] >= palette_entries)
                    return ASI_ERROR_INVALID_FILEFORMAT;
                dst[x] = grey[src[x]];
            }
        }
    }
    *out = std::move(frame);
    return ASI_SUCCESS;
}

} // namespace asisim
