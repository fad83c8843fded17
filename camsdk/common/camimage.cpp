// Frame conversion for every camera SDK backend: deep grey and Bayer frames brought to 8-bit grey
// or RGB, written as BMP by our own writer or as JPEG through libjpeg-turbo.

#include "camimage.h"

#include "sdkbase.h"

#include <turbojpeg.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace camimage {

namespace {

using sdkbase::rawEnum;
using sdkbase::status;

enum class Kind { kMono8, kMonoDeep, kRgb, kBgr, kBayer };

struct Format {
    unsigned type;  // MvGvspPixelType
    Kind kind;
    unsigned bytes;  // per pixel of the frame
    unsigned shift;  // kMonoDeep: low bits dropped
    unsigned redX;   // kBayer: column and row of R in the top-left 2x2 tile
    unsigned redY;
};

const Format kFormats[] = {
    {PixelType_Gvsp_Mono8, Kind::kMono8, 1, 0, 0, 0},
    {PixelType_Gvsp_Mono10, Kind::kMonoDeep, 2, 2, 0, 0},
    {PixelType_Gvsp_Mono12, Kind::kMonoDeep, 2, 4, 0, 0},
    {PixelType_Gvsp_Mono16, Kind::kMonoDeep, 2, 8, 0, 0},
    {PixelType_Gvsp_BayerRG8, Kind::kBayer, 1, 0, 0, 0},
    {PixelType_Gvsp_BayerGR8, Kind::kBayer, 1, 0, 1, 0},
    {PixelType_Gvsp_BayerGB8, Kind::kBayer, 1, 0, 0, 1},
    {PixelType_Gvsp_BayerBG8, Kind::kBayer, 1, 0, 1, 1},
    {PixelType_Gvsp_RGB8_Packed, Kind::kRgb, 3, 0, 0, 0},
    {PixelType_Gvsp_BGR8_Packed, Kind::kBgr, 3, 0, 0, 0},
};

const Format* formatOf(unsigned pixelType) {
    for (const Format& f : kFormats) {
        if (f.type == pixelType) return &f;
    }
    return nullptr;
}

bool grey(const Format& f) {
    return f.kind == Kind::kMono8 || f.kind == Kind::kMonoDeep;
}

// Owners that release on every path: a malloc'd block, a TurboJPEG compressor.
struct Free {
    void operator()(void* p) const { std::free(p); }
};
struct Destroy {
    void operator()(void* tj) const { tjDestroy(tj); }
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

// The neighbours of index i on a side of n pixels, mirrored across the edge; a side of 1 has only
// the pixel itself.
unsigned before(unsigned i, unsigned n) {
    return i > 0 ? i - 1 : (n > 1 ? 1 : 0);
}
unsigned after(unsigned i, unsigned n) {
    return i + 1 < n ? i + 1 : (n > 1 ? n - 2 : 0);
}

unsigned char mean2(unsigned a, unsigned b) {
    return static_cast<unsigned char>((a + b + 1) >> 1);
}
unsigned char mean4(unsigned a, unsigned b, unsigned c, unsigned d) {
    return static_cast<unsigned char>((a + b + c + d + 2) >> 2);
}

// Demosaics row y of a Bayer frame into 3-byte pixels holding R, G and B at the byte offsets
// at[0], at[1] and at[2] (RGB or BGR order).
void demosaicRow(const unsigned char* frame, unsigned w, unsigned h, unsigned y, const Format& f,
                 const unsigned (&at)[3], unsigned char* out) {
    const unsigned char* up = frame + static_cast<std::size_t>(before(y, h)) * w;
    const unsigned char* mid = frame + static_cast<std::size_t>(y) * w;
    const unsigned char* down = frame + static_cast<std::size_t>(after(y, h)) * w;
    const bool redRow = (y & 1u) == f.redY;
    // The row's colour other than green, the column parity of its pixels, and the colour above them.
    const unsigned own = redRow ? 0 : 2;
    const unsigned ownX = redRow ? f.redX : f.redX ^ 1u;
    const unsigned other = 2 - own;
    for (unsigned x = 0; x < w; ++x) {
        const unsigned l = before(x, w), r = after(x, w);
        unsigned char* px = out + static_cast<std::size_t>(x) * 3;
        if ((x & 1u) == ownX) {
            px[at[own]] = mid[x];
            px[at[1]] = mean4(up[x], down[x], mid[l], mid[r]);
            px[at[other]] = mean4(up[l], up[r], down[l], down[r]);
        } else {
            px[at[1]] = mid[x];
            px[at[own]] = mean2(mid[l], mid[r]);
            px[at[other]] = mean2(up[x], down[x]);
        }
    }
}

// Brings a row of 16-bit little-endian grey values to 8 bits; values beyond the depth saturate.
void greyRow(const unsigned char* src, unsigned w, unsigned shift, unsigned char* out) {
    for (std::size_t x = 0; x < w; ++x) {
        const unsigned v = (src[2 * x] | static_cast<unsigned>(src[2 * x + 1]) << 8) >> shift;
        out[x] = static_cast<unsigned char>(v > 255 ? 255 : v);
    }
}

uint64_t bmpRowBytes(unsigned width, bool mono) {
    return (static_cast<uint64_t>(width) * (mono ? 1 : 3) + 3) / 4 * 4;
}
uint64_t bmpHeaderBytes(bool mono) {
    return 14 + 40 + (mono ? 1024 : 0);
}

// Writes the BMP, which fits in the buffer, converting each row straight from the frame.
void writeBmp(const MV_SAVE_IMAGE_PARAM_EX3& p, const Format& f, uint32_t size) {
    const unsigned w = p.nWidth, h = p.nHeight;
    const bool mono = grey(f);
    const auto rowBytes = static_cast<std::size_t>(bmpRowBytes(w, mono));
    const auto offset = static_cast<std::size_t>(bmpHeaderBytes(mono));
    unsigned char* out = p.pImageBuffer;
    std::memset(out, 0, offset);
    out[0] = 'B';
    out[1] = 'M';
    put32(out + 2, size);
    put32(out + 10, static_cast<uint32_t>(offset));
    put32(out + 14, 40);
    put32(out + 18, w);
    put32(out + 22, h);  // positive: rows bottom-up
    put16(out + 26, 1);
    put16(out + 28, mono ? 8 : 24);
    put32(out + 34, static_cast<uint32_t>(size - offset));
    put32(out + 38, 2835);  // 72 dpi
    put32(out + 42, 2835);
    put32(out + 46, mono ? 256 : 0);
    if (mono) {
        for (std::size_t i = 0; i < 256; ++i) {
            unsigned char* entry = out + 54 + 4 * i;
            entry[0] = entry[1] = entry[2] = static_cast<unsigned char>(i);
        }
    }
    static const unsigned kBgr[3] = {2, 1, 0};
    const std::size_t used = static_cast<std::size_t>(w) * (mono ? 1 : 3);
    const std::size_t srcRow = static_cast<std::size_t>(w) * f.bytes;
    for (unsigned y = 0; y < h; ++y) {
        const unsigned char* s = p.pData + srcRow * y;
        unsigned char* d = out + offset + rowBytes * (h - 1 - y);
        switch (f.kind) {
            case Kind::kMono8:
            case Kind::kBgr:
                std::memcpy(d, s, used);
                break;
            case Kind::kMonoDeep:
                greyRow(s, w, f.shift, d);
                break;
            case Kind::kRgb:
                for (std::size_t i = 0; i < used; i += 3) {
                    d[i] = s[i + 2];
                    d[i + 1] = s[i + 1];
                    d[i + 2] = s[i];
                }
                break;
            case Kind::kBayer:
                demosaicRow(p.pData, w, h, y, f, kBgr, d);
                break;
        }
        std::memset(d + used, 0, rowBytes - used);
    }
}

// Compresses straight into the caller's buffer; the encoder moves to a buffer of its own only when
// the JPEG outgrows it, and then the image cannot be delivered.
int writeJpeg(MV_SAVE_IMAGE_PARAM_EX3& p, const Format& f) {
    const unsigned w = p.nWidth, h = p.nHeight;
    const unsigned char* src = p.pData;
    int pixelFormat = f.kind == Kind::kRgb ? TJPF_RGB : f.kind == Kind::kBgr ? TJPF_BGR : TJPF_GRAY;
    std::unique_ptr<unsigned char, Free> converted;
    if (f.kind == Kind::kMonoDeep || f.kind == Kind::kBayer) {
        const unsigned out = f.kind == Kind::kBayer ? 3 : 1;
        const uint64_t bytes = static_cast<uint64_t>(w) * h * out;
        if (bytes > SIZE_MAX) return status(MV_E_RESOURCE);
        converted.reset(static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(bytes))));
        if (converted == nullptr) return status(MV_E_RESOURCE);
        unsigned char* rows = converted.get();
        static const unsigned kRgb[3] = {0, 1, 2};
        for (unsigned y = 0; y < h; ++y) {
            unsigned char* d = rows + static_cast<std::size_t>(y) * w * out;
            if (f.kind == Kind::kBayer) {
                demosaicRow(p.pData, w, h, y, f, kRgb, d);
            } else {
                greyRow(p.pData + static_cast<std::size_t>(y) * w * 2, w, f.shift, d);
            }
        }
        src = rows;
        if (f.kind == Kind::kBayer) pixelFormat = TJPF_RGB;
    }
    // A new compressor per call: its memory destination keeps state between compressions that must
    // not carry one caller's buffer into the next call.
    const std::unique_ptr<void, Destroy> tj(tjInitCompress());
    if (tj == nullptr) return status(MV_E_UNKNOW);
    unsigned char* jpeg = p.pImageBuffer;
    unsigned long size = p.nBufferSize;
    const int rc = tjCompress2(tj.get(), src, static_cast<int>(w), 0, static_cast<int>(h), pixelFormat, &jpeg,
                               &size, grey(f) ? TJSAMP_GRAY : TJSAMP_444, static_cast<int>(p.nJpgQuality), 0);
    if (jpeg != p.pImageBuffer) {
        // The encoder asks for more room as soon as the buffer is full, even after the last byte:
        // a JPEG of exactly the buffer's size ends up in its memory, yet fits ours.
        const bool fits = rc == 0 && size <= p.nBufferSize;
        if (fits) std::memcpy(p.pImageBuffer, jpeg, size);
        tjFree(jpeg);
        if (!fits) return status(MV_E_NOENOUGH_BUF);
    }
    if (rc != 0) return status(MV_E_UNKNOW);
    p.nImageLen = static_cast<unsigned>(size);
    return status(MV_OK);
}

}  // namespace

