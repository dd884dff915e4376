// TestCsi2Source: CSI-2 frames (csi2.h) on output "oFrame", as frame-header
// streams (type 0x1000) or as VTROMipiCsi2Frame structures (type 0x40000),
// by "Form".
//
// The output's type follows the form, so "oFrame" is made by the component
// (from one of two model entries) rather than from the definition: the
// constructor makes the stream form, and a change of "Form" before the start
// drops the output and makes it again from the other entry.
#include <cstring>

#include "../csi2.h"
#include "../mipi_csi2_frame.h"
#include "testkit_component.h"

namespace {

enum Form : std::int64_t { kFrameHeaderStream = 0, kMipiCsi2Frame = 1 };

VTROPropertyValue g_form("FrameHeaderStream|MipiCsi2Frame", 0);
VTROPropertyValue g_lines(std::int64_t{1080});
VTROPropertyValue g_wordCount(std::int64_t{2880});
VTROPropertyValue g_dataType(std::int64_t{0x00});
VTROPropertyValue g_csi2Type(std::int64_t{0x2C});
VTROPropertyValue g_alignment(std::int64_t{32});
VTROPropertyValue g_shortPackets(std::int64_t{0});
VTROPropertyValue g_rate(30.0);
VTROPropertyValue g_count(std::int64_t{0});
VTROPropertyValue g_done(false);

const VTROPropertyDefinition g_properties[] = {
    {"Form", &g_form, nullptr, testkit::kPlain, 0},
    {"Lines", &g_lines, nullptr, testkit::kPlain, 0},
    {"WordCount", &g_wordCount, nullptr, testkit::kPlain, 0},
    {"DataType", &g_dataType, nullptr, testkit::kPlain, 0},
    {"Csi2Type", &g_csi2Type, nullptr, testkit::kPlain, 0},
    {"Alignment", &g_alignment, nullptr, testkit::kPlain, 0},
    {"ShortPackets", &g_shortPackets, nullptr, testkit::kPlain, 0},
    {"Rate", &g_rate, nullptr, testkit::kPlain, 0},
    {"Count", &g_count, nullptr, testkit::kPlain, 0},
    {"Done", &g_done, nullptr, testkit::kReadOnly, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const VTROStackedString g_structureName("VTROMipiCsi2Frame");
const VTROStackedString g_noName("");

// Model entries only (the definition creates none of them).
const VTROOutputDefinition g_outputs[] = {
    {"oFrameStream", nullptr, VTRO_TYPE_BYTE_STREAM, &g_noName, &g_noName, 0, 16, 1, 1},
    {"oFrameMipi", nullptr, VTRO_TYPE_CUSTOM_STRUCTURE, &g_structureName, &g_noName, 0, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};

class TestCsi2Source final : public testkit::TestkitSource {
 public:
  TestCsi2Source(const char* name, const VTROComponentDefinition* definition) : TestkitSource(name, definition) {
    NewOutput(Model(kFrameHeaderStream), "oFrame");
  }

  void Dynamic() override {
    if (!dropOutput_) NewOutput(Model(GetIntegerProperty("Form")), "oFrame");
  }

  bool SetIntegerValue(VTROProperty* property, std::int64_t value) override {
    const bool result = TestkitSource::SetIntegerValue(property, value);
    FollowForm(property);
    return result;
  }
  bool SetStringValue(VTROProperty* property, const char* value) override {
    const bool result = TestkitSource::SetStringValue(property, value);
    FollowForm(property);
    return result;
  }
  bool SetEnumValue(VTROProperty* property, const VTROEnumStruct& value) override {
    const bool result = TestkitSource::SetEnumValue(property, value);
    FollowForm(property);
    return result;
  }

  void Birth() override {
    form_ = GetIntegerProperty("Form");
    s_.lines = static_cast<int>(GetIntegerProperty("Lines"));
    s_.wordCount = static_cast<int>(GetIntegerProperty("WordCount"));
    s_.dataType = static_cast<int>(GetIntegerProperty("DataType"));
    s_.csi2Type = static_cast<int>(GetIntegerProperty("Csi2Type"));
    s_.alignment = static_cast<int>(GetIntegerProperty("Alignment"));
    s_.shortPackets = static_cast<int>(GetIntegerProperty("ShortPackets"));
    if (const std::string why = testkit::CheckCsi2Settings(s_); !why.empty()) Fail(why);
    if (form_ == kMipiCsi2Frame && s_.shortPackets != 0) {
      ReportWarning("ShortPackets applies to the FrameHeaderStream form only; the MipiCsi2Frame form has its frame "
                    "start and end records");
    }
    size_ = form_ == kFrameHeaderStream ? testkit::FrameHeaderStreamSize(s_)
                                        : kCsi2PacketAreaOffset + testkit::MipiPacketAreaSize(s_);
    if (size_ > 0x7FFFFFFF) Fail("a frame of " + std::to_string(size_) + " bytes is too large");
    Output("oFrame")->AllocOutputBuffer(static_cast<std::int32_t>(size_), 0);
    StartSource();
  }

  void Core() override {
    if (!NextDue()) return;
    VTROIOElt* element = StartWriting(Output("oFrame"));
    auto* data = static_cast<std::uint8_t*>(element->Data());
    const std::int64_t now = CurrentTime(true, true);
    if (form_ == kFrameHeaderStream) {
      testkit::BuildFrameHeaderStream(data, s_, Written(), now);
    } else {
      VTROMipiCsi2Frame frame{};
      frame.frameNumber = Written();
      frame.timestampUs = now;
      frame.packetCount = testkit::MipiPacketCount(s_);
      frame.lineCount = static_cast<std::uint16_t>(s_.lines);
      frame.wordCount = static_cast<std::uint16_t>(s_.wordCount);
      frame.packetAreaSize = static_cast<std::uint32_t>(testkit::MipiPacketAreaSize(s_));
      frame.packetArea = data + kCsi2PacketAreaOffset;
      std::memset(data, 0, kCsi2PacketAreaOffset);
      std::memcpy(data, &frame, sizeof frame);
      testkit::BuildMipiPacketArea(data + kCsi2PacketAreaOffset, s_, Written());
    }
    element->SetTimestamp(now);
    element->SetVectorSize(static_cast<std::int32_t>(size_));
    StopWriting(element, false);
    CountWritten();
  }

 private:
  static const VTROOutputDefinition* Model(std::int64_t form) { return &g_outputs[form == kMipiCsi2Frame ? 1 : 0]; }

  // After a change of "Form": when "oFrame" has the other type, one Dynamic
  // call drops it and the next makes it from the right entry.
  void FollowForm(VTROProperty* property) {
    if (std::strcmp(property->ShortName(), "Form") != 0 || IsStarted()) return;
    VTROOutput* output = Output("oFrame");
    const std::uint64_t wanted = Model(GetIntegerProperty("Form"))->typeMask;
    if ((output->ElementType()->typeMask & wanted) != 0) return;
    dropOutput_ = true;
    CallDynamic();
    dropOutput_ = false;
    CallDynamic();
  }

  bool dropOutput_ = false;
  std::int64_t form_ = kFrameHeaderStream;
  testkit::Csi2Settings s_;
  std::size_t size_ = 0;
};

TESTKIT_COMPONENT(TestCsi2Source, "TestCsi2Source", nullptr, g_outputs, 0, g_properties, VTRO_THREADING_THREADED);

}  // namespace
