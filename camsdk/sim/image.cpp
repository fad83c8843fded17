// Frames of the simulated SDK: a deterministic test pattern per frame number, in each pixel format
// a camera may deliver. Saving them as files is camimage's work.

#include <camimage.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "sim_internal.h"

namespace camsim {

const char* const kPixelNames[kPixelCount] = {"rgb8",      "mono8",     "bgr8",   "bayer_rg8", "bayer_gr8",
                                              "bayer_gb8", "bayer_bg8", "mono10", "mono12",    "mono16"};

MvGvspPixelType sdkPixelType(Pixel p) {
    static const MvGvspPixelType kTypes[kPixelCount] = {PixelType_Gvsp_RGB8_Packed, PixelType_Gvsp_Mono8,
                                                        PixelType_Gvsp_BGR8_Packed, PixelType_Gvsp_BayerRG8,
                                                        PixelType_Gvsp_BayerGR8,    PixelType_Gvsp_BayerGB8,
                                                        PixelType_Gvsp_BayerBG8,    PixelType_Gvsp_Mono10,
                                                        PixelType_Gvsp_Mono12,      PixelType_Gvsp_Mono16};
    return kTypes[static_cast<int>(p)];
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

}  // namespace

void renderFrame(unsigned width, unsigned height, Pixel pixel, unsigned frameNum, unsigned char* out) {
    const auto bpp = static_cast<unsigned>(camimage::frameBytes(sdkPixelType(pixel), 1, 1));
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
    // Deep grey: the low bits below the 8 that count vary along the row and from frame to frame.
    const unsigned deep = pixel == Pixel::kMono10   ? 2
                          : pixel == Pixel::kMono12 ? 4
                          : pixel == Pixel::kMono16 ? 8
                                                    : 0;
    // Bayer: the column and row of R in the top-left 2x2 tile.
    const auto bayer = static_cast<unsigned>(static_cast<int>(pixel) - static_cast<int>(Pixel::kBayerRg8));
    const unsigned redX = bayer & 1u, redY = bayer >> 1;
    for (unsigned y = 0; y < height; ++y) {
        const unsigned gy = static_cast<unsigned>(static_cast<uint64_t>(y) * 192 / height);
        unsigned char* row = out + static_cast<std::size_t>(y) * width * bpp;
        const unsigned base = 32 + gy / 3 + shade;  // grey
        const auto green = static_cast<unsigned char>(32 + gy);
        if (pixel == Pixel::kMono8) {
            for (unsigned x = 0; x < width; ++x) row[x] = static_cast<unsigned char>(base + gxOf[x] / 2);
        } else if (deep != 0) {
            for (std::size_t x = 0; x < width; ++x) {
                const unsigned low =
                    static_cast<unsigned>(x * 5 + std::size_t{y} * 3 + frameNum) & ((1u << deep) - 1);
                const unsigned v = (base + gxOf[x] / 2) << deep | low;
                row[2 * x] = static_cast<unsigned char>(v);
                row[2 * x + 1] = static_cast<unsigned char>(v >> 8);
            }
        } else if (bayer < 4) {
            const bool redRow = (y & 1u) == redY;
            for (unsigned x = 0; x < width; ++x) {
                const bool own = (x & 1u) == (redRow ? redX : redX ^ 1u);  // R on a red row, B on a blue one
                row[x] = !own ? green : redRow ? static_cast<unsigned char>(32 + gxOf[x]) : tint;
            }
        } else {
            const bool bgr = pixel == Pixel::kBgr8;
            for (std::size_t x = 0; x < width; ++x) {
                row[3 * x + (bgr ? 2 : 0)] = static_cast<unsigned char>(32 + gxOf[x]);
                row[3 * x + 1] = green;
                row[3 * x + (bgr ? 0 : 2)] = tint;
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

}  // namespace camsim