uint64_t frameBytes(unsigned pixelType, unsigned width, unsigned height) noexcept {
    const Format* f = formatOf(pixelType);
    if (f == nullptr) return 0;
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    return pixels > UINT64_MAX / f->bytes ? UINT64_MAX : pixels * f->bytes;
}

int saveImage(MV_SAVE_IMAGE_PARAM_EX3& p) noexcept {
    p.nImageLen = 0;
    if (p.pData == nullptr || p.pImageBuffer == nullptr) return status(MV_E_PARAMETER);
    const unsigned pixelType = rawEnum(p.enPixelType);
    const Format* f = formatOf(pixelType);
    if (f == nullptr) return status(MV_E_PARAMETER);
    const unsigned w = p.nWidth, h = p.nHeight;
    if (w == 0 || h == 0 || w > 0xFFFF || h > 0xFFFF) return status(MV_E_PARAMETER);
    if (frameBytes(pixelType, w, h) > p.nDataLen) return status(MV_E_PARAMETER);
    const unsigned type = rawEnum(p.enImageType);
    if (type == MV_Image_Png || type == MV_Image_Tif) return status(MV_E_SUPPORT);
    if (type != MV_Image_Bmp && type != MV_Image_Jpeg) return status(MV_E_PARAMETER);
    if (type == MV_Image_Jpeg && (p.nJpgQuality < 50 || p.nJpgQuality > 99)) return status(MV_E_PARAMETER);
    if (p.iMethodValue > 3) return status(MV_E_PARAMETER);

    if (type == MV_Image_Jpeg) return writeJpeg(p, *f);
    const uint64_t size = bmpHeaderBytes(grey(*f)) + bmpRowBytes(w, grey(*f)) * h;
    if (size > p.nBufferSize) return status(MV_E_NOENOUGH_BUF);
    writeBmp(p, *f, static_cast<uint32_t>(size));
    p.nImageLen = static_cast<unsigned>(size);
    return status(MV_OK);
}

}  // namespace camimage
