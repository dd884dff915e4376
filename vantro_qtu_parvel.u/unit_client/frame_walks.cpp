// Cutting IPL images, compressed images and frame-header streams into blocks.
#include "frame_walks.h"

#include <algorithm>
#include <cstring>

namespace unit_client {

namespace {

std::string Text(const char* a, std::uint64_t n, const char* b) { return a + std::to_string(n) + b; }

std::uint16_t ReadLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool WithinBuffer(const std::uint8_t* begin, std::size_t size, const std::uint8_t* p, std::uint64_t n) {
  if (begin == nullptr || p == nullptr) return false;
  const auto b = reinterpret_cast<std::uintptr_t>(begin);
  const auto q = reinterpret_cast<std::uintptr_t>(p);
  if (q < b) return false;
  const std::uint64_t offset = q - b;
  return offset <= size && n <= size - offset;
}

// ---- IPL images ----

std::string IplLineBytes(const IplLayout& image, std::uint32_t& lineBytes) {
  // The 16-bit narrowing keeps the signed depth codes right: 0x80000010 / 8
  // narrows to 2 bytes per sample.
  const auto bytesPerSample = static_cast<std::uint16_t>(image.depth / 8);
  if (image.width < 0 || image.channels < 0) return "[Core] Unsupported IPL image: negative width or channel count";
  const std::uint64_t exact = std::uint64_t{bytesPerSample} * static_cast<std::uint64_t>(image.width) *
                              static_cast<std::uint64_t>(image.channels);
  if (exact == 0) return "[Core] Unsupported IPL image: its lines hold no bytes";
  if (exact > kMaxBlockBytes) {
    return Text("[Core] Unsupported IPL image: a line of ", exact, " bytes exceeds the 65535 bytes of one block");
  }
  if (image.height > 0xFFFF) {
    return Text("[Core] Unsupported IPL image: ", static_cast<std::uint64_t>(image.height),
                " lines exceed the 65535 lines of one frame");
  }
  lineBytes = static_cast<std::uint32_t>(exact);
  return {};
}

FrameResult SendIplImage(const IplLayout& image, std::size_t available, BlockSink& sink) {
  if (image.height < 1) return {};
  std::uint32_t lineBytes = 0;
  std::string problem = IplLineBytes(image, lineBytes);
  if (!problem.empty()) return FrameResult::Refused(std::move(problem));
  const auto lastRow = static_cast<std::uint64_t>(image.height - 1);
  if (image.imageData == nullptr || image.widthStep < 0 ||
      lastRow * static_cast<std::uint64_t>(image.widthStep) + lineBytes > available) {
    return FrameResult::Refused(Text("[Core] IPL image dropped: its ", static_cast<std::uint64_t>(image.height),
                                     " lines do not fit in the element's image data"));
  }
  FrameResult result;
  std::size_t offset = 0;
  for (std::int32_t i = 0; i < image.height; ++i, offset += static_cast<std::size_t>(image.widthStep)) {
    const std::int32_t code =
        sink.SendBlock(static_cast<std::uint16_t>(i), image.imageData + offset, static_cast<std::uint16_t>(lineBytes));
    if (code != 0) return {FrameOutcome::kSendFailed, code, result.blocks, {}};
    ++result.blocks;
  }
  return result;
}

// ---- Compressed images ----

std::int32_t CompressedBlockSize(std::int64_t maxPayLoadSize) {
  return static_cast<std::int32_t>(maxPayLoadSize - maxPayLoadSize % 8);
}

std::string CompressedGeometry(const CompressedLayout& image, std::int32_t blockSize, std::uint16_t& lineSize,
                               std::uint16_t& lineCount) {
  if (image.lineCount == 0) return "[Core] Unsupported compressed image: its line count is 0";
  if (blockSize < 8 || blockSize > static_cast<std::int32_t>(kMaxBlockBytes)) {
    return Text("[Core] Unsupported MaxPayLoadSize for compressed images: blocks of ",
                static_cast<std::uint64_t>(static_cast<std::int64_t>(blockSize) & 0xFFFFFFFF),
                " bytes (8 to 65528 are possible)");
  }
  lineSize = static_cast<std::uint16_t>(image.size / image.lineCount);
  lineCount = static_cast<std::uint16_t>(image.lineCount);
  return {};
}

FrameResult SendCompressedImage(const CompressedLayout& image, const std::uint8_t* bufferBegin,
                                std::size_t bufferSize, std::int32_t blockSize, std::vector<std::uint8_t>& scratch,
                                BlockSink& sink) {
  const std::int32_t total = image.dataSize;
  if (total < 1) return {};
  if (blockSize < 8 || blockSize > static_cast<std::int32_t>(kMaxBlockBytes)) {
    return FrameResult::Refused("[Core] Compressed image dropped: no valid block size");
  }
  if (!WithinBuffer(bufferBegin, bufferSize, image.data, static_cast<std::uint64_t>(total))) {
    return FrameResult::Refused(Text("[Core] Compressed image dropped: its ", static_cast<std::uint64_t>(total),
                                     " bytes of data do not lie in the element's buffer"));
  }
  const std::int64_t blocks = (std::int64_t{total} + blockSize - 1) / blockSize;
  if (blocks > 0x10000) {
    return FrameResult::Refused(Text("[Core] Compressed image dropped: it needs ", static_cast<std::uint64_t>(blocks),
                                     " blocks, more than the 65536 line indexes of one frame"));
  }
  const auto length = static_cast<std::uint16_t>(blockSize);
  FrameResult result;
  std::int32_t position = 0;
  for (std::uint32_t index = 0; position < total; ++index) {
    std::int32_t code = 0;
    if (total - position > blockSize) {
      code = sink.SendBlock(static_cast<std::uint16_t>(index), image.data + position, length);
      position += blockSize;
    } else {
      // The last block is always a whole block, zero-padded behind the data.
      if (scratch.size() < static_cast<std::size_t>(blockSize)) scratch.resize(static_cast<std::size_t>(blockSize));
      const auto rest = static_cast<std::size_t>(total - position);
      std::memcpy(scratch.data(), image.data + position, rest);
      std::memset(scratch.data() + rest, 0, static_cast<std::size_t>(blockSize) - rest);
      code = sink.SendBlock(static_cast<std::uint16_t>(index), scratch.data(), length);
      position = total;
    }
    if (code != 0) return {FrameOutcome::kSendFailed, code, result.blocks, {}};
    ++result.blocks;
  }
  return result;
}

// ---- Frame-header streams ----

namespace {

constexpr std::size_t kFirstPacket = kFrameHeaderBytes;  // preamble of the first packet
constexpr std::size_t kFirstWordCount = kFirstPacket + 5;  // behind preamble and data identifier
constexpr std::uint32_t kShortPacketBytes = 8;

}  // namespace

bool HasCsi2Preamble(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < kFirstPacket + 4) return false;
  std::uint32_t word = 0;
  std::memcpy(&word, data + kFirstPacket, 4);
  return word == kCsi2Preamble;
}

std::uint16_t PacketPadding(std::uint16_t bytesPerPacket, std::uint8_t alignment) {
  if (alignment == 0) return 0;
  // Integer form of ceil(n * 8 / alignment) * alignment / 8 - n: equal to the
  // single-precision form for every n below 2^21, and 16-bit n stays below.
  const std::uint32_t n = std::uint32_t{bytesPerPacket} + 4;
  const std::uint32_t bits = (n * 8 + alignment - 1) / alignment * alignment;
  return static_cast<std::uint16_t>((bits >> 3) - n);
}

std::string ReadFrameHeaderGeometry(const std::uint8_t* data, std::size_t size, const FrameHeaderOptions& options,
                                    FrameHeaderGeometry& geometry) {
  if (data == nullptr || size < kFirstWordCount + 2) {
    return Text("[Core] Frame-header stream element of ", size, " bytes is too short for its header");
  }
  const std::uint32_t wordCount = ReadLe16(data + kFirstWordCount);
  const std::uint32_t bytesPerPacket = wordCount + 6;
  const std::uint8_t alignment = data[10];
  const std::uint32_t block =
      options.skipPreamble ? bytesPerPacket
                           : 4 + bytesPerPacket +
                                 (bytesPerPacket <= kMaxBlockBytes
                                      ? PacketPadding(static_cast<std::uint16_t>(bytesPerPacket), alignment)
                                      : 0);
  if (bytesPerPacket > kMaxBlockBytes || block > kMaxBlockBytes) {
    return Text("[Core] Unsupported MIPI CSI2 stream: packets of ", block, " bytes exceed the 65535 bytes of one block");
  }
  geometry.alignment = alignment;
  geometry.packetsPerFrame = ReadLe16(data + 12);
  geometry.bytesPerPacket = static_cast<std::uint16_t>(bytesPerPacket);
  return {};
}

FrameResult SendFrameHeaderStream(const std::uint8_t* data, std::size_t size, const FrameHeaderGeometry& geometry,
                                  const FrameHeaderOptions& options, BlockSink& sink) {
  const std::uint64_t pad = PacketPadding(geometry.bytesPerPacket, geometry.alignment);
  const std::uint64_t step = 4 + std::uint64_t{geometry.bytesPerPacket} + pad;
  const std::uint64_t sent = options.skipPreamble ? geometry.bytesPerPacket : step;
  const std::uint64_t skip = options.skipPreamble ? 4 : 0;
  const auto isShort = [&](std::uint64_t p) { return options.skipShortPackets && (data[p + 4] & 0x3F) < 0x10; };

  // First pass: every byte the packets need lies in the element.
  bool fits = true;
  std::uint64_t p = kFirstPacket;
  for (std::uint32_t i = 0; i < geometry.packetsPerFrame && fits; ++i) {
    if (options.skipShortPackets) {
      if (p + 5 > size) {
        fits = false;
        break;
      }
      if (isShort(p)) {
        p += kShortPacketBytes;
        continue;
      }
    }
    fits = p + skip + sent <= size;
    p += step;
  }
  if (!fits) {
    return FrameResult::Refused("[Core] MIPI CSI2 frame dropped: its " + std::to_string(geometry.packetsPerFrame) +
                                " packets do not fit in the element's " + std::to_string(size) + " bytes");
  }

  FrameResult result;
  std::uint32_t skipped = 0;
  p = kFirstPacket;
  for (std::uint32_t i = 0; i < geometry.packetsPerFrame; ++i) {
    if (isShort(p)) {
      ++skipped;
      p += kShortPacketBytes;
      continue;
    }
    const std::int32_t code =
        sink.SendBlock(static_cast<std::uint16_t>(i - skipped), data + p + skip, static_cast<std::uint16_t>(sent));
    if (code != 0) return {FrameOutcome::kSendFailed, code, result.blocks, {}};
    ++result.blocks;
    p += step;
  }
  return result;
}

}  // namespace unit_client
