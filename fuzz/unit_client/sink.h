// The library's stand-in for the unit client's walks: it records every block
// the client would pass to QZQTU_ReplayStreamData and checks it as it comes.
// Each block must lie inside the element's buffer (compared on addresses, and
// every byte read, so a block past the buffer is also caught by the address
// sanitizer) and come with the next line index.
// Now and then it refuses a block, so the failure path runs too; Check()
// then holds the walk's result against what the sink saw.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "frame_walks.h"

struct SentBlock {
  std::uint16_t lineIndex;
  const std::uint8_t* data;
  std::uint16_t length;
};

class RecordingSink : public unit_client::BlockSink {
 public:
  RecordingSink(const std::uint8_t* begin, std::size_t size, std::uint32_t refuseEvery = 97)
      : m_begin(begin), m_size(size), m_refuseEvery(refuseEvery) {}

  std::int32_t SendBlock(std::uint16_t lineIndex, const std::uint8_t* data, std::uint16_t length) override {
    if (data == nullptr || !unit_client::WithinBuffer(m_begin, m_size, data, length)) std::abort();
    if (lineIndex != blocks.size()) std::abort();
    std::uint64_t sum = 0;
    for (std::uint16_t i = 0; i < length; ++i) sum += data[i];
    m_sum = m_sum + sum;
    blocks.push_back({lineIndex, data, length});
    return m_refuseEvery != 0 && blocks.size() % m_refuseEvery == 0 ? kRefusal : 0;
  }

  // The walk's result agrees with the blocks: a refused frame sent nothing,
  // a failed one stopped at the refused block with its code, a sent one
  // counts every block.
  void Check(const unit_client::FrameResult& r) const {
    using unit_client::FrameOutcome;
    switch (r.outcome) {
      case FrameOutcome::kRefused:
        if (!blocks.empty() || r.problem.empty()) std::abort();
        break;
      case FrameOutcome::kSendFailed:
        if (r.code != kRefusal || blocks.empty() || r.blocks + 1 != blocks.size()) std::abort();
        break;
      case FrameOutcome::kSent:
        if (r.code != 0 || r.blocks != blocks.size()) std::abort();
        break;
    }
  }

  static constexpr std::int32_t kRefusal = 10;
  std::vector<SentBlock> blocks;

 private:
  const std::uint8_t* m_begin;
  std::size_t m_size;
  std::uint32_t m_refuseEvery;
  volatile std::uint64_t m_sum = 0;
};
