#include "qtu/containers/someip.h"

#include <stdexcept>
#include <string>

#include "byte_order.h"

namespace qtu::containers {

namespace {

constexpr const char* kInvalidData = "Container does not valid SOME/IP data";

SOMEIPHeader DecodeHeader(const uint8_t* p) {
  SOMEIPHeader h{};
  h.serviceId = LoadBE16(p);
  const uint16_t methodId = LoadBE16(p + 2);
  h.eventFlag = static_cast<uint8_t>(methodId >> 15);
  h.methodId = methodId;
  h.length = LoadBE32(p + 4);
  h.clientId = LoadBE16(p + 8);
  h.sessionId = LoadBE16(p + 10);
  h.protocolVersion = p[12];
  h.interfaceVersion = p[13];
  h.messageType = p[14];
  h.returnCode = p[15];
  return h;
}

}  // namespace

namespace {

// Walks the messages and hands each header and payload to `sink`; throws on
// the first malformed message.
template <typename Sink>
void Walk(const uint8_t* data, size_t size, Sink&& sink) {
  if (size == 0) return;
  if (data == nullptr) {
    throw std::runtime_error("SOME/IP data of " + std::to_string(size) + " bytes given without data");
  }
  size_t offset = 0;
  while (size - offset >= kSOMEIPWireHeaderSize) {
    const uint8_t* m = data + offset;
    SOMEIPHeader header = DecodeHeader(m);
    if (header.protocolVersion != 1 || (header.interfaceVersion != 1 && header.interfaceVersion != 2)) {
      throw std::runtime_error(kInvalidData);
    }
    // 64-bit arithmetic: a length near 2^32 must not wrap around to a small offset.
    const uint64_t next = uint64_t{offset} + 8 + header.length;
    if (next > size) throw std::runtime_error(kInvalidData);
    const bool tp = (header.messageType & kSOMEIPTPFlag) != 0;
    const size_t headerSize = tp ? kSOMEIPTPWireHeaderSize : kSOMEIPWireHeaderSize;
    if (uint64_t{header.length} + 8 < headerSize) {
      throw std::runtime_error("SOME/IP message at offset " + std::to_string(offset) + " has length " +
                               std::to_string(header.length) + ", below the " + std::to_string(headerSize - 8) +
                               " bytes its header needs");
    }
    if (tp) {
      const uint32_t field = LoadBE32(m + kSOMEIPWireHeaderSize);
      header.tpOffset = field >> 4;
      header.tpFlags = static_cast<uint8_t>(field & 0x0F);
    }
    sink(header, m + headerSize, static_cast<size_t>(next - offset - headerSize));
    if (next >= size) break;
    offset = static_cast<size_t>(next);
  }
}

}  // namespace

std::vector<SOMEIPMessage> ParseSOMEIPMessages(const uint8_t* data, size_t size, int64_t timestamp) {
  std::vector<SOMEIPMessage> messages;
  Walk(data, size, [&](const SOMEIPHeader& header, const uint8_t* payload, size_t payloadSize) {
    messages.push_back(SOMEIPMessage{header, std::vector<uint8_t>(payload, payload + payloadSize), timestamp});
  });
  return messages;
}

void ParseSOMEIPMessageViews(const uint8_t* data, size_t size, std::vector<SOMEIPMessageView>& views) {
  views.clear();
  try {
    Walk(data, size, [&](const SOMEIPHeader& header, const uint8_t* payload, size_t payloadSize) {
      views.push_back(SOMEIPMessageView{header, payload, payloadSize});
    });
  } catch (...) {
    views.clear();
    throw;
  }
}

std::vector<std::shared_ptr<SOMEIPContainer>> SOMEIPContainersFromMessages(
    const std::vector<SOMEIPMessage>& messages) {
  std::vector<std::shared_ptr<SOMEIPContainer>> containers;
  containers.reserve(messages.size());
  for (const SOMEIPMessage& message : messages) {
    if (message.payload.size() > UINT32_MAX) throw std::runtime_error("SOME/IP payload too large for a record");
    ContainerHeader header{};
    header.timestamp = message.timestamp;
    header.typeCode = static_cast<uint8_t>(ContainerType::SOMEIP);
    header.payloadLength = static_cast<uint32_t>(message.payload.size());
    containers.push_back(std::make_shared<SOMEIPContainer>(header, message.header, message.payload.data(), true));
  }
  return containers;
}

}  // namespace qtu::containers
