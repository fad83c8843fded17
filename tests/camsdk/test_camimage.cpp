// The image conversion against a reference written another way (a demosaic that looks for each
// missing colour in the 3x3 neighbourhood, a BMP reader, libjpeg-turbo's decoder), and the status of
// every bad parameter.
#include <camimage.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// The RGB of every pixel of frame f: `kind` is a Bayer tile read row by row ("RGGB"), "RGB", "BGR",
// or "L" for grey with `shift` low bits dropped from 16-bit values (none: 8-bit values).
Bytes reference(const std::string& kind, unsigned shift, const Bytes& f, int w, int h) {
    const auto m = [](int i, int n) { return i < 0 ? std::min(1, n - 1) : i < n ? i : std::max(n - 2, 0); };
    Bytes rgb;  // m mirrors an index across the edge; a side of one pixel has only that pixel
    for (int i = 0, x = 0, y = 0; i < w * h; ++i, x = i % w, y = i / w) {
        const auto colour = [&](int dx, int dy) { return kind[((y + dy) & 1) * 2 + ((x + dx) & 1)]; };
        for (int c = 0, sum = 0, n = 0; c < 3; ++c, sum = n = 0) {
            for (int d = 0; kind.size() == 4 && d < 9; ++d) {  // the centre alone when it has the colour
                if (colour(d % 3 - 1, d / 3 - 1) == "RGB"[c] && (colour(0, 0) != "RGB"[c] || d == 4))
                    sum += f[m(y + d / 3 - 1, h) * w + m(x + d % 3 - 1, w)], ++n;
            }
            const int grey = std::min(shift ? (f[2 * i] | f[2 * i + 1] << 8) >> shift : f[i], 255);
            const int packed = kind.size() == 3 ? f[3 * i + (kind == "BGR" ? 2 - c : c)] : grey;
            rgb.push_back(kind.size() == 4 ? (sum + n / 2) / n : packed);
        }
    }
    return rgb;
}

// The RGB of every pixel of a w x h image file, or nothing unless its headers are as they must be: a
// BMP of 8-bit grey or 24-bit colour, a greyscale JPEG or one in colour without chroma subsampling.
Bytes decode(const Bytes& b, unsigned w, unsigned h, bool grey) {
    Bytes rgb(3 * w * h);
    const auto u32 = [&](int o) { return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | unsigned(b[o + 3]) << 24; };
    const unsigned off = grey ? 1078 : 54, bytes = grey ? 1 : 3, row = (w * bytes + 3) & ~3u;
    if (int jw, jh, sub, space; tjhandle tj = b[0] == 0xFF ? tjInitDecompress() : nullptr) {
        const bool ok = tjDecompressHeader3(tj, b.data(), b.size(), &jw, &jh, &sub, &space) == 0 &&
                        sub == (grey ? TJSAMP_GRAY : TJSAMP_444) && jw == int(w) && jh == int(h) &&
                        tjDecompress2(tj, b.data(), b.size(), rgb.data(), jw, 0, jh, TJPF_RGB, 0) == 0;
        return tjDestroy(tj), ok ? rgb : Bytes();
    }
    if (b.size() != off + row * h || b[0] != 'B' || b[1] != 'M' || u32(2) != b.size() || u32(10) != off ||
        u32(14) != 40 || u32(18) != w || u32(22) != h || b[28] != 8 * bytes || u32(30) != 0)
        return {};
    for (unsigned i = 0; i < 3 * w * h; ++i) {
        const unsigned char* px = &b[off + (h - 1 - i / 3 / w) * row + i / 3 % w * bytes];
        rgb[i] = grey ? b[54 + 4 * px[0] + 2 - i % 3] : px[2 - i % 3];
    }
    return rgb;
}

