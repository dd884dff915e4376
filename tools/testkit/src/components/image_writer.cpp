// ImageWriter: IPL images read on "iImage" (8 or 16 bits, 1 or 3 channels)
// to PNG files DIRECTORY/image_NNNNNN.png, keeping every "Every"-th image
// (the first, then every n-th after it; NNNNNN counts the images read).
#include <cinttypes>
#include <cstdio>

#include "../dump_writer.h"
#include "../png_writer.h"
#include "testkit_component.h"

namespace {

VTROPropertyValue g_directory("images");
VTROPropertyValue g_every(std::int64_t{1});

const VTROPropertyDefinition g_properties[] = {
    {"Directory", &g_directory, nullptr, testkit::kPlain, VTRO_HINT_PATH_IS_DIRECTORY},
    {"Every", &g_every, nullptr, testkit::kPlain, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const VTROTypeFilter g_images = {0, 0, VTRO_TYPE_IPL_IMAGE, nullptr, {0, 0, 0}};
const VTROInputDefinition g_inputs[] = {
    {"iImage", nullptr, &g_images, NeverSkippingReader, 1},
    {nullptr, nullptr, nullptr, 0, 0},
};

class ImageWriter final : public testkit::TestkitComponent {
 public:
  using TestkitComponent::TestkitComponent;

  void Birth() override {
    directory_ = Text("Directory");
    every_ = static_cast<std::uint64_t>(IntegerIn("Every", 1, INT32_MAX));
    std::string error;
    if (!testkit::MakeDirectories(directory_, error)) Fail(error);
    read_ = 0;
  }

  void Core() override {
    VTROInput* input = Input(0);
    VTROIOElt* element = StartReading(input);
    if (element == nullptr) return;
    const std::uint64_t index = read_++;
    if (index % every_ != 0) {
      StopReading(input);
      return;
    }
    const IplImage* image = element->IplImageHeader();
    const int depth = image->depth & 0xFF;
    std::string error = testkit::CheckPngImage(image->width, image->height, image->nChannels, depth);
    bool written = false;
    if (error.empty()) {
      std::snprintf(path_, sizeof path_, "%s/image_%06" PRIu64 ".png", directory_.c_str(), index);
      written = png_.Write(path_, {image->width, image->height, image->nChannels, depth,
                                   static_cast<std::size_t>(image->widthStep),
                                   reinterpret_cast<const std::uint8_t*>(image->imageData)},
                           error);
    }
    StopReading(input);
    if (!written) Fail("image " + std::to_string(index) + ": " + error);
  }

 private:
  std::string directory_;
  std::uint64_t every_ = 1;
  std::uint64_t read_ = 0;
  char path_[4096] = {};
  testkit::PngWriter png_;
};

TESTKIT_COMPONENT(ImageWriter, "ImageWriter", g_inputs, nullptr, -1, g_properties, VTRO_THREADING_THREADED);

}  // namespace
