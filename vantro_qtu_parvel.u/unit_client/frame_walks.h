// Cutting one input element into the blocks the unit receives, on the
// element's bytes alone: IPL image lines, compressed-image blocks and the
// packets of a frame-header stream (CSI-2 records are in csi2_frame.h).
//
// Every walk first checks that each block it will send lies inside the
// element's buffer and fits in one block (16-bit length); a frame that would
// need more is refused as a whole, before any of it is sent. Blocks go to a
// BlockSink in order, with their index within the frame; the first failing
// block ends the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace unit_client {

// Receives the blocks of one element. The component's sink sends each through
// the unit API (with its retry on a time-out); tests record them.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  // Sends `length` bytes at `data` as block `lineIndex` of the frame. Returns
  // 0 when sent, else the unit API's result code.
  virtual std::int32_t SendBlock(std::uint16_t lineIndex, const std::uint8_t* data, std::uint16_t length) = 0;
};

enum class FrameOutcome : std::uint8_t {
  kSent,        // every block sent (or the frame had none): the frame counts
  kSendFailed,  // a block was refused with `code`; the rest was not sent
  kRefused,     // nothing sent: the element does not hold what the frame needs (`problem`)
};

struct FrameResult {
  FrameOutcome outcome = FrameOutcome::kSent;
  std::int32_t code = 0;
  std::uint32_t blocks = 0;  // blocks sent
  std::string problem;

  static FrameResult Refused(std::string why) { return {FrameOutcome::kRefused, 0, 0, std::move(why)}; }
};

// The largest block one QZQTU_ReplayStreamData call takes.
inline constexpr std::uint32_t kMaxBlockBytes = 0xFFFF;

// True when [p, p + n) lies inside [begin, begin + size); computed on
// addresses so that no out-of-range pointer is ever formed.
bool WithinBuffer(const std::uint8_t* begin, std::size_t size, const std::uint8_t* p, std::uint64_t n);

// ---- IPL images ----

// The IPL header fields the sending uses.
struct IplLayout {
  std::int32_t channels = 0;
  std::int32_t depth = 0;  // bits per channel (with the sign flag for signed samples)
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t widthStep = 0;  // bytes from one row to the next
  const std::uint8_t* imageData = nullptr;
};

// Bytes of one line as the unit is told: (depth / 8) in 16 bits per channel,
// times width and channels. Empty text when it is a valid block size (1 to
// 65535 bytes and at most 65535 lines), else why not.
std::string IplLineBytes(const IplLayout& image, std::uint32_t& lineBytes);

// Sends the lines 0 .. height-1 of `image`, each lineBytes long, from
// imageData + i x widthStep. `available` is the number of bytes readable from
// imageData. A height below 1 sends nothing and counts as sent.
FrameResult SendIplImage(const IplLayout& image, std::size_t available, BlockSink& sink);

// ---- Compressed images ----

// The four fields of the record a compressed-image element carries.
struct CompressedLayout {
  std::int32_t lineCount = 0;  // offset 4
  std::int32_t dataSize = 0;   // offset 8: bytes of data
  std::int32_t size = 0;       // offset 12
  const std::uint8_t* data = nullptr;  // offset 32
};

// Block size of compressed images: MaxPayLoadSize rounded toward zero to a
// multiple of 8, as a signed 32-bit number.
std::int32_t CompressedBlockSize(std::int64_t maxPayLoadSize);

// Geometry announced for compressed images (size / lines, lines). Empty text
// when the record and the block size can be sent, else why not.
std::string CompressedGeometry(const CompressedLayout& image, std::int32_t blockSize, std::uint16_t& lineSize,
                               std::uint16_t& lineCount);

// Sends dataSize bytes in blocks of blockSize; the last block is padded with
// zeros to blockSize in `scratch` (grown once, reused). The data must lie in
// the element's buffer [bufferBegin, bufferBegin + bufferSize).
FrameResult SendCompressedImage(const CompressedLayout& image, const std::uint8_t* bufferBegin,
                                std::size_t bufferSize, std::int32_t blockSize, std::vector<std::uint8_t>& scratch,
                                BlockSink& sink);

// ---- Frame-header streams (64-byte header, then raw CSI-2 packets) ----

inline constexpr std::size_t kFrameHeaderBytes = 64;
inline constexpr std::uint32_t kCsi2Preamble = 0xB8B8B8B8u;

struct FrameHeaderGeometry {
  std::uint8_t alignment = 0;         // bits, header offset 10
  std::uint16_t packetsPerFrame = 0;  // header offset 12
  std::uint16_t bytesPerPacket = 0;   // word count of the first packet + 6
};

struct FrameHeaderOptions {
  bool skipPreamble = true;
  bool skipShortPackets = false;
};

// True when the element holds the first packet's preamble word at offset 64.
bool HasCsi2Preamble(const std::uint8_t* data, std::size_t size);

// Reads the geometry from the first element. Empty text when its packets can
// be sent as blocks, else why not. The preamble is checked separately.
std::string ReadFrameHeaderGeometry(const std::uint8_t* data, std::size_t size, const FrameHeaderOptions& options,
                                    FrameHeaderGeometry& geometry);

// Padding behind a long packet of bytesPerPacket + 4 bytes so that it ends on
// an `alignment`-bit boundary, in 16 bits. An alignment of 0 means none.
std::uint16_t PacketPadding(std::uint16_t bytesPerPacket, std::uint8_t alignment);

// Sends the packetsPerFrame packets behind the header: short packets (CSI-2
// data type below 0x10) are 8 bytes and skipped with skipShortPackets; the
// others are sent with or without their preamble.
FrameResult SendFrameHeaderStream(const std::uint8_t* data, std::size_t size, const FrameHeaderGeometry& geometry,
                                  const FrameHeaderOptions& options, BlockSink& sink);

}  // namespace unit_client
