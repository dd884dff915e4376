// Package entry points and the module registry: groups (categories) of module
// definitions, filled by static objects while the package loads.
#pragma once

#include <cstdint>
#include <new>

#include "vtro/VTROList.h"

class VTROEngineInterface;
class VTROModule;
class VTRODynamicLibrary;

#if defined(_WIN32)
#define VTRO_PACKAGE_EXPORT __declspec(dllexport)
#else
#define VTRO_PACKAGE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
// Accepts the engine interface when `interfaceCode` is 0x804A8: returns 4,
// else 0. The first accepted call runs the module-init pass and keeps the
// engine pointer for good.
VTRO_PACKAGE_EXPORT std::int32_t VTROPckInit(VTROEngineInterface* engine, std::int32_t interfaceCode);
// records null: number of module definitions (of `groupName` and its
// subgroups, or of all groups for null; -1 for an unknown group). Otherwise
// fills up to `capacity` definition record pointers and returns how many.
VTRO_PACKAGE_EXPORT std::int32_t VTROGetModulesDefStruct(const char* groupName, void** records, std::int32_t capacity);
}

using VTROModuleCreator = VTROModule* (*)(const char* instanceName, void* definitionRecord);
using VTROModuleInitCallback = void (*)(void* definitionRecord);
using VTROModuleExitCallback = void (*)(void* definitionRecord);
using VTROGroupCallback = void (*)();

class VTROModuleDefinition {
 public:
  // Registers the definition in the group `groupName` (created when missing).
  VTROModuleDefinition(const char* name, const char* groupName, VTROModuleCreator creator, void* definitionRecord,
                       VTROModuleInitCallback init = nullptr, VTROModuleExitCallback exit = nullptr);
  VTROModuleDefinition(const VTROModuleDefinition&) = delete;
  VTROModuleDefinition& operator=(const VTROModuleDefinition&) = delete;
  // Unlinks from its group, frees the name, calls the exit callback.
  virtual ~VTROModuleDefinition();

  const char* Name() const { return m_name; }
  const char* GroupName() const { return m_groupName; }
  VTROModuleCreator Creator() const { return m_creator; }
  VTROModuleInitCallback InitCallback() const { return m_init; }
  VTROModuleExitCallback ExitCallback() const { return m_exit; }
  void* DefinitionRecord() const { return m_definitionRecord; }

 private:
  friend class VTROModuleGroupDefinition;
  char* m_name;
  const char* m_groupName;
  VTROModuleCreator m_creator;
  VTROModuleInitCallback m_init;
  VTROModuleExitCallback m_exit;
  void* m_definitionRecord;
};

class VTROModuleGroupDefinition {
 public:
  // Creates the group, adopting the contents of a registered group of the
  // same name, and hangs it under `parentGroupName` when given.
  VTROModuleGroupDefinition(const char* name, VTROGroupCallback init = nullptr, VTROGroupCallback exit = nullptr,
                            const char* parentGroupName = nullptr);
  VTROModuleGroupDefinition(const VTROModuleGroupDefinition&) = delete;
  VTROModuleGroupDefinition& operator=(const VTROModuleGroupDefinition&) = delete;
  virtual ~VTROModuleGroupDefinition();

  const char* Name() const { return m_name; }
  VTROList<VTROModuleDefinition*>& Modules() { return m_modules; }
  VTROList<VTROModuleGroupDefinition*>& Subgroups() { return m_subgroups; }

 private:
  friend class VTROModuleDefinition;
  char* m_name;
  VTROGroupCallback m_init;
  VTROGroupCallback m_exit;
  VTROList<VTROModuleDefinition*> m_modules;
  VTROList<VTROModuleGroupDefinition*> m_subgroups;
};

// A dynamic library loaded through the framework (used to wrap a second
// package library).
class VTRODynamicLibrary {
 public:
  VTRODynamicLibrary() = default;
  VTRODynamicLibrary(const VTRODynamicLibrary&) = delete;
  VTRODynamicLibrary& operator=(const VTRODynamicLibrary&) = delete;
  virtual ~VTRODynamicLibrary();
  virtual bool Load(const char* path);
  virtual bool IsLoaded() const { return m_handle != nullptr; }
  virtual void* Symbol(const char* name) const;
  virtual void Unload();

 private:
  void* m_handle = nullptr;
};

namespace VTRO {
// The package's group list (created when missing).
VTROList<VTROModuleGroupDefinition*>& ModuleGroups();
// The first group of that name, or null.
VTROModuleGroupDefinition* FindModuleGroup(const char* name);
// Module definitions of a group and, with `recursive`, its subgroups; of all
// groups for a null name; -1 for an unknown name.
std::int32_t CountModules(const char* groupName, bool recursive = true);
// Writes up to `capacity` definitions in registry order; returns how many.
std::int32_t FillModules(const char* groupName, VTROModuleDefinition** out, std::int32_t capacity);
// Forwards VTROPckInit to a wrapped package library. See the package guide.
bool ForwardPckInitToLibrary(VTRODynamicLibrary* library, std::int32_t* result);
}  // namespace VTRO

// Registers a component class at load time under `moduleName` in the group
// "VTROComponent". The pointer stays null when memory runs out (the component
// is then missing from the registry; nothing is reported).
#define VTRO_REGISTER_COMPONENT(symbol, moduleName, definitionRecord)                      \
  VTROModuleDefinition* const symbol = new (std::nothrow) VTROModuleDefinition(            \
      moduleName, "VTROComponent", nullptr, const_cast<void*>(static_cast<const void*>(&(definitionRecord))))

// Stores the marker "$!VTRO_MODULE!<group>!<component>!$!<version>!$" in
// read-only data under `symbol`. Use at namespace scope of a component source.
#define VTRO_MODULE_MARKER(symbol, group, component, version) \
  __attribute__((used)) static const char symbol[] = "$!VTRO_MODULE!" group "!" component "!$!" version "!$"
