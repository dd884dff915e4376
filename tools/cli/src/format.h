// Text that qtu-cli prints: library errors, replay status, stream progress
// and the stream summary.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "QZQTUApi.h"

namespace qtucli {

// Exit status for errors of the command line itself (BSD EX_USAGE); library
// failures exit with their result code, 1..15.
inline constexpr int kExitUsage = 64;
// An input file that cannot be read (EX_NOINPUT).
inline constexpr int kExitNoInput = 66;
// Standard output could not be written (EX_IOERR).
inline constexpr int kExitOutputFailed = 74;
// Ended by Ctrl-C or SIGTERM (128 + SIGINT, as a shell reports it).
inline constexpr int kExitInterrupted = 130;

// "error: QZQTU_InitOutputChannel: Timeout (11)"
void printLibraryError(std::ostream& err, const char* call, QZQTU_Error code);

// The library's text of a code, as a std::string.
std::string errorText(QZQTU_Error code);

// "1.23 GB", "512.0 MB", "17 B": decimal units, as network rates are given.
std::string formatBytes(uint64_t bytes);
// Megabytes (10^6 bytes) per second with one decimal, "0.0" for no time.
std::string formatMegabytesPerSecond(uint64_t bytes, double seconds);

// "flags 0 1 0 1  free buffers 64  time 123456"
std::string formatStatus(const QZQTU_ReplayState& state);
nlohmann::json statusJson(const QZQTU_ReplayState& state);

// Counts of one stream run. Result counts are indexed by library result
// code; codes outside 0..15 go to the last slot.
struct StreamTotals {
    uint64_t frames = 0;        // frames sent in full
    uint64_t blocks = 0;        // blocks accepted by the library
    uint64_t bytes = 0;         // data bytes of those blocks
    uint64_t creditWaits = 0;   // calls that returned 11 and were repeated
    double seconds = 0;
    std::array<uint64_t, 17> results{};
    void count(QZQTU_Error code) { ++results[code >= 0 && code <= 15 ? code : 16]; }
};

// One-line progress for a terminal, without a line end:
// "frames 120  498.0 MB  412.3 MB/s  credit waits 17"
std::string formatProgress(const StreamTotals& totals);
// Multi-line summary ending in a line end.
void printSummary(std::ostream& out, const StreamTotals& totals);
nlohmann::json summaryJson(const StreamTotals& totals);

}  // namespace qtucli
