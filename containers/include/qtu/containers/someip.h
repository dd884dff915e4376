// SOME/IP messages carried in UDP payloads, including SOME/IP-TP segments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "qtu/containers/container.h"

namespace qtu::containers {

// Message type bit that marks a SOME/IP-TP segment.
inline constexpr uint8_t kSOMEIPTPFlag = 0x20;
// Bytes of the SOME/IP header on the wire, and with the SOME/IP-TP field.
inline constexpr size_t kSOMEIPWireHeaderSize = 16;
inline constexpr size_t kSOMEIPTPWireHeaderSize = 20;

struct SOMEIPMessage {
  SOMEIPHeader header;
  std::vector<uint8_t> payload;
  int64_t timestamp;  // microseconds, from the container the message came from
};

// A parsed message whose payload stays in the data it was parsed from.
struct SOMEIPMessageView {
  SOMEIPHeader header;
  const uint8_t* payload;
  size_t payloadSize;
};

// Parses the SOME/IP messages laid back to back in `size` bytes at `data`.
// Trailing bytes too few for a header (under 16) are ignored. Throws
// std::runtime_error when a message has an unknown protocol or interface
// version, a length below its header, or runs past `size`; messages parsed
// before a failure are discarded.
std::vector<SOMEIPMessage> ParseSOMEIPMessages(const uint8_t* data, size_t size, int64_t timestamp);
// The same checks without copying payloads: `views` is cleared and refilled,
// so a vector reused across calls allocates nothing once it has grown. On
// failure `views` is left empty.
void ParseSOMEIPMessageViews(const uint8_t* data, size_t size, std::vector<SOMEIPMessageView>& views);

// One SOME/IP container per message, in order; each owns a copy of its payload.
std::vector<std::shared_ptr<SOMEIPContainer>> SOMEIPContainersFromMessages(
    const std::vector<SOMEIPMessage>& messages);

}  // namespace qtu::containers
