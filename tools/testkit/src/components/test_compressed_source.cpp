// TestCompressedSource: compressed-image elements (compressed.h), "Size"
// bytes of data in "Lines" lines, on output "oImage".
#include "../compressed.h"
#include "testkit_component.h"

namespace {

VTROPropertyValue g_size(std::int64_t{65536});
VTROPropertyValue g_lines(std::int64_t{16});
VTROPropertyValue g_rate(30.0);
VTROPropertyValue g_count(std::int64_t{0});
VTROPropertyValue g_done(false);

const VTROPropertyDefinition g_properties[] = {
    {"Size", &g_size, nullptr, testkit::kPlain, 0},
    {"Lines", &g_lines, nullptr, testkit::kPlain, 0},
    {"Rate", &g_rate, nullptr, testkit::kPlain, 0},
    {"Count", &g_count, nullptr, testkit::kPlain, 0},
    {"Done", &g_done, nullptr, testkit::kReadOnly, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const VTROOutputDefinition g_outputs[] = {
    {"oImage", nullptr, VTRO_TYPE_COMPRESSED_IMAGE, nullptr, nullptr, 0, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};

static_assert(sizeof(VTROCompressedImage) == testkit::kCompressedRecordSize);
static_assert(offsetof(VTROCompressedImage, lineCount) == testkit::kCompressedLinesAt);
static_assert(offsetof(VTROCompressedImage, dataSize) == testkit::kCompressedDataSizeAt);
static_assert(offsetof(VTROCompressedImage, size) == testkit::kCompressedSizeAt);
static_assert(offsetof(VTROCompressedImage, data) == testkit::kCompressedDataAt);

class TestCompressedSource final : public testkit::TestkitSource {
 public:
  using TestkitSource::TestkitSource;

  void Birth() override {
    size_ = GetIntegerProperty("Size");
    lines_ = GetIntegerProperty("Lines");
    if (const std::string why = testkit::CheckCompressedSettings(size_, lines_); !why.empty()) Fail(why);
    Output(0)->AllocOutputBuffer(static_cast<std::int32_t>(testkit::kCompressedRecordSize + size_), 0);
    StartSource();
  }

  void Core() override {
    if (!NextDue()) return;
    VTROIOElt* element = StartWriting(Output(0));
    testkit::FillCompressedImage(static_cast<std::uint8_t*>(element->Data()), static_cast<std::int32_t>(size_),
                                 static_cast<std::int32_t>(lines_), Written());
    element->SetVectorSize(static_cast<std::int32_t>(testkit::kCompressedRecordSize + size_));
    StopWriting(element, false);
    CountWritten();
  }

 private:
  std::int64_t size_ = 0;
  std::int64_t lines_ = 0;
};

TESTKIT_COMPONENT(TestCompressedSource, "TestCompressedSource", nullptr, g_outputs, -1, g_properties,
                  VTRO_THREADING_THREADED);

}  // namespace
