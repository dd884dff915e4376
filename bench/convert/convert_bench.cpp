// Conversion throughput of whole frames (1280x800 and 1920x1080, YUV422 and
// Mono) through ConvertFrame, the path the component takes for each frame,
// with the reference kernel and (YUV422) with each instruction set the
// processor runs, beside memcpy of the same number of input bytes. After the runs a
// table gives each rate as a ratio of memcpy's rate for that frame.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "convert_kernels.h"
#include "raw_frame.h"

namespace {

using namespace image_converter;

struct Frame {
  ConverterSettings settings;
  std::vector<std::uint8_t> raw;    // header + samples
  std::vector<std::uint8_t> image;  // output image (row stride x height)
  std::vector<std::uint8_t> copy;   // memcpy's destination
  std::size_t inputBytes = 0;
};

Frame MakeFrame(std::uint32_t width, std::uint32_t height, bool yuv) {
  Frame f;
  f.settings.width = width;
  f.settings.height = height;
  f.settings.inputFormat = yuv ? kInputYuv422 : kInputMono;
  f.settings.outputFormat = yuv ? kOutputYuyv24 : kOutputMono16;
  const LayoutPlan plan = PlanImage(width, height, f.settings.outputFormat);
  f.settings.rowStride = plan.layout.rowStride;
  f.inputBytes = std::size_t{width} * height * (yuv ? 4 : 2);
  f.raw.resize(kFrameHeaderSize + f.inputBytes);
  std::mt19937 random(width + height);
  for (auto& b : f.raw) b = static_cast<std::uint8_t>(random());
  f.image.assign(static_cast<std::size_t>(plan.layout.imageSize), 0);
  f.copy.assign(f.inputBytes, 0);
  return f;
}

void Convert(benchmark::State& state, Frame* frame, std::string target) {
  if (target != "reference" && !UseKernelTarget(target)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  for (auto _ : state) {
    if (target == "reference") {
      const ConverterSettings& s = frame->settings;
      const std::size_t inBpp = s.inputFormat == kInputYuv422 ? 4 : 2;
      (s.inputFormat == kInputYuv422 ? reference::ConvertYuv422 : reference::CopyMono16)(
          frame->raw.data() + kFrameHeaderSize, s.width * inBpp, frame->image.data(),
          static_cast<std::size_t>(s.rowStride), s.width, s.height);
    } else {
      ConvertFrame(frame->settings, frame->raw.data(), frame->raw.size(), frame->image.data());
    }
    benchmark::DoNotOptimize(frame->image.data());
    benchmark::ClobberMemory();
  }
  UseKernelTarget("");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame->inputBytes));
}

void Memcpy(benchmark::State& state, Frame* frame) {
  for (auto _ : state) {
    std::memcpy(frame->copy.data(), frame->raw.data() + kFrameHeaderSize, frame->inputBytes);
    benchmark::DoNotOptimize(frame->copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame->inputBytes));
}

// Keeps each run's rate for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  struct Size {
    std::uint32_t width, height;
  };
  const Size sizes[] = {{1280, 800}, {1920, 1080}};
  std::vector<std::string> kernels = {"reference", "dispatched"};
  for (const std::string& t : KernelTargets()) kernels.push_back(t);
  std::vector<Frame> frames;
  frames.reserve(4);
  std::vector<std::string> groups;
  for (bool yuv : {true, false}) {
    for (const Size& size : sizes) {
      frames.push_back(MakeFrame(size.width, size.height, yuv));
      Frame* frame = &frames.back();
      const std::string group =
          std::string(yuv ? "yuv422" : "mono") + "/" + std::to_string(size.width) + "x" + std::to_string(size.height);
      groups.push_back(group);
      // The peer first and last in each group, so a change of load shows.
      benchmark::RegisterBenchmark((group + "/memcpy").c_str(), Memcpy, frame)->Unit(benchmark::kMicrosecond);
      for (const std::string& k : kernels) {
        // The Mono copy is the C library's memcpy on every instruction set.
        if (!yuv && k != "reference" && k != "dispatched") continue;
        benchmark::RegisterBenchmark((group + "/" + k).c_str(), Convert, frame, k == "dispatched" ? std::string() : k)
            ->Unit(benchmark::kMicrosecond);
      }
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nconversion rate / memcpy rate of the same input bytes (active: %s)\n", ActiveKernelTarget().c_str());
  std::printf("%-18s %-11s %10s %10s %7s\n", "frame", "kernel", "GB/s", "memcpy", "ratio");
  for (const std::string& group : groups) {
    const auto peer = reporter.rates.find(group + "/memcpy");
    if (peer == reporter.rates.end()) continue;
    for (const std::string& k : kernels) {
      const auto it = reporter.rates.find(group + "/" + k);
      if (it == reporter.rates.end()) continue;
      std::printf("%-18s %-11s %10.2f %10.2f %7.2f\n", group.c_str(), k.c_str(), it->second / 1e9, peer->second / 1e9,
                  it->second / peer->second);
    }
  }
  benchmark::Shutdown();
  return 0;
}
