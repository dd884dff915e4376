// TestCamera: IPL images with a moving pattern and the frame number drawn
// into them (pattern.h), "Count" frames (0 = without end) at "Rate" frames
// per second (0 = as fast as the readers take them), on output "oImage".
#include "../pattern.h"
#include "testkit_component.h"

namespace {

VTROPropertyValue g_width(std::int64_t{640});
VTROPropertyValue g_height(std::int64_t{480});
VTROPropertyValue g_channels(std::int64_t{3});
VTROPropertyValue g_depth(std::int64_t{8});
VTROPropertyValue g_rate(30.0);
VTROPropertyValue g_count(std::int64_t{0});
VTROPropertyValue g_done(false);

const VTROPropertyDefinition g_properties[] = {
    {"Width", &g_width, nullptr, testkit::kPlain, 0},
    {"Height", &g_height, nullptr, testkit::kPlain, 0},
    {"Channels", &g_channels, nullptr, testkit::kPlain, 0},
    {"Depth", &g_depth, nullptr, testkit::kPlain, 0},
    {"Rate", &g_rate, nullptr, testkit::kPlain, 0},
    {"Count", &g_count, nullptr, testkit::kPlain, 0},
    {"Done", &g_done, nullptr, testkit::kReadOnly, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

// Buffer size 0: Birth allocates the image ring.
const VTROOutputDefinition g_outputs[] = {
    {"oImage", nullptr, VTRO_TYPE_IPL_IMAGE, nullptr, nullptr, 0, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};

class TestCamera final : public testkit::TestkitSource {
 public:
  using TestkitSource::TestkitSource;

  void Birth() override {
    layout_.width = static_cast<int>(IntegerIn("Width", 1, 16384));
    layout_.height = static_cast<int>(IntegerIn("Height", 1, 16384));
    layout_.channels = static_cast<int>(GetIntegerProperty("Channels"));
    if (layout_.channels != 1 && layout_.channels != 3) {
      Fail("Channels must be 1 (grey) or 3 (RGB), not " + std::to_string(layout_.channels));
    }
    layout_.depth = static_cast<int>(GetIntegerProperty("Depth"));
    if (layout_.depth != 8 && layout_.depth != 16) {
      Fail("Depth must be 8 or 16 bits, not " + std::to_string(layout_.depth));
    }
    // Grey or RGB, pixel order, rows aligned to 8 bytes.
    const IplImage model = IplImageModel(layout_.width, layout_.height, layout_.channels == 1 ? "GRAY" : "RGB",
                                         IPL_DATA_ORDER_PIXEL, layout_.depth == 16 ? IPL_DEPTH_16U : IPL_DEPTH_8U,
                                         IPL_ALIGN_8BYTES);
    layout_.rowStep = model.widthStep;
    Output(0)->AllocOutputBufferIplImage(&model, 0);
    StartSource();
  }

  void Core() override {
    if (!NextDue()) return;
    VTROIOElt* element = StartWriting(Output(0));
    IplImage* image = element->IplImageHeader();
    testkit::DrawCameraFrame(reinterpret_cast<std::uint8_t*>(image->imageData), layout_, Written());
    element->SetVectorSize(element->BufferSize());
    StopWriting(element, false);
    CountWritten();
  }

 private:
  testkit::ImageLayout layout_;
};

TESTKIT_COMPONENT(TestCamera, "TestCamera", nullptr, g_outputs, -1, g_properties, VTRO_THREADING_THREADED);

}  // namespace
