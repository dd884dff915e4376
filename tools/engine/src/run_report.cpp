#include "run_report.h"

#include <algorithm>
#include <cstdio>

namespace vtro_engine {
namespace {

std::string Fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Rate(std::uint64_t before, std::uint64_t now, double seconds) {
  if (seconds <= 0 || now < before) return "0/s";
  const double rate = static_cast<double>(now - before) / seconds;
  return Fixed(rate, rate < 100 ? 1 : 0) + "/s";
}

}  // namespace

std::string ProgressLine(const RunCounts& before, const RunCounts& now, std::size_t width) {
  std::string line = "run " + Fixed(now.seconds, 1) + " s";
  const double dt = now.seconds - before.seconds;
  for (const auto& input : now.inputs) {
    std::uint64_t earlier = input.read;
    for (const auto& b : before.inputs) {
      if (b.name == input.name) earlier = b.read;
    }
    line += " | " + input.from + ">" + input.name + " " + Rate(earlier, input.read, dt);
  }
  if (line.size() > width && width > 3) {
    line.resize(width - 3);
    line += "...";
  }
  return line;
}

RunCounts Latest(const RunCounts& a, const RunCounts& b) {
  RunCounts out = a;
  out.seconds = std::max(a.seconds, b.seconds);
  for (auto& o : out.outputs) {
    for (const auto& other : b.outputs) {
      if (other.name == o.name) o.written = std::max(o.written, other.written);
    }
  }
  for (auto& i : out.inputs) {
    for (const auto& other : b.inputs) {
      if (other.name == i.name) i.read = std::max(i.read, other.read);
    }
  }
  return out;
}

RunCounts Since(const RunCounts& base, const RunCounts& now) {
  const auto less = [](std::uint64_t value, std::uint64_t from) { return value >= from ? value - from : value; };
  RunCounts out = now;
  for (auto& o : out.outputs) {
    for (const auto& b : base.outputs) {
      if (b.name == o.name) o.written = less(o.written, b.written);
    }
  }
  for (auto& i : out.inputs) {
    for (const auto& b : base.inputs) {
      if (b.name == i.name) i.read = less(i.read, b.read);
    }
  }
  return out;
}

ReportTally Since(const ReportTally& base, const ReportTally& now) {
  return {now.info - base.info, now.warning - base.warning, now.error - base.error};
}

std::vector<std::string> SummaryLines(const RunCounts& counts, const ReportTally& reports, const std::string& endedBy) {
  std::vector<std::string> lines;
  lines.push_back("summary: run " + Fixed(counts.seconds, 2) + " s, ended by " + endedBy);
  for (const auto& o : counts.outputs) {
    lines.push_back("summary: output " + o.name + ": " + std::to_string(o.written) + " written");
  }
  for (const auto& i : counts.inputs) {
    lines.push_back("summary: input " + i.name + ": " + std::to_string(i.read) + " read from " + i.from);
  }
  lines.push_back("summary: reports: " + std::to_string(reports.info) + " info, " + std::to_string(reports.warning) +
                  " warning, " + std::to_string(reports.error) + " error");
  return lines;
}

}  // namespace vtro_engine
