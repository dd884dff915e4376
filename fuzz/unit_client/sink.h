// A sink that reads every byte of every block, so that a block reaching past
// the element is caught by the address sanitizer.
#pragma once

#include <cstdint>

#include "frame_walks.h"

class TouchingSink : public unit_client::BlockSink {
 public:
  std::int32_t SendBlock(std::uint16_t, const std::uint8_t* data, std::uint16_t length) override {
    for (std::uint16_t i = 0; i < length; ++i) sum += data[i];
    // Now and then a refused block, so the failure path runs too.
    return (++calls % 97) == 0 ? 10 : 0;
  }
  std::uint64_t sum = 0;
  std::uint64_t calls = 0;
};
