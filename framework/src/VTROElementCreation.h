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
  //
  // Whatever is raised while the element is made (a stop, a refused system
  // property, no memory) rolls the half-made element back: it leaves the list
  // and the engine together with the properties made for it. The lock is a
  // scoped one; errors are raised once it is given back.
  template <typename Implementation, typename Owner, typename Element, typename Definition, typename AfterCreation,
            typename Declare>
  static Element* NewElement(Owner& owner, VTROList<Element*>& list, const Definition* definition, const char* name,
                             const VTROElementTexts& texts, bool (VTROEngineInterface::*registerWith)(Element*),
                             AfterCreation afterCreation, Declare declare) {
    VTROModule& module = owner;
    VTROStackedString failure;
    int failureLevel = 1;
    Element* element = nullptr;
    {
      VTROLock lock(module.m_moduleLock);
      if (module.IsDying()) throw VTRO::StopException;
      if (definition == nullptr || definition->name == nullptr) {
        failure = texts.badDefinition;
        failureLevel = 2;
      } else if (name != nullptr && !VTRO::IsValidName(name)) {
        failure = vtro::Format(texts.invalidName, name);
      } else {
        const char* shortName = name != nullptr ? name : definition->name;
        const VTROStackedString fullName = module.FullNameOf(shortName);
        for (Element* existing : list) {
          if (std::strcmp(existing->FullName(), fullName.c_str()) == 0) element = existing;
        }
        if (element == nullptr) {
          element = Create<Implementation>(owner, list, definition, shortName, fullName, registerWith, afterCreation);
          if (element == nullptr) failure = vtro::Format(texts.symbolExists, fullName.c_str());
        }
        if (element != nullptr) {
          declare(element, fullName.c_str());
          module.AddSymbol(fullName.c_str());
        }
      }
    }
    if (!failure.empty()) module.Error(failure.c_str(), failureLevel, 0);
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

 private:
  // Makes, registers and completes one element (module lock held); null when
  // the engine refused its full name.
  template <typename Implementation, typename Owner, typename Element, typename Definition, typename AfterCreation>
  static Element* Create(Owner& owner, VTROList<Element*>& list, const Definition* definition, const char* shortName,
                         const VTROStackedString& fullName, bool (VTROEngineInterface::*registerWith)(Element*),
                         AfterCreation afterCreation) {
    VTROModule& module = owner;
    const std::int32_t propertiesBefore = module.m_properties.Count();
    Implementation* created = new Implementation(&owner, definition, shortName, fullName.c_str());
    typename VTROList<Element*>::Item* item = nullptr;
    bool registered = false;
    try {
      item = list.Append(created);
      VTROEngineInterface* engine = VTRO::Engine();
      registered = engine == nullptr || (engine->*registerWith)(created);
      if (!registered) {
        list.Remove(item);
        delete created;
        return nullptr;
      }
      afterCreation(created);
    } catch (...) {
      RollBack(module, propertiesBefore, static_cast<void*>(created));
      if (item != nullptr) list.Remove(item);
      VTROEngineInterface* engine = VTRO::Engine();
      if (registered && engine != nullptr) engine->UnregisterSymbol(created->FullName());
      delete created;
      throw;
    }
    return created;
  }

  // Removes the properties made after the first `propertiesBefore` (the
  // system properties of a half-made element), `except` the element itself.
  static void RollBack(VTROModule& module, std::int32_t propertiesBefore, const void* except) {
    VTROEngineInterface* engine = VTRO::Engine();
    auto* item = module.m_properties.At(propertiesBefore);
    while (item != nullptr) {
      auto* next = item->Next();
      VTROProperty* property = item->Value();
      if (static_cast<const void*>(property) != except) {
        if (engine != nullptr) engine->UnregisterSymbol(property->FullName());
        module.RemoveSymbol(property->FullName());
        module.m_declaredInDynamic.RemoveValue(property);
        module.m_properties.Remove(item);
        delete property;
      }
      item = next;
    }
  }
};

