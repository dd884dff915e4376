// ElementDump: writes the data of every element read on "iData" (any type)
// to DIRECTORY/NNNNNN.bin and a line "index timestamp size" to
// DIRECTORY/index.txt (dump_writer.h). For an IPL image the data is its
// pixel data (image size bytes, rows at their stride); for other types the
// valid data: vector size times the type's element size (bytes for streams
// and structures). The input never skips, so every element is written; it
// runs threaded or, with threaded false, sequentially.
#include <algorithm>

#include "../dump_writer.h"
#include "testkit_component.h"

namespace {

VTROPropertyValue g_directory("dump");

const VTROPropertyDefinition g_properties[] = {
    {"Directory", &g_directory, nullptr, testkit::kPlain, VTRO_HINT_PATH_IS_DIRECTORY},
    {nullptr, nullptr, nullptr, 0, 0},
};

// Every type bit but the vector flag; no structure-name list.
const VTROTypeFilter g_anyType = {0, 0, ~VTRO_TYPE_VECTOR_FLAG, nullptr, {0, 0, 0}};
const VTROInputDefinition g_inputs[] = {
    {"iData", nullptr, &g_anyType, NeverSkippingReader, 1},
    {nullptr, nullptr, nullptr, 0, 0},
};

class ElementDump final : public testkit::TestkitComponent {
 public:
  using TestkitComponent::TestkitComponent;

  void Birth() override {
    std::string error;
    if (!dump_.Open(Text("Directory"), error)) Fail(error);
  }

  void Core() override {
    VTROInput* input = Input(0);
    VTROIOElt* element = StartReading(input);
    if (element == nullptr) return;
    const void* data = element->Data();
    std::size_t size = 0;
    const std::uint64_t type = element->Type()->typeMask & ~VTRO_TYPE_VECTOR_FLAG;
    if (type == VTRO_TYPE_IPL_IMAGE) {
      const IplImage* image = static_cast<const IplImage*>(data);
      data = image->imageData;
      size = image->imageSize > 0 ? static_cast<std::size_t>(image->imageSize) : 0;
    } else {
      const std::int32_t unit = VTROTypeElementSize(type);
      const std::int32_t count = std::min(element->VectorSize(), element->BufferSize());
      size = count > 0 ? static_cast<std::size_t>(count) * static_cast<std::size_t>(unit) : 0;
    }
    std::string error;
    const bool written = dump_.Write(element->Timestamp(), data, size, error);
    StopReading(input);
    if (!written) Fail(error);
  }

  void Death() override { dump_.Close(); }

 private:
  testkit::DumpWriter dump_;
};

TESTKIT_COMPONENT(ElementDump, "ElementDump", g_inputs, nullptr, -1, g_properties,
                  VTRO_THREADING_THREADED | VTRO_THREADING_SEQUENTIAL);

}  // namespace
