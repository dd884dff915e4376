// Reassembly and checking of one channel's data stream.
//
// Takes the channel's datagrams in arrival order, checks each 24-byte header,
// follows the packet counter, and rebuilds blocks and frames:
// - a block is the run of packets with one (frame counter, line index) that
//   ends with flag 0x40 or 0xC0; it is complete when none of its packets was
//   malformed and the packet counter ran on without a gap;
// - a frame is the run of blocks with one frame counter, lines 0, 1, 2 ... in
//   order, ending with the 0xC0 packet of its last line; it is complete when all
//   its blocks are.
// One thread feeds a checker; the counters may be read from any thread. Each
// packet raises its flags before it changes a counter, and is counted in
// `packets` last: a reader that loads `packets` first (acquire) sees every
// flag and counter of the packets counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qtusim {

struct StreamCounters {
  std::atomic<uint64_t> packets{0}, bytes{0}, headerErrors{0}, counterGaps{0}, packetsMissing{0};
  std::atomic<uint64_t> blocks{0}, blocksIncomplete{0}, framesComplete{0}, framesIncomplete{0};
  std::atomic<uint16_t> lastPacketCounter{0};
};

class StreamChecker {
 public:
  class Observer {
   public:
    virtual void blockComplete() = 0;
    virtual void frameComplete(uint16_t frameCounter, const uint8_t* data, size_t size) = 0;
    virtual void raiseFlags(uint8_t flags) = 0;

   protected:
    ~Observer() = default;
  };

  StreamChecker(StreamCounters& counters, Observer& observer, bool keepFrameData);

  // One datagram; `truncated` when it did not fit the receive buffer.
  // `lineCount` is the frame geometry the host set (0: not set).
  void take(const uint8_t* datagram, size_t length, bool truncated, uint16_t lineCount);

  // Drops the open block and frame without counting them (channel reset).
  void discardOpen();
  // A new stream begins (the host initialised the channel): the next packet's
  // counter is taken as it comes, not as a jump from the last one.
  void restartCounter();
  // Counts an open block and frame as incomplete (end of the run).
  void finish();

  // Reserves room for a frame of this size, so saving frames does not allocate per packet.
  void reserveFrame(size_t bytes);

 private:
  void check(const uint8_t* datagram, size_t length, bool truncated, uint16_t lineCount);
  void countPacket();
  void malformed();
  void openBlock(uint16_t frameCounter, uint16_t lineIndex, uint8_t tag, uint64_t timestamp,
                 bool broken);
  void closeBlock(bool complete, bool endsFrame);
  void closeFrame(bool complete);
  template <typename T>
  static void bump(std::atomic<T>& a, T n = 1) {
    a.store(a.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  StreamCounters& counters_;
  Observer& observer_;
  bool keepFrameData_;
  bool haveCounter_ = false;
  uint16_t lastCounter_ = 0;

  bool blockOpen_ = false;
  bool blockBroken_ = false;
  uint16_t blockFrame_ = 0, blockLine_ = 0;
  uint8_t blockTag_ = 0;
  uint64_t blockTimestamp_ = 0;

  bool frameOpen_ = false;
  bool frameOk_ = false;
  uint16_t frameCounter_ = 0;
  uint32_t nextLine_ = 0;
  std::vector<uint8_t> frameData_;
};

}  // namespace qtusim
