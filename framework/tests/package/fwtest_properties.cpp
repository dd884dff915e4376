// FwTestProperties: properties of every type and flag, a Dynamic that
// creates or drops elements on request, and actions.
#include <new>
#include <string>

#include "fwtest_support.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

VTROPropertyValue g_flagDefault(false);
VTROPropertyValue g_countDefault(std::int64_t{5});
VTROPropertyValue g_ratioDefault(0.5);
VTROPropertyValue g_labelDefault("hello");
VTROPropertyValue g_formatDefault("YUV422|Mono", 0);
VTROPropertyValue g_liveDefault(std::int64_t{0});
VTROPropertyValue g_fixedDefault(std::int64_t{7});
VTROPropertyValue g_requiredDefault(std::int64_t{0});
VTROPropertyValue g_pathDefault("");
VTROPropertyValue g_extraDefault(false);
VTROPropertyValue g_extraValueDefault(std::int64_t{11});

constexpr std::uint32_t kFileMustExist = 0x40 | 0x10;
constexpr std::uint32_t kDirectory = 0x40 | 0x20;

const VTROPropertyDefinition g_properties[] = {
    {"Flag", &g_flagDefault, nullptr, fwtest::kPlain, 0},
    {"Count", &g_countDefault, nullptr, fwtest::kPlain, 0},
    {"Ratio", &g_ratioDefault, nullptr, fwtest::kPlain, 0},
    {"Label", &g_labelDefault, nullptr, fwtest::kPlain, 0},
    {"Format", &g_formatDefault, nullptr, fwtest::kPlain, 0},
    {"Live", &g_liveDefault, nullptr, fwtest::kLive, 0},
    {"Fixed", &g_fixedDefault, nullptr, fwtest::kReadOnly, 0},
    {"Required", &g_requiredDefault, nullptr, fwtest::kMustBeSet, 0},
    {"InFile", &g_pathDefault, nullptr, fwtest::kPlain, kFileMustExist},
    {"OutDir", &g_pathDefault, nullptr, fwtest::kPlain, kDirectory},
    {"Extra", &g_extraDefault, nullptr, fwtest::kPlain, 0},
    {"ExtraValue", &g_extraValueDefault, nullptr, fwtest::kPlain, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

class FwTestProperties : public VTROComponent {
 public:
  FwTestProperties(const char* name, const VTROComponentDefinition* definition) : VTROComponent(name, definition) {}

  void Dynamic() override {
    const bool extra = GetBoolProperty("Extra");
    Say(std::string("Dynamic Extra=") + (extra ? "1" : "0"));
    if (extra) {
      NewProperty("ExtraValue", nullptr);
      NewAction("ExtraPing", nullptr);
    }
  }

  void Birth() override {
    std::string text = "Birth";
    text += std::string(" Flag=") + (GetBoolProperty("Flag") ? "true" : "false");
    text += " Count=" + std::to_string(GetIntegerProperty("Count"));
    text += " Ratio=" + std::to_string(GetFloatProperty("Ratio"));
    text += std::string(" Label=") + GetStringProperty("Label").c_str();
    text += std::string(" Format=") + GetStringProperty("Format").c_str() + "/" +
            std::to_string(GetIntegerProperty("Format"));
    text += " Fixed=" + std::to_string(GetIntegerProperty("Fixed"));
    text += " Required=" + std::to_string(GetIntegerProperty("Required"));
    if (FindProperty("ExtraValue") != nullptr) {
      text += " ExtraValue=" + std::to_string(GetIntegerProperty("ExtraValue"));
    }
    Say(text);
    live_ = GetIntegerProperty("Live");
  }

  void Core() override {
    const auto live = GetIntegerProperty("Live");
    if (live != live_) {
      live_ = live;
      Say("Live=" + std::to_string(live));
    }
    Rest(10000);
  }

  void Ping() { Say("Ping"); }
  void Hello() { Say("Hello"); }
  void ExtraPing() { Say("ExtraPing"); }

 private:
  void Say(const std::string& text) { ReportInfo(text.c_str()); }
  std::int64_t live_ = 0;
};

const VTROActionCallback g_ping{static_cast<void (VTROComponent::*)()>(&FwTestProperties::Ping)};
const VTROActionCallback g_hello{static_cast<void (VTROComponent::*)()>(&FwTestProperties::Hello)};
const VTROActionCallback g_extraPing{static_cast<void (VTROComponent::*)()>(&FwTestProperties::ExtraPing)};

const VTROActionDefinition g_actions[] = {
    {"Ping", &g_ping, 0, {0}},
    {"Hello", &g_hello, 1, {0}},
    {"ExtraPing", &g_extraPing, 0, {0}},
    {nullptr, nullptr, 0, {0}},
};

const VTROInputDefinition g_inputs[] = {{nullptr, nullptr, nullptr, 0, 0}};
const VTROOutputDefinition g_outputs[] = {{nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0}};

VTRO_MODULE_MARKER(g_marker, "VTROComponent", "FwTestProperties", "2.0.0");

VTROComponent* Create(const char* name, const VTROComponentDefinition* definition) {
  return new (std::nothrow) FwTestProperties(name, definition);
}

// The last property (ExtraValue) and the last action (ExtraPing) are made by Dynamic.
VTROComponentDefinition g_definition = {
    "FwTestProperties", "2.0.0", &Create, nullptr, nullptr, 0,
    -1, g_inputs, -1, 0, g_outputs, 11, 0, g_properties, 2, 0, g_actions,
    100, 0, VTRO_THREADING_THREADED, 1, {0}, g_marker};

VTROModuleDefinition* g_module =
    new VTROModuleDefinition("FwTestProperties", "VTROComponent", nullptr, &g_definition);

}  // namespace
