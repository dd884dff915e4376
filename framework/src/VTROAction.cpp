// Actions: named commands of a component that the engine triggers.
#include "VTROElementCreation.h"
#include "framework_internal.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

class VTROActionImplementation final : public VTROAction {
 public:
  VTROActionImplementation(VTROComponent* component, const VTROActionDefinition* definition, const char* shortName,
                           const char* fullName)
      : m_fullName(fullName),
        m_shortName(shortName),
        m_callback(definition->callback != nullptr ? *definition->callback : VTROActionCallback{nullptr}),
        m_allowedWhileNotRunning(definition->allowedWhileNotRunning),
        m_component(component) {}

  const char* FullName() const override { return m_fullName.c_str(); }
  const char* ShortName() const override { return m_shortName.c_str(); }
  VTROComponent* Component() const override { return m_component; }
  bool AllowedWhileNotRunning() const override { return m_allowedWhileNotRunning == 1; }
  void Trigger() override {
    if (m_allowedWhileNotRunning != 1 && (m_component->State() & VTRO_STATE_DEAD) != 0) {
      m_component->Report("This action is not allowed when the component is not running.", 1, 0);
      return;
    }
    if (m_callback.method != nullptr) (m_component->*m_callback.method)();
  }
  void SetModuleName(const char* moduleName) override {
    m_fullName = moduleName;
    m_fullName.Append(".");
    m_fullName += m_shortName;
  }

 private:
  VTROStackedString m_fullName;
  VTROStackedString m_shortName;
  VTROActionCallback m_callback;
  std::uint8_t m_allowedWhileNotRunning;
  VTROComponent* m_component;
};

VTROAction* VTROComponent::NewAction(const VTROActionDefinition* definition, const char* name) {
  static constexpr VTROElementTexts kTexts{"Call to NewAction failed. Bad action definition.",
                                           "Trying to create an action with an invalid name: %s",
                                           "Can't create action %s. The symbol already exists."};
  return VTROFrameworkAccess::NewElement<VTROActionImplementation>(
      *this, m_actions, definition, name, kTexts, &VTROEngineInterface::RegisterAction,
      [](VTROActionImplementation*) {},
      [this](VTROAction* action, const char* fullName) { MarkDeclared(action, fullName); });
}

VTROAction* VTROComponent::NewAction(const char* modelName, const char* name) {
  return VTROFrameworkAccess::NewFromModel(
      *this, m_definition != nullptr ? m_definition->actions : nullptr, "NewAction", modelName, name,
      [this](const VTROActionDefinition* entry, const char* given) { return NewAction(entry, given); });
}

VTROAction* VTROComponent::Action(const char* name) {
  VTROAction* action = EngineFindAction(name);
  if (action != nullptr) return action;
  FatalReport(vtro::Format("Trying to access unknown action %s of %s %s", name != nullptr ? name : "", KindName(), Name())
                  .c_str(),
              1);
}

VTROAction* VTROComponent::Action(std::int32_t index) {
  VTROAction* action = EngineActionAt(index);
  if (action != nullptr) return action;
  FatalReport(vtro::Format("Trying to access unknown action #%d of %s %s", index, KindName(), Name()).c_str(), 1);
}

VTROProperty* VTROComponent::NewProperty(const char* modelName, const char* name) {
  return VTROFrameworkAccess::NewFromModel(
      *this, m_definition != nullptr ? m_definition->properties : nullptr, "NewProperty", modelName, name,
      [this](const VTROPropertyDefinition* entry, const char* given) { return NewProperty(entry, given); });
}