TEST(CamImage, MatchesTheReference) {
    // clang-format off
    const std::tuple<unsigned, std::string, unsigned> rows[] = {  // type, kind and shift of reference()
        {PixelType_Gvsp_Mono8, "L", 0}, {PixelType_Gvsp_Mono10, "L", 2}, {PixelType_Gvsp_Mono12, "L", 4},
        {PixelType_Gvsp_Mono16, "L", 8}, {PixelType_Gvsp_RGB8_Packed, "RGB", 0},
        {PixelType_Gvsp_BGR8_Packed, "BGR", 0}, {PixelType_Gvsp_BayerRG8, "RGGB", 0},
        {PixelType_Gvsp_BayerGR8, "GRBG", 0}, {PixelType_Gvsp_BayerGB8, "GBRG", 0},
        {PixelType_Gvsp_BayerBG8, "BGGR", 0}};
    const unsigned sizes[][2] = {{1, 1}, {1, 6}, {6, 1}, {2, 2}, {3, 5}, {5, 3}, {7, 4}, {67, 41}};
    std::mt19937 rng(20261206);
    for (const auto& [type, kind, shift] : rows) for (const auto image : {MV_Image_Bmp, MV_Image_Jpeg})
        for (const auto& [w, h] : sizes) {
            SCOPED_TRACE(testing::Message() << kind << shift << " type " << image << " " << w << "x" << h);
            const unsigned bytes = kind.size() == 3 ? 3 : shift ? 2 : 1;  // a pixel of the frame
            Bytes f(camimage::frameBytes(type, w, h)), out(4096 + 4 * (w + 1) * h + 1078);
            std::generate(f.begin(), f.end(), rng);
            MV_SAVE_IMAGE_PARAM_EX3 p{f.data(), unsigned(f.size()), MvGvspPixelType(type), w, h, out.data(),
                                      1, unsigned(out.size()), image, 99, 3, {}};
            ASSERT_TRUE(f.size() == w * h * bytes && camimage::saveImage(p) == MV_OK);
            p.nBufferSize = p.nImageLen;  // the same file again into a buffer it just fills
            ASSERT_TRUE(camimage::saveImage(p) == MV_OK && p.nImageLen == p.nBufferSize);
            out.resize(p.nImageLen);
            const Bytes want = reference(kind, shift, f, w, h), got = decode(out, w, h, kind == "L");
            unsigned error = 0, most = (image == MV_Image_Jpeg) * 2 * got.size();  // on average 2 in a JPEG
            for (std::size_t i = 0; i < got.size(); ++i) error += std::abs(got[i] - want[i]);
            EXPECT_TRUE(got.size() == want.size() && error <= most) << error;
        }
    // clang-format on
}

TEST(CamImage, StatusOfEachBadParameter) {
    static unsigned char frame[65535], out[70];
    const unsigned rgb = PixelType_Gvsp_RGB8_Packed, bmp = MV_Image_Bmp, jpg = MV_Image_Jpeg;
    // clang-format off
    // pixel type, width, height, data length, image type, quality, method, buffer size; status
    const unsigned rows[][9] = {
        {rgb, 2, 2, 12, bmp, 90, 3, 70, MV_OK},  // a 2x2 BMP takes 70 bytes (69: test_camsim)
        {0x01100009, 2, 2, 12, MV_Image_Png, 90, 3, 70, MV_E_PARAMETER},  // the pixel type first
        {rgb, 2, 65536, ~0u, bmp, 90, 3, ~0u, MV_E_PARAMETER},
        {rgb, 2, 2, 11, bmp, 90, 3, 70, MV_E_PARAMETER},
        {rgb, 2, 2, 12, 5, 90, 3, 70, MV_E_PARAMETER},
        {rgb, 2, 2, 12, MV_Image_Tif, 90, 4, 70, MV_E_SUPPORT},  // before the method
        {rgb, 2, 2, 12, jpg, 49, 3, 70, MV_E_PARAMETER},
        {rgb, 2, 2, 12, jpg, 100, 3, 70, MV_E_PARAMETER},
        {rgb, 2, 2, 12, jpg, 50, 3, 70, MV_E_NOENOUGH_BUF},
        {rgb, 2, 2, 12, bmp, 90, 4, 70, MV_E_PARAMETER},
        {PixelType_Gvsp_Mono8, 65535, 1, 65535, jpg, 90, 3, 70, MV_E_UNKNOW}};  // too wide for JPEG
    // The size of a frame of no type we know, and of one larger than 64 bits can count.
    EXPECT_TRUE(camimage::frameBytes(rows[1][0], 2, 2) == 0 && camimage::frameBytes(rgb, ~0u, ~0u) == ~0ull);
    for (const auto& r : rows) {
        MV_SAVE_IMAGE_PARAM_EX3 p{frame, r[3], MvGvspPixelType(r[0]), r[1], r[2], out, 1, r[7],
                                  MV_SAVE_IAMGE_TYPE(r[4]), r[5], r[6], {}};
        EXPECT_EQ(unsigned(camimage::saveImage(p)), r[8]) << "row " << &r - rows;
        EXPECT_EQ(p.nImageLen, r[8] == MV_OK ? 70u : 0u) << "row " << &r - rows;
        (r[8] == MV_OK ? p.pData : p.pImageBuffer) = nullptr;  // fails without frame or buffer
        EXPECT_TRUE(camimage::saveImage(p) == int(MV_E_PARAMETER) && p.nImageLen == 0);
    }
    // clang-format on
}

}  // namespace
