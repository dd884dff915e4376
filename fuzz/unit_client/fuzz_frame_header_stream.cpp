// Input: one option byte, then the element's bytes (64-byte header and the
// captured packets). The geometry is read from the element as the first
// element of a run does, then the element is sent as every element is.
#include <vector>

#include "frame_walks.h"
#include "sink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unit_client::FrameHeaderOptions options{(data[0] & 1) != 0, (data[0] & 2) != 0};
  const std::vector<std::uint8_t> element(data + 1, data + size);
  if (!unit_client::HasCsi2Preamble(element.data(), element.size())) return 0;
  unit_client::FrameHeaderGeometry geometry;
  if (!unit_client::ReadFrameHeaderGeometry(element.data(), element.size(), options, geometry).empty()) return 0;
  TouchingSink sink;
  (void)unit_client::SendFrameHeaderStream(element.data(), element.size(), geometry, options, sink);
  return 0;
}
