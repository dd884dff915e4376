// StillCamera (package vtro_bench_client.pck, for the benchmark only): the
// same 16-bit grey IPL image again and again, as fast as the readers take
// it, so that the source costs next to nothing beside the client (qtu-cli
// stream also sends one synthetic frame again and again). Each element of
// the ring is filled the first time it is used; the image is a gradient.
#include <new>
#include <set>

#include "vtro/VTROComponent.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

VTROPropertyValue g_width(std::int32_t{1920});
VTROPropertyValue g_height(std::int32_t{1080});

const VTROPropertyDefinition g_properties[] = {
    {"Width", &g_width, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
    {"Height", &g_height, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};
const VTROOutputDefinition g_outputs[] = {
    {"oImage", nullptr, VTRO_TYPE_IPL_IMAGE, nullptr, nullptr, 0, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};
const VTROInputDefinition g_inputs[] = {{nullptr, nullptr, nullptr, 0, 0}};
const VTROActionDefinition g_actions[] = {{nullptr, nullptr, 0, {}}};

class StillCamera final : public VTROComponent {
 public:
  using VTROComponent::VTROComponent;

  void Birth() override {
    const IplImage model =
        IplImageModel(static_cast<std::int32_t>(GetIntegerProperty("Width")),
                      static_cast<std::int32_t>(GetIntegerProperty("Height")), "GRAY", IPL_DATA_ORDER_PIXEL,
                      IPL_DEPTH_16U, IPL_ALIGN_8BYTES);
    Output(0)->AllocOutputBufferIplImage(&model, 0);
    m_filled.clear();
  }

  void Core() override {
    VTROIOElt* element = StartWriting(Output(0));
    IplImage* image = element->IplImageHeader();
    if (m_filled.insert(image->imageData).second) {
      for (std::int32_t i = 0; i < image->imageSize; ++i) image->imageData[i] = static_cast<char>(i * 7 + (i >> 12));
    }
    element->SetVectorSize(element->BufferSize());
    StopWriting(element, false);
  }

 private:
  std::set<const char*> m_filled;
};

VTRO_MODULE_MARKER(g_marker, "VTROComponent", "StillCamera", "1.0.0");

const VTROComponentDefinition g_definition{
    "StillCamera", "1.0.0",
    [](const char* name, const VTROComponentDefinition* d) -> VTROComponent* {
      return new (std::nothrow) StillCamera(name, d);
    },
    nullptr, nullptr, 0, -1, g_inputs, -1, 0, g_outputs, -1, 0, g_properties, -1, 0, g_actions, 128, 0,
    VTRO_THREADING_THREADED, 1, {}, g_marker};

}  // namespace

VTRO_REGISTER_COMPONENT(g_stillCameraModule, "StillCamera", g_definition);
