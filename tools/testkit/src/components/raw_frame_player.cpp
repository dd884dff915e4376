// RawFramePlayer: plays the frames of a raw frame file (raw_frames.h) as
// frame-header stream elements on "oFrame", at "Rate" frames per second (0 =
// as fast as the readers take them), once or, with "Loop", round and round.
// A frame the file cuts short (or one with a size that cannot be right) is
// reported at the start and not played, nor is anything behind it.
#include "../raw_frames.h"
#include "testkit_component.h"

namespace {

VTROPropertyValue g_file("");
VTROPropertyValue g_rate(30.0);
VTROPropertyValue g_loop(false);
VTROPropertyValue g_done(false);

const VTROPropertyDefinition g_properties[] = {
    {"File", &g_file, nullptr, testkit::kPlain, VTRO_HINT_FILE_PATH | VTRO_HINT_PATH_MUST_EXIST},
    {"Rate", &g_rate, nullptr, testkit::kPlain, 0},
    {"Loop", &g_loop, nullptr, testkit::kPlain, 0},
    {"Done", &g_done, nullptr, testkit::kReadOnly, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const VTROOutputDefinition g_outputs[] = {
    {"oFrame", nullptr, VTRO_TYPE_BYTE_STREAM, nullptr, nullptr, 0, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};

class RawFramePlayer final : public testkit::TestkitComponent {
 public:
  using TestkitComponent::TestkitComponent;

  void Birth() override {
    const std::string path = Text("File");
    if (path.empty()) Fail("File is not set: give the raw frame file to play");
    rate_ = FloatIn("Rate", 0, 1e6);
    loop_ = GetBoolProperty("Loop");
    std::string error;
    if (!file_.Open(path, error)) Fail(error);
    const testkit::FrameScan& scan = file_.Scan();
    if (!scan.problem.empty()) {
      ReportWarning((path + ": " + scan.problem + "; " +
                     (scan.truncated ? "that frame is not played" : "it and what follows are not played"))
                        .c_str());
    }
    if (scan.frames.empty()) Fail(path + " holds no frame that can be played");
    Output(0)->AllocOutputBuffer(static_cast<std::int32_t>(scan.largest), 0);
    next_ = 0;
    played_ = 0;
    start_ = CurrentTime(true, true);
    SetDone(false);
  }

  void Core() override {
    const auto& frames = file_.Scan().frames;
    if (next_ == frames.size()) {
      if (!loop_) {
        SetDone(true);
        Rest(1'000'000);
        return;
      }
      next_ = 0;
    }
    if (rate_ > 0) {
      const auto due = start_ + static_cast<std::int64_t>(static_cast<double>(played_) * 1e6 / rate_);
      const std::int64_t now = CurrentTime(true, true);
      if (due > now) Rest(due - now);
    }
    VTROIOElt* element = StartWriting(Output(0));
    if (!file_.ReadFrame(next_, static_cast<std::uint8_t*>(element->Data()))) {
      StopWriting(element, true);
      Fail("cannot read frame " + std::to_string(next_) + " of " + Text("File"));
    }
    element->SetVectorSize(static_cast<std::int32_t>(frames[next_].size));
    StopWriting(element, false);
    ++next_;
    ++played_;
  }

  void Death() override {
    file_.Close();
    SetDone(false);  // a new start must not show this run's Done before its Birth
  }

 private:
  testkit::RawFrameFile file_;
  double rate_ = 0;
  bool loop_ = false;
  std::size_t next_ = 0;
  std::uint64_t played_ = 0;
  std::int64_t start_ = 0;
};

TESTKIT_COMPONENT(RawFramePlayer, "RawFramePlayer", nullptr, g_outputs, -1, g_properties, VTRO_THREADING_THREADED);

}  // namespace
