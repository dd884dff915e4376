#include "stream_checker.h"

#include "qtu_sim/unit_sim.h"
#include "wire.h"

namespace qtusim {

StreamChecker::StreamChecker(StreamCounters& counters, Observer& observer, bool keepFrameData)
    : counters_(counters), observer_(observer), keepFrameData_(keepFrameData) {}

void StreamChecker::reserveFrame(size_t bytes) {
  if (keepFrameData_ && frameData_.capacity() < bytes) frameData_.reserve(bytes);
}

void StreamChecker::malformed() {
  observer_.raiseFlags(kFlagMalformed);
  bump(counters_.headerErrors);
}

void StreamChecker::countPacket() {
  // Last, and with release: whoever reads this count (with acquire) sees the
  // flags, counters and status of every packet it counts.
  counters_.packets.store(counters_.packets.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void StreamChecker::restartCounter() { haveCounter_ = false; }

void StreamChecker::take(const uint8_t* d, size_t length, bool truncated, uint16_t lineCount) {
  check(d, length, truncated, lineCount);
  countPacket();
}

void StreamChecker::check(const uint8_t* d, size_t length, bool truncated, uint16_t lineCount) {
  using namespace wire;
  if (truncated || length < kDataHeaderSize) {
    // No header to trust: the open block has lost a packet, if anything.
    malformed();
    if (blockOpen_) blockBroken_ = true;
    return;
  }

  const uint16_t counter = get16(d + kPacketCounterOffset);
  bool gap = false;
  if (haveCounter_ && counter != static_cast<uint16_t>(lastCounter_ + 1)) {
    gap = true;
    observer_.raiseFlags(kFlagPacketLost);
    bump(counters_.counterGaps);
    bump<uint64_t>(counters_.packetsMissing, static_cast<uint16_t>(counter - lastCounter_ - 1));
  }
  haveCounter_ = true;
  lastCounter_ = counter;
  counters_.lastPacketCounter.store(counter, std::memory_order_relaxed);

  const uint16_t frame = get16(d + kFrameCounterOffset);
  const uint16_t line = get16(d + kLineIndexOffset);
  const uint16_t payload = get16(d + kPayloadLengthOffset);
  const uint8_t version = d[kDataVersionOffset];
  const uint8_t flags = d[kFlagsOffset];
  const uint8_t tag = d[kTagOffset];
  const uint64_t timestamp = get64(d + kTimestampOffset);
  bool reservedClear = true;
  for (size_t i = 0; i < kReservedSize; ++i) reservedClear &= d[kReservedOffset + i] == 0;

  bool bad = version != kVersion || (flags != 0 && flags != kFlagLastOfBlock && flags != kFlagLastOfFrame) ||
             payload != length - kDataHeaderSize || payload == 0 || !reservedClear ||
             (flags == 0 && payload % 8 != 0);
  if (lineCount != 0) {
    const bool lastLine = line == lineCount - 1;
    bad |= line >= lineCount || (flags == kFlagLastOfFrame && !lastLine) ||
           (flags == kFlagLastOfBlock && lastLine);
  }
  const bool sameBlock = blockOpen_ && frame == blockFrame_ && line == blockLine_;
  // Every packet of a block carries the block's tag and timestamp.
  if (sameBlock && (tag != blockTag_ || timestamp != blockTimestamp_)) bad = true;
  if (bad) malformed();

  if (blockOpen_ && !sameBlock) closeBlock(false, false);  // its last packet never came
  if (!blockOpen_) openBlock(frame, line, tag, timestamp, false);
  // A gap may have taken packets of this very block; a bad packet surely did.
  if (bad || gap) blockBroken_ = true;
  if (!bad) {
    bump<uint64_t>(counters_.bytes, payload);
    if (keepFrameData_ && frameOk_ && !blockBroken_)
      frameData_.insert(frameData_.end(), d + kDataHeaderSize, d + length);
  }
  if (flags & kFlagLastOfBlock) closeBlock(!blockBroken_, (flags & 0x80) != 0);
}

void StreamChecker::openBlock(uint16_t frameCounter, uint16_t lineIndex, uint8_t tag,
                              uint64_t timestamp, bool broken) {
  blockOpen_ = true;
  blockBroken_ = broken;
  blockFrame_ = frameCounter;
  blockLine_ = lineIndex;
  blockTag_ = tag;
  blockTimestamp_ = timestamp;
  if (frameOpen_ && frameCounter != frameCounter_) closeFrame(false);  // its end never came
  if (!frameOpen_) {
    frameOpen_ = true;
    frameOk_ = true;
    frameCounter_ = frameCounter;
    nextLine_ = 0;
    frameData_.clear();
  }
  if (lineIndex != nextLine_) frameOk_ = false;
  nextLine_ = static_cast<uint32_t>(lineIndex) + 1;
}

void StreamChecker::closeBlock(bool complete, bool endsFrame) {
  blockOpen_ = false;
  if (complete) {
    observer_.blockComplete();
    bump(counters_.blocks);
  } else {
    bump(counters_.blocksIncomplete);
    frameOk_ = false;
  }
  if (endsFrame) closeFrame(frameOk_);
}

void StreamChecker::closeFrame(bool complete) {
  frameOpen_ = false;
  if (complete) {
    observer_.frameComplete(frameCounter_, frameData_.data(), frameData_.size());
    bump(counters_.framesComplete);
  } else {
    observer_.raiseFlags(kFlagIncompleteFrame);
    bump(counters_.framesIncomplete);
  }
  frameData_.clear();
}

void StreamChecker::discardOpen() {
  blockOpen_ = false;
  frameOpen_ = false;
  frameData_.clear();
}

void StreamChecker::finish() {
  if (blockOpen_) closeBlock(false, false);
  if (frameOpen_) closeFrame(false);
}

}  // namespace qtusim
