// Actions: named commands of a component that the engine triggers.
#include <cstring>

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
  m_moduleLock.Lock();
  if (IsDying()) {
    m_moduleLock.Unlock();
    throw VTRO::StopException;
  }
  if (definition == nullptr || definition->name == nullptr) {
    m_moduleLock.Unlock();
    Error("Call to NewAction failed. Bad action definition.", 2, 0);
  }
  if (name != nullptr && !VTRO::IsValidName(name)) {
    m_moduleLock.Unlock();
    Error(vtro::Format("Trying to create an action with an invalid name: %s", name).c_str(), 1, 0);
  }
  const char* shortName = name != nullptr ? name : definition->name;
  const VTROStackedString fullName = FullNameOf(shortName);
  VTROAction* action = nullptr;
  for (VTROAction* existing : m_actions) {
    if (std::strcmp(existing->FullName(), fullName.c_str()) == 0) action = existing;
  }
  if (action == nullptr) {
    VTROActionImplementation* created = new VTROActionImplementation(this, definition, shortName, fullName.c_str());
    auto* item = m_actions.Append(created);
    VTROEngineInterface* engine = VTRO::Engine();
    if (engine != nullptr && !engine->RegisterAction(created)) {
      m_actions.Remove(item);
      delete created;
      m_moduleLock.Unlock();
      Error(vtro::Format("Can't create action %s. The symbol already exists.", fullName.c_str()).c_str(), 1, 0);
    }
    action = created;
  }
  MarkDeclared(action, fullName.c_str());
  AddSymbol(fullName.c_str());
  m_moduleLock.Unlock();
  return action;
}

VTROAction* VTROComponent::NewAction(const char* modelName, const char* name) {
  const VTROActionDefinition* table = m_definition != nullptr ? m_definition->actions : nullptr;
  for (const VTROActionDefinition* entry = table; entry != nullptr && entry->name != nullptr; ++entry) {
    if (modelName != nullptr && std::strcmp(entry->name, modelName) == 0) return NewAction(entry, name);
  }
  Error(vtro::Format("Call to NewAction(%s, %s) failed. The given model (%s) does not exist.",
                     modelName != nullptr ? modelName : "", name != nullptr ? name : "",
                     modelName != nullptr ? modelName : "")
            .c_str(),
        2, 0);
  throw VTRO::ErrorException;  // Error does not return; virtual calls are not known to the compiler as such
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
  const VTROPropertyDefinition* table = m_definition != nullptr ? m_definition->properties : nullptr;
  for (const VTROPropertyDefinition* entry = table; entry != nullptr && entry->name != nullptr; ++entry) {
    if (modelName != nullptr && std::strcmp(entry->name, modelName) == 0) return NewProperty(entry, name);
  }
  Error(vtro::Format("Call to NewProperty(%s, %s) failed. The given model (%s) does not exist.",
                     modelName != nullptr ? modelName : "", name != nullptr ? name : "",
                     modelName != nullptr ? modelName : "")
            .c_str(),
        2, 0);
  throw VTRO::ErrorException;  // Error does not return; virtual calls are not known to the compiler as such
}
