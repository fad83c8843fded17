// Frames and image files of the simulated SDK: a deterministic test pattern per frame number, a
// BMP writer of our own and JPEG through libjpeg-turbo.

#include "sim_internal.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace camsim {

unsigned bytesPerPixel(Pixel p) {
    return p == Pixel::kMono8 ? 1 : 3;
}

MvGvspPixelType sdkPixelType(Pixel p) {
    return p == Pixel::kMono8 ? PixelType_Gvsp_Mono8 : PixelType_Gvsp_RGB8_Packed;
}

namespace {

// 5x7 digits, one row per byte, bit 4 is the leftmost column.
const unsigned char kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

void put32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}
void put16(unsigned char* p, unsigned v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

uint64_t bmpRowBytes(unsigned width, Pixel pixel) {
    return (static_cast<uint64_t>(width) * bytesPerPixel(pixel) + 3) / 4 * 4;
}
uint64_t bmpHeaderBytes(Pixel pixel) {
    return 14 + 40 + (pixel == Pixel::kMono8 ? 1024 : 0);
}

}  // namespace

void renderFrame(unsigned width, unsigned height, Pixel pixel, unsigned frameNum, unsigned char* out) {
    const unsigned bpp = bytesPerPixel(pixel);
    // Background: never darker than 32, so the black digits always stand out; it changes with
    // the frame number even where the digits do not fit in a tiny frame.
    const unsigned char tint = static_cast<unsigned char>(32 + (frameNum * 23u) % 192u);
    const unsigned char shade = static_cast<unsigned char>((frameNum * 7u) % 32u);
    // The horizontal ramp is the same on every row: computed once, so a full-HD frame costs a
    // millisecond or two, as a real camera's delivery would, not the divisions of every pixel.
    std::vector<unsigned char> gxOf(width);
    for (unsigned x = 0; x < width; ++x) {
        gxOf[x] = static_cast<unsigned char>(static_cast<uint64_t>(x) * 192 / width);
    }
    for (unsigned y = 0; y < height; ++y) {
        const unsigned gy = static_cast<unsigned>(static_cast<uint64_t>(y) * 192 / height);
        unsigned char* row = out + static_cast<std::size_t>(y) * width * bpp;
        if (pixel == Pixel::kMono8) {
            const unsigned base = 32 + gy / 3 + shade;
            for (unsigned x = 0; x < width; ++x) row[x] = static_cast<unsigned char>(base + gxOf[x] / 2);
        } else {
            const auto green = static_cast<unsigned char>(32 + gy);
            for (std::size_t x = 0; x < width; ++x) {
                row[3 * x] = static_cast<unsigned char>(32 + gxOf[x]);
                row[3 * x + 1] = green;
                row[3 * x + 2] = tint;
            }
        }
    }
    // The number in black digits, about a twentieth of the smaller side high.
    const unsigned scale = std::max(1u, std::min(width, height) / 48);
    const std::string text = std::to_string(frameNum);
    const unsigned x0 = 2 * scale;
    const unsigned y0 = 2 * scale;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char* glyph = kDigits[static_cast<unsigned char>(text[i]) - '0'];
        const unsigned gx0 = x0 + static_cast<unsigned>(i) * 6 * scale;
        for (unsigned gy = 0; gy < 7 * scale; ++gy) {
            const unsigned y = y0 + gy;
            if (y >= height) break;
            const unsigned bits = glyph[gy / scale];
            for (unsigned gx = 0; gx < 5 * scale; ++gx) {
                const unsigned x = gx0 + gx;
                if (x >= width) break;
                if ((bits >> (4 - gx / scale)) & 1u) {
                    std::memset(out + (static_cast<std::size_t>(y) * width + x) * bpp, 0, bpp);
                }
            }
        }
    }
}

uint64_t bmpSize(unsigned width, unsigned height, Pixel pixel) {
    return bmpHeaderBytes(pixel) + bmpRowBytes(width, pixel) * height;
}

void writeBmp(const unsigned char* src, unsigned width, unsigned height, Pixel pixel, unsigned char* out) {
    const bool mono = pixel == Pixel::kMono8;
    const uint64_t rowBytes = bmpRowBytes(width, pixel);
    const uint64_t offset = bmpHeaderBytes(pixel);
    std::memset(out, 0, static_cast<std::size_t>(offset));
    out[0] = 'B';
    out[1] = 'M';
    put32(out + 2, static_cast<uint32_t>(bmpSize(width, height, pixel)));
    put32(out + 10, static_cast<uint32_t>(offset));
    put32(out + 14, 40);
    put32(out + 18, width);
    put32(out + 22, height);  // positive: rows bottom-up
    put16(out + 26, 1);
    put16(out + 28, mono ? 8 : 24);
    put32(out + 30, 0);  // no compression
    put32(out + 34, static_cast<uint32_t>(rowBytes * height));
    put32(out + 38, 2835);  // 72 dpi
    put32(out + 42, 2835);
    put32(out + 46, mono ? 256 : 0);
    if (mono) {
        for (std::size_t i = 0; i < 256; ++i) {
            unsigned char* entry = out + 54 + 4 * i;
            entry[0] = entry[1] = entry[2] = static_cast<unsigned char>(i);
            entry[3] = 0;
        }
    }
    const unsigned bpp = bytesPerPixel(pixel);
    for (unsigned y = 0; y < height; ++y) {
        const unsigned char* s = src + static_cast<std::size_t>(height - 1 - y) * width * bpp;
        unsigned char* d = out + offset + static_cast<std::size_t>(rowBytes) * y;
        if (mono) {
            std::memcpy(d, s, width);
        } else {
            for (std::size_t x = 0; x < width; ++x) {
                d[3 * x] = s[3 * x + 2];
                d[3 * x + 1] = s[3 * x + 1];
                d[3 * x + 2] = s[3 * x];
            }
        }
        const std::size_t used = static_cast<std::size_t>(width) * bpp;
        std::memset(d + used, 0, static_cast<std::size_t>(rowBytes) - used);
    }
}

bool encodeJpeg(const unsigned char* src, unsigned width, unsigned height, Pixel pixel, int quality,
                std::vector<unsigned char>& out) {
    tjhandle tj = tjInitCompress();
    if (tj == nullptr) return false;
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const bool mono = pixel == Pixel::kMono8;
    const int rc =
        tjCompress2(tj, src, static_cast<int>(width), 0, static_cast<int>(height),
                    mono ? TJPF_GRAY : TJPF_RGB, &jpeg, &size, mono ? TJSAMP_GRAY : TJSAMP_444, quality, 0);
    bool ok = rc == 0 && jpeg != nullptr;
    if (ok) {
        try {
            out.assign(jpeg, jpeg + size);
        } catch (...) {
            ok = false;
        }
    }
    tjFree(jpeg);
    tjDestroy(tj);
    return ok;
}

}  // namespace camsim
