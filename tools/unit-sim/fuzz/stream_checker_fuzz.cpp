// libFuzzer target: arbitrary datagram sequences through the data-stream checker.
// Input: 2 bytes lineCount, then records of a 2-byte length and that many bytes
// (cut short at the end of the input), each record one datagram. A length with
// bit 15 set is followed by a 2-byte segment size: the record is then a
// coalesced receive buffer, split back into datagrams as the unit splits it.
#include <cstdint>
#include <cstdlib>

#include "data_receiver.h"
#include "stream_checker.h"

namespace {

struct Observer final : qtusim::StreamChecker::Observer {
  uint64_t blocks = 0, frames = 0, frameBytes = 0;
  void blockComplete() override { ++blocks; }
  void frameComplete(uint16_t, const uint8_t*, size_t size) override {
    ++frames;
    frameBytes += size;
  }
  void raiseFlags(uint8_t flags) override {
    if (flags & 0xF0) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t lineCount = static_cast<uint16_t>(data[0] | data[1] << 8);
  qtusim::StreamCounters counters;
  Observer observer;
  qtusim::StreamChecker checker(counters, observer, true);
  size_t at = 2;
  while (at + 2 <= size) {
    size_t length = static_cast<size_t>(data[at] | data[at + 1] << 8);
    at += 2;
    size_t segment = 0;
    if (length & 0x8000) {
      length &= 0x7FFF;
      if (at + 2 > size) break;
      segment = static_cast<size_t>(data[at] | data[at + 1] << 8);
      at += 2;
    }
    if (length > size - at) length = size - at;
    size_t covered = 0;
    qtusim::splitSegments(length, segment, [&](size_t offset, size_t piece) {
      // Pieces follow each other without a gap and none is longer than a segment.
      if (offset != covered || (segment != 0 && piece > segment) || (length != 0 && piece == 0)) std::abort();
      covered += piece;
      checker.take(data + at + offset, piece, false, lineCount);
    });
    if (covered != length) std::abort();
    at += length;
  }
  checker.finish();
  const uint64_t blocks = counters.blocks.load();
  const uint64_t frames = counters.framesComplete.load() + counters.framesIncomplete.load();
  // Every frame is made of at least one block, every block of at least one packet,
  // and a saved frame never holds more bytes than were accepted.
  if (blocks != observer.blocks || counters.framesComplete.load() != observer.frames) std::abort();
  if (frames > blocks + counters.blocksIncomplete.load()) std::abort();
  if (blocks + counters.blocksIncomplete.load() > counters.packets.load()) std::abort();
  if (observer.frameBytes > counters.bytes.load()) std::abort();
  return 0;
}
