// The creation path shared by NewInput, NewOutput, NewAction and NewProperty,
// and their lookup by model name. Framework sources only.
#pragma once

#include <cstring>

#include "framework_internal.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

// The texts of one element kind; each kind keeps its own wording.
struct VTROElementTexts {
  const char* badDefinition;  // error, level 2: null definition or definition name
  const char* invalidName;    // format of the given name, level 1
  const char* symbolExists;   // format of the full name, level 1: the engine refused it
};

class VTROFrameworkAccess {
 public:
  // Create or keep, under the module lock: raises 57005 when the module is
  // dying, an error on a bad definition or name; keeps the element of `list`
  // with the same full name, or creates an `Implementation(&owner, definition,
  // shortName, fullName)`, registers it with the engine (refused: removed,
  // destroyed, error) and runs `afterCreation(created)`. Then
  // `declare(element, fullName)` and the symbol.
  template <typename Implementation, typename Owner, typename Element, typename Definition, typename AfterCreation,
            typename Declare>
  static Element* NewElement(Owner& owner, VTROList<Element*>& list, const Definition* definition, const char* name,
                             const VTROElementTexts& texts, bool (VTROEngineInterface::*registerWith)(Element*),
                             AfterCreation afterCreation, Declare declare) {
    VTROModule& module = owner;
    module.m_moduleLock.Lock();
    if (module.IsDying()) {
      module.m_moduleLock.Unlock();
      throw VTRO::StopException;
    }
    if (definition == nullptr || definition->name == nullptr) {
      module.m_moduleLock.Unlock();
      module.Error(texts.badDefinition, 2, 0);
    }
    if (name != nullptr && !VTRO::IsValidName(name)) {
      module.m_moduleLock.Unlock();
      module.Error(vtro::Format(texts.invalidName, name).c_str(), 1, 0);
    }
    const char* shortName = name != nullptr ? name : definition->name;
    const VTROStackedString fullName = module.FullNameOf(shortName);
    Element* element = nullptr;
    for (Element* existing : list) {
      if (std::strcmp(existing->FullName(), fullName.c_str()) == 0) element = existing;
    }
    if (element == nullptr) {
      Implementation* created = new Implementation(&owner, definition, shortName, fullName.c_str());
      auto* item = list.Append(created);
      VTROEngineInterface* engine = VTRO::Engine();
      if (engine != nullptr && !(engine->*registerWith)(created)) {
        list.Remove(item);
        delete created;
        module.m_moduleLock.Unlock();
        module.Error(vtro::Format(texts.symbolExists, fullName.c_str()).c_str(), 1, 0);
      }
      afterCreation(created);
      element = created;
    }
    declare(element, fullName.c_str());
    module.AddSymbol(fullName.c_str());
    module.m_moduleLock.Unlock();
    return element;
  }

  // `newElement(entry, name)` for the entry of the null-ended `table` named
  // `modelName`; an error (level 2) when there is none. `call` names the
  // public call in the text ("NewInput").
  template <typename Definition, typename NewFromEntry>
  static auto NewFromModel(VTROModule& module, const Definition* table, const char* call, const char* modelName,
                           const char* name, NewFromEntry newElement) {
    for (const Definition* entry = table; entry != nullptr && entry->name != nullptr; ++entry) {
      if (modelName != nullptr && std::strcmp(entry->name, modelName) == 0) return newElement(entry, name);
    }
    module.Error(vtro::Format("Call to %s(%s, %s) failed. The given model (%s) does not exist.", call,
                              modelName != nullptr ? modelName : "", name != nullptr ? name : "",
                              modelName != nullptr ? modelName : "")
                     .c_str(),
                 2, 0);
    throw VTRO::ErrorException;  // Error does not return; virtual calls are not known to the compiler as such
  }
};
