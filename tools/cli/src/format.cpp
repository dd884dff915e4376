#include "format.h"

#include <cstdio>

namespace qtucli {

std::string errorText(QZQTU_Error code) {
    return QZQTU_ErrorToString(static_cast<uint32_t>(code));
}

void printLibraryError(std::ostream& err, const char* call, QZQTU_Error code) {
    err << "error: " << call << ": " << errorText(code) << " (" << code << ")\n";
}

std::string formatBytes(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB"};
    if (bytes < 1000) {
        return std::to_string(bytes) + " B";
    }
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < std::size(kUnits)) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.*f %s", value < 10.0 ? 2 : 1, value, kUnits[unit]);
    return text;
}

std::string formatMegabytesPerSecond(uint64_t bytes, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", rate);
    return text;
}

std::string formatStatus(const QZQTU_ReplayState& state) {
    return "flags " + std::to_string(state.statusBit0) + " " + std::to_string(state.statusBit1) + " " +
           std::to_string(state.statusBit2) + " " + std::to_string(state.statusBit3) + "  free buffers " +
           std::to_string(state.freeBuffers) + "  time " + std::to_string(state.statusTime);
}

nlohmann::json statusJson(const QZQTU_ReplayState& state) {
    return {{"statusBit0", state.statusBit0}, {"statusBit1", state.statusBit1},
            {"statusBit2", state.statusBit2}, {"statusBit3", state.statusBit3},
            {"freeBuffers", state.freeBuffers}, {"statusTime", state.statusTime}};
}

std::string formatProgress(const StreamTotals& totals) {
    return "frames " + std::to_string(totals.frames) + "  " + formatBytes(totals.bytes) + "  " +
           formatMegabytesPerSecond(totals.bytes, totals.seconds) + " MB/s  credit waits " +
           std::to_string(totals.creditWaits);
}

namespace {

std::string resultsLine(const StreamTotals& totals) {
    std::string line;
    for (size_t code = 0; code < totals.results.size(); ++code) {
        if (totals.results[code] == 0) {
            continue;
        }
        if (!line.empty()) {
            line += ", ";
        }
        if (code == 16) {
            line += "other codes: ";
        } else {
            line += std::to_string(code) + " (" + errorText(static_cast<QZQTU_Error>(code)) + "): ";
        }
        line += std::to_string(totals.results[code]);
    }
    return line.empty() ? "none" : line;
}

}  // namespace

void printSummary(std::ostream& out, const StreamTotals& totals) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", totals.seconds);
    out << "frames        " << totals.frames << "\n"
        << "blocks        " << totals.blocks << "\n"
        << "bytes         " << totals.bytes << " (" << formatBytes(totals.bytes) << ")\n"
        << "seconds       " << seconds << "\n"
        << "throughput    " << formatMegabytesPerSecond(totals.bytes, totals.seconds) << " MB/s\n"
        << "credit waits  " << totals.creditWaits << "\n"
        << "results       " << resultsLine(totals) << "\n";
}

nlohmann::json summaryJson(const StreamTotals& totals) {
    nlohmann::json results = nlohmann::json::object();
    for (size_t code = 0; code < totals.results.size(); ++code) {
        if (totals.results[code] != 0) {
            results[code == 16 ? std::string("other") : std::to_string(code)] = totals.results[code];
        }
    }
    const double rate = totals.seconds > 0 ? static_cast<double>(totals.bytes) / 1e6 / totals.seconds : 0.0;
    return {{"frames", totals.frames},           {"blocks", totals.blocks},   {"bytes", totals.bytes},
            {"seconds", totals.seconds},         {"megabytesPerSecond", rate}, {"creditWaits", totals.creditWaits},
            {"results", results}};
}

}  // namespace qtucli
