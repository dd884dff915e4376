// The definition of QzQtuImageConverter as the engine reads it: the record
// and its input, output, property and (empty) action tables, and the
// registration of VTROraw2qtu_ipl in the group "VTROComponent". The objects
// the tables point to are built by the static initialisers of this file, in
// the order below, before the registration at its end.
#include <new>

#include "VTROraw2qtu_ipl.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

// ---- Inputs ----
const VTROTypeFilter g_frameFilter{0, 0, VTRO_TYPE_BYTE_STREAM, nullptr, {0, 0, 0}};
static_assert(VTRO_TYPE_BYTE_STREAM == 0x1000);

const VTROInputDefinition g_inputs[] = {
    {"frame_in", nullptr, &g_frameFilter, FifoReader, 1},
    {nullptr, nullptr, nullptr, 0, 0},
};

// ---- Outputs ----
const VTROStackedString g_noName;
static_assert(VTRO_TYPE_IPL_IMAGE == 0x20);

// Buffer size 0: Birth allocates the image ring itself.
const VTROOutputDefinition g_outputs[] = {
    {"QTU_IPLImage", nullptr, VTRO_TYPE_IPL_IMAGE, &g_noName, &g_noName, 0, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};

// ---- Properties (none may change while the component runs) ----
constexpr std::uint32_t kPlain = VTRO_FLAG_ENUM_VALUES_FIXED;
static_assert(kPlain == 0x01000000);

VTROPropertyValue g_width(std::int32_t{1280});
VTROPropertyValue g_height(std::int32_t{800});
VTROPropertyValue g_bitPxIn(std::int32_t{16});
VTROPropertyValue g_usedBitPxIn(std::int32_t{10});
VTROPropertyValue g_inputFormat("YUV422|Mono", 0);
VTROPropertyValue g_alignmentIn("MSB|LSB", 0);
VTROPropertyValue g_outputFormat("YUYV_in_24bitRGB|Mono16Bit", 0);

const VTROPropertyDefinition g_properties[] = {
    {"Width", &g_width, nullptr, kPlain, 0},
    {"Height", &g_height, nullptr, kPlain, 0},
    {"BitPx_In", &g_bitPxIn, nullptr, kPlain, 0},
    {"UsedBitPx_In", &g_usedBitPxIn, nullptr, kPlain, 0},
    {"InputFormat", &g_inputFormat, nullptr, kPlain, 0},
    {"Alignment_In", &g_alignmentIn, nullptr, kPlain, 0},
    {"OutputFormat", &g_outputFormat, nullptr, kPlain, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

// ---- Actions: none ----
const VTROActionDefinition g_actions[] = {
    {nullptr, nullptr, 0, {}},
};

VTRO_MODULE_MARKER(g_marker, "VTROComponent", "QzQtuImageConverter", "1.0.0");

VTROComponent* CreateImageConverter(const char* instanceName, const VTROComponentDefinition* definition) {
  return new (std::nothrow) VTROraw2qtu_ipl(instanceName, definition);
}

const VTROComponentDefinition g_definition{
    "QzQtuImageConverter",
    "1.0.0",
    &CreateImageConverter,
    nullptr,
    nullptr,
    0,
    -1,
    g_inputs,
    -1,
    0,
    g_outputs,
    -1,
    0,
    g_properties,
    -1,
    0,
    g_actions,
    128,
    0,
    VTRO_THREADING_THREADED,
    1,
    {},
    g_marker,
};

}  // namespace

const VTROComponentDefinition& Raw2QtuIplDefinition() { return g_definition; }

VTRO_REGISTER_COMPONENT(g_imageConverterModule, "VTROraw2qtu_ipl", g_definition);
