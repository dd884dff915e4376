// The type check of a connection: an input's filter (type mask and optional
// "|Name|Name" list of structure names) against the element type of an
// output (its type bits without the vector flag, and its structure name).
// Custom structures carry type bit 1 or 0x40000 (the same kind under two
// codes) and must also be named in the filter's list when it has one.
#pragma once

#include <cstdint>
#include <string>

namespace vtro_engine {

// Empty when the filter accepts the output's elements, else why not.
std::string CheckConnectionTypes(std::uint64_t outputMask, const char* outputStructure, std::uint64_t filterMask,
                                 const char* filterNames);

// "IPL image (0x20)", "64-bit integers (0x8000)", or the hex mask when several
// bits or an unnamed bit are set.
std::string TypeMaskText(std::uint64_t mask);

}  // namespace vtro_engine
