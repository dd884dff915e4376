// What a diagram run shows: the live progress line (run time, elements per
// second over each connection) and the closing summary (elements written per
// output, read per input, reports counted by kind). Pure formatting over
// snapshots of the counters, so it is tested without a run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtro_engine {

struct OutputCount {
  std::string name;  // full name
  std::uint64_t written = 0;
};

struct InputCount {
  std::string name;
  std::string from;  // full name of the connected output
  std::uint64_t read = 0;
};

struct RunCounts {
  double seconds = 0;  // real time since the start
  std::vector<OutputCount> outputs;
  std::vector<InputCount> inputs;
};

struct ReportTally {
  std::uint64_t info = 0;
  std::uint64_t warning = 0;
  std::uint64_t error = 0;
};

// "run 3.2 s | cam.oImage>dump.iData 30.0/s | ...", the rates taken between
// two snapshots (0/s when no time passed); cut to `width` characters.
std::string ProgressLine(const RunCounts& before, const RunCounts& now, std::size_t width);

// Keeps, for each counter, the larger of two snapshots (counters of a
// component may be reset once it stops).
RunCounts Latest(const RunCounts& a, const RunCounts& b);

// The counts of `now` since `base` (the framework's counters go on across
// runs); a counter below its base was reset and counts from zero. Elements
// of `now` missing in `base` keep their value.
RunCounts Since(const RunCounts& base, const RunCounts& now);
ReportTally Since(const ReportTally& base, const ReportTally& now);

// Summary lines, each starting with "summary: ":
//   summary: run 3.00 s, ended by <why>
//   summary: output cam.oImage: 90 written
//   summary: input dump.iData: 90 read from cam.oImage
//   summary: reports: 12 info, 0 warning, 0 error
std::vector<std::string> SummaryLines(const RunCounts& counts, const ReportTally& reports, const std::string& endedBy);

}  // namespace vtro_engine
