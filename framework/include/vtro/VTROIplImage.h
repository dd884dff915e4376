// The standard IPL image header (144 bytes) carried by every element of an
// IPL image output (type 0x20): the element's data pointer points at its
// header, whose imageData points at the element's aligned pixel rows.
#pragma once

#include <cstddef>
#include <cstdint>

struct IplROI;
struct IplTileInfo;

// Depth codes: bits per channel, with the sign flag for signed samples.
enum : std::int32_t {
  IPL_DEPTH_1U = 1,
  IPL_DEPTH_8U = 8,
  IPL_DEPTH_16U = 16,
  IPL_DEPTH_32F = 32,
  IPL_DEPTH_SIGN = static_cast<std::int32_t>(0x80000000u),
  IPL_DEPTH_8S = IPL_DEPTH_SIGN | 8,
  IPL_DEPTH_16S = IPL_DEPTH_SIGN | 16,
  IPL_DEPTH_32S = IPL_DEPTH_SIGN | 32,
};
enum : std::int32_t { IPL_DATA_ORDER_PIXEL = 0, IPL_DATA_ORDER_PLANE = 1 };
enum : std::int32_t { IPL_ORIGIN_TL = 0, IPL_ORIGIN_BL = 1 };
enum : std::int32_t { IPL_ALIGN_4BYTES = 4, IPL_ALIGN_8BYTES = 8, IPL_ALIGN_16BYTES = 16, IPL_ALIGN_32BYTES = 32 };

struct IplImage {
  std::int32_t nSize;         // sizeof(IplImage)
  std::int32_t ID;            // 0
  std::int32_t nChannels;
  std::int32_t alphaChannel;
  std::int32_t depth;         // IPL_DEPTH_*
  char colorModel[4];         // "RGB", "GRAY", ...
  char channelSeq[4];
  std::int32_t dataOrder;     // IPL_DATA_ORDER_*
  std::int32_t origin;        // IPL_ORIGIN_*
  std::int32_t align;         // row alignment in bytes
  std::int32_t width;
  std::int32_t height;
  IplROI* roi;
  IplImage* maskROI;
  void* imageId;
  IplTileInfo* tileInfo;
  std::int32_t imageSize;     // widthStep x height
  char* imageData;
  std::int32_t widthStep;     // bytes per row (a multiple of align)
  std::int32_t BorderMode[4];
  std::int32_t BorderConst[4];
  char* imageDataOrigin;
};
static_assert(sizeof(IplImage) == 144);
static_assert(offsetof(IplImage, nChannels) == 8);
static_assert(offsetof(IplImage, depth) == 16);
static_assert(offsetof(IplImage, colorModel) == 20);
static_assert(offsetof(IplImage, dataOrder) == 28);
static_assert(offsetof(IplImage, align) == 36);
static_assert(offsetof(IplImage, width) == 40);
static_assert(offsetof(IplImage, height) == 44);
static_assert(offsetof(IplImage, roi) == 48);
static_assert(offsetof(IplImage, imageSize) == 80);
static_assert(offsetof(IplImage, imageData) == 88);
static_assert(offsetof(IplImage, widthStep) == 96);
static_assert(offsetof(IplImage, imageDataOrigin) == 136);
