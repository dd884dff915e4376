// The unit client's walk of a frame-header stream element.
// Input: one option byte, then the element's bytes (64-byte header and the
// captured packets), in a heap block of exactly their size. The geometry is
// read from the element as the first element of a run does, then the element
// is sent as every element is. Every block lies in the element behind the
// header, has the size the geometry gives, and starts one packet step after
// the previous one (or a skipped short packet later); a frame is refused only
// when its packets do not fit.
#include <cstdlib>
#include <memory>
#include <vector>

#include "frame_walks.h"
#include "sink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unit_client::FrameHeaderOptions options{(data[0] & 1) != 0, (data[0] & 2) != 0};
  const std::size_t n = size - 1;
  std::unique_ptr<std::uint8_t[]> element(new std::uint8_t[n == 0 ? 1 : n]);
  std::copy(data + 1, data + size, element.get());
  if (!unit_client::HasCsi2Preamble(element.get(), n)) return 0;
  unit_client::FrameHeaderGeometry geometry;
  if (!unit_client::ReadFrameHeaderGeometry(element.get(), n, options, geometry).empty()) return 0;
  RecordingSink sink(element.get() + unit_client::kFrameHeaderBytes, n - unit_client::kFrameHeaderBytes,
                     (data[0] >> 2) % 64);
  const unit_client::FrameResult result = unit_client::SendFrameHeaderStream(element.get(), n, geometry, options, sink);
  sink.Check(result);

  const std::size_t pad = unit_client::PacketPadding(geometry.bytesPerPacket, geometry.alignment);
  const std::size_t step = 4 + geometry.bytesPerPacket + pad;
  const std::size_t length = options.skipPreamble ? geometry.bytesPerPacket : step;
  const std::size_t skip = options.skipPreamble ? 4 : 0;
  std::size_t at = unit_client::kFrameHeaderBytes;  // the next packet's preamble
  for (const SentBlock& b : sink.blocks) {
    // Short packets (8 bytes, data type below 0x10) are passed over first.
    while (options.skipShortPackets && at + 5 <= n && (element[at + 4] & 0x3F) < 0x10) {
      at += 8;
    }
    if (b.data != element.get() + at + skip || b.length != length) std::abort();
    at += step;
  }
  if (result.outcome == unit_client::FrameOutcome::kSent && !options.skipShortPackets &&
      sink.blocks.size() != geometry.packetsPerFrame) {
    std::abort();
  }
  return 0;
}
