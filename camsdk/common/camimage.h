// Conversion of camera frames into BMP and JPEG files, shared by every implementation of the camera
// SDK (the simulator, the backend over Aravis) so that all of them save the same image from a frame.
//
// Reentrant: the functions keep no state between calls, and calls on different parameters may run
// in any number of threads at once. Neither blocks on anything but the CPU and memory; saveImage
// takes time in proportion to the frame (demosaicing, JPEG compression). Neither throws.
#pragma once

#include <MvCameraControl.h>

#include <cstdint>

namespace camimage {

// Bytes a frame of this pixel type and size takes, 0 when the type is not one we convert, and
// UINT64_MAX when the product does not fit in 64 bits (no buffer holds such a frame).
// `pixelType` is the raw value of an MvGvspPixelType. Bytes per pixel: 1 for Mono8 and the four
// Bayer 8-bit types, 2 for Mono10, Mono12 and Mono16, 3 for RGB8_Packed and BGR8_Packed. Rows are
// not padded.
uint64_t frameBytes(unsigned pixelType, unsigned width, unsigned height) noexcept;

// The work of MV_CC_SaveImageEx3 for any backend: checks the parameters, converts the frame,
// writes a BMP or JPEG into p.pImageBuffer and sets p.nImageLen. Returns an SDK status as an int.
//
// In: p.pData (p.nDataLen bytes), p.enPixelType, p.nWidth, p.nHeight, p.pImageBuffer
// (p.nBufferSize bytes), p.enImageType, p.nJpgQuality (JPEG only), p.iMethodValue (0..3, checked
// only: every method gives the conversion described below). Out: p.nImageLen, and the file in
// p.pImageBuffer. The checks, in this order, and their statuses:
//   MV_E_PARAMETER     p.pData or p.pImageBuffer NULL; the pixel type not one of those below;
//                      a width or height of 0 or above 65535; p.nDataLen shorter than
//                      frameBytes(); an image type that is not BMP, JPEG, PNG or TIFF
//   MV_E_SUPPORT       PNG or TIFF
//   MV_E_PARAMETER     JPEG with p.nJpgQuality outside 50..99; p.iMethodValue above 3
//   MV_E_NOENOUGH_BUF  the file does not fit in p.nBufferSize. A BMP's size is known before
//                      anything is written, so nothing is; a JPEG is compressed straight into
//                      the buffer, whose contents are then undefined
//   MV_E_RESOURCE      no memory for the converted frame (see below)
//   MV_E_UNKNOW        the JPEG encoder failed (a side above 65500, its limit; no memory for
//                      its own work)
//   MV_OK              the file is in p.pImageBuffer[0 .. p.nImageLen)
// p.nImageLen is 0 unless the result is MV_OK. Only p.pImageBuffer[0 .. p.nBufferSize) is
// written, never p.pData.
//
// The frames and what they become (x counts columns from the left, y rows from the top; a frame
// is rows top to bottom, each row pixels left to right, rows not padded):
//   Mono8              grey: an 8-bit BMP with a 256-entry grey palette, a greyscale JPEG.
//   Mono10, Mono12,    grey, each pixel a 16-bit little-endian value, brought to 8 bits by
//   Mono16             dropping its low bits: v >> 2, v >> 4, v >> 8. A Mono10 or Mono12 value
//                      beyond its range (above 1023 or 4095) gives 255, never a wrapped value.
//                      Then as Mono8.
//   RGB8_Packed,       colour, 3 bytes a pixel in the order the name says: a 24-bit BMP and a
//   BGR8_Packed        colour JPEG without chroma subsampling (4:4:4).
//   BayerRG8, -GR8,    one byte a pixel, each pixel one colour of a 2x2 mosaic named by its
//   -GB8, -BG8         top-left tile, read left to right then top to bottom: RG has R at (0,0),
//                      G at (1,0) and (0,1), B at (1,1); GR has G, R / B, G; GB has G, B / R, G;
//                      BG has B, G / G, R. The mosaic repeats every two pixels both ways. Each
//                      pixel is made RGB by bilinear demosaicing, then as RGB8_Packed:
//                      - its own colour is its value;
//                      - at an R or B pixel, G is the mean of the four pixels left, right, above
//                        and below, and the other of R and B the mean of the four diagonal ones;
//                      - at a G pixel, the colour of its row's other pixels (R on a row of R and
//                        G, B on a row of B and G) is the mean of the pixels left and right, and
//                        the remaining colour the mean of the pixels above and below.
//                      A mean of two is (a + b + 1) / 2, of four (a + b + c + d + 2) / 4, in
//                      integers: the mean rounded half up. A neighbour outside the frame is
//                      replaced by its mirror image across the edge pixel: index -1 reads 1 and
//                      index n (n the width or height) reads n - 2, which has the same colour. A
//                      side of length 1 has nothing to mirror: there indices -1 and 1 read 0, the
//                      pixel's own column (or row), so whatever stands there is averaged as if it
//                      had the missing colour; a 1x1 frame becomes a grey pixel of its value.
// BMP files are the Windows 3 format: a 14-byte file header and 40-byte info header ("BM",
// 2835 pixels per metre both ways, no compression), for grey the palette, then the rows bottom to
// top, each padded with zero bytes to a multiple of 4, colour stored B, G, R.
//
// Memory: a BMP is written row by row straight from the frame. A JPEG of Mono8, RGB8 or BGR8 is
// compressed from the frame itself; of the other types from one converted frame (8 bits a pixel
// for grey, 24 for Bayer) allocated with malloc for the call. A JPEG that turns out larger than
// the buffer is finished by the encoder in memory of its own (about its size) before the call
// fails.
int saveImage(MV_SAVE_IMAGE_PARAM_EX3& p) noexcept;

}  // namespace camimage
