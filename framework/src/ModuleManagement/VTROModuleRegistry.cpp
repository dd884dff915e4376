// Module registry and the two package entry points.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/vtro_platform.h"
#include "vtro/VTROEngineInterface.h"
#include "vtro/VTROEvent.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

constexpr const char* kRegistryTitle = ".\\src\\ModuleManagement";

// Package-wide state. The group list is made on first use, so registrations
// from static initialisers of any translation unit find it.
VTROEngineInterface* g_engine = nullptr;
unsigned char g_initialised = 0;

VTROMutex& EntryLock() {
  static VTROMutex lock;
  return lock;
}

char* CopyName(const char* name) {
  if (name == nullptr) return nullptr;
  const std::size_t length = std::strlen(name) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (copy != nullptr) std::memcpy(copy, name, length);
  return copy;
}

bool SameName(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

void RunModuleInitPass() {
  VTROList<VTROModuleGroupDefinition*>& groups = VTRO::ModuleGroups();
  g_initialised = 1;
  for (VTROModuleGroupDefinition* group : groups) {
    for (VTROModuleDefinition* module : group->Modules()) {
      if (module->InitCallback() != nullptr) module->InitCallback()(module->DefinitionRecord());
    }
  }
}

std::int32_t CountGroup(VTROModuleGroupDefinition* group) {
  std::int32_t count = group->Modules().Count();
  for (VTROModuleGroupDefinition* subgroup : group->Subgroups()) {
    // Each subgroup is looked up again by its name.
    VTROModuleGroupDefinition* found = VTRO::FindModuleGroup(subgroup->Name());
    if (found != nullptr) count += CountGroup(found);
  }
  return count;
}

std::int32_t CollectGroup(VTROModuleGroupDefinition* group, VTROModuleDefinition** out, std::int32_t capacity) {
  std::int32_t written = 0;
  for (VTROModuleDefinition* module : group->Modules()) {
    if (written >= capacity) return written;
    out[written++] = module;
  }
  for (VTROModuleGroupDefinition* subgroup : group->Subgroups()) {
    if (written >= capacity) return written;
    written += CollectGroup(subgroup, out + written, capacity - written);
  }
  return written;
}

}  // namespace

namespace VTRO {

VTROList<VTROModuleGroupDefinition*>& ModuleGroups() {
  // Never freed while the library is loaded (no exit callback runs at unload).
  static VTROList<VTROModuleGroupDefinition*>* groups = new VTROList<VTROModuleGroupDefinition*>;
  return *groups;
}

VTROModuleGroupDefinition* FindModuleGroup(const char* name) {
  for (VTROModuleGroupDefinition* group : ModuleGroups()) {
    if (SameName(group->Name(), name)) return group;
  }
  return nullptr;
}

std::int32_t CountModules(const char* groupName, bool recursive) {
  VTROList<VTROModuleGroupDefinition*>& groups = ModuleGroups();
  if (groupName == nullptr) {
    std::int32_t count = 0;
    for (VTROModuleGroupDefinition* group : groups) count += group->Modules().Count();
    return count;
  }
  VTROModuleGroupDefinition* group = FindModuleGroup(groupName);
  if (group == nullptr) return -1;
  return recursive ? CountGroup(group) : group->Modules().Count();
}

std::int32_t FillModules(const char* groupName, VTROModuleDefinition** out, std::int32_t capacity) {
  if (out == nullptr || capacity < 1) return 0;
  if (groupName == nullptr) {
    std::int32_t written = 0;
    for (VTROModuleGroupDefinition* group : ModuleGroups()) {
      for (VTROModuleDefinition* module : group->Modules()) {
        if (written >= capacity) return written;
        out[written++] = module;
      }
    }
    return written;
  }
  VTROModuleGroupDefinition* group = FindModuleGroup(groupName);
  return group == nullptr ? 0 : CollectGroup(group, out, capacity);
}

VTROEngineInterface* Engine() { return g_engine; }

}  // namespace VTRO

// Package entry points ------------------------------------------------------

extern "C" VTRO_PACKAGE_EXPORT std::int32_t VTROPckInit(VTROEngineInterface* engine, std::int32_t interfaceCode) {
  if (interfaceCode != VTRO_ENGINE_INTERFACE_CODE) return 0;
  VTROLock lock(EntryLock());
  if (g_engine == nullptr) {
    RunModuleInitPass();
    g_engine = engine;
  }
  return 4;
}

extern "C" VTRO_PACKAGE_EXPORT std::int32_t VTROGetModulesDefStruct(const char* groupName, void** records,
                                                                    std::int32_t capacity) {
  if (records == nullptr) return VTRO::CountModules(groupName, true);
  if (capacity < 1) return 0;
  VTROModuleDefinition** collected = new (std::nothrow) VTROModuleDefinition*[static_cast<std::size_t>(capacity)];
  if (collected == nullptr) return 0;
  const std::int32_t count = VTRO::FillModules(groupName, collected, capacity);
  for (std::int32_t i = 0; i < count; ++i) records[i] = collected[i]->DefinitionRecord();
  delete[] collected;
  return count;
}

// Registry classes -----------------------------------------------------------

VTROModuleDefinition::VTROModuleDefinition(const char* name, const char* groupName, VTROModuleCreator creator,
                                           void* definitionRecord, VTROModuleInitCallback init,
                                           VTROModuleExitCallback exit)
    : m_name(nullptr),
      m_groupName(nullptr),
      m_creator(creator),
      m_init(init),
      m_exit(exit),
      m_definitionRecord(definitionRecord) {
  VTROModuleGroupDefinition* group = VTRO::FindModuleGroup(groupName);
  if (group != nullptr) {
    for (VTROModuleDefinition* module : group->Modules()) {
      if (SameName(module->Name(), name)) {
        char text[512];
        std::snprintf(text, sizeof text, "Module %s already referenced in the category %s\n",
                      name != nullptr ? name : "(null)", groupName != nullptr ? groupName : "(null)");
        vtro::platform::MessageBox(text, kRegistryTitle, vtro::platform::kNoIcon);
        break;
      }
    }
  } else {
    group = new VTROModuleGroupDefinition(groupName, nullptr, nullptr, nullptr);
  }
  m_name = CopyName(name);
  m_groupName = group->Name();
  group->Modules().Append(this);
  if (g_initialised != 0 && m_init != nullptr) m_init(m_definitionRecord);
}

VTROModuleDefinition::~VTROModuleDefinition() {
  VTROModuleGroupDefinition* group = VTRO::FindModuleGroup(m_groupName);
  if (group != nullptr) group->Modules().RemoveValue(this);
  std::free(m_name);
  if (m_exit != nullptr) m_exit(m_definitionRecord);
}

VTROModuleGroupDefinition::VTROModuleGroupDefinition(const char* name, VTROGroupCallback init,
                                                     VTROGroupCallback exit, const char* parentGroupName)
    : m_name(CopyName(name)), m_init(nullptr), m_exit(nullptr) {
  if (name == nullptr) {
    vtro::platform::MessageBox("VTROModuleGroupDefinition construction : the group name can't be NULL\n",
                               kRegistryTitle, vtro::platform::kNoIcon);
  }
  VTROList<VTROModuleGroupDefinition*>& groups = VTRO::ModuleGroups();
  VTROModuleGroupDefinition* previous = VTRO::FindModuleGroup(m_name);
  if (previous != nullptr) {
    // Adopt what an earlier (usually implicit) group of this name holds.
    for (VTROModuleGroupDefinition* subgroup : previous->m_subgroups) m_subgroups.Append(subgroup);
    for (VTROModuleDefinition* module : previous->m_modules) {
      module->m_groupName = m_name;
      m_modules.Append(module);
    }
    previous->m_subgroups.Clear();
    previous->m_modules.Clear();
    groups.RemoveValue(previous);
    delete previous;
  }
  groups.Append(this);
  if (parentGroupName != nullptr) {
    VTROModuleGroupDefinition* parent = VTRO::FindModuleGroup(parentGroupName);
    if (parent == nullptr) parent = new VTROModuleGroupDefinition(parentGroupName, nullptr, nullptr, nullptr);
    VTROModuleGroupDefinition* self = VTRO::FindModuleGroup(m_name);
    if (self != nullptr) parent->m_subgroups.Append(self);
  }
  m_init = init;
  m_exit = exit;
  if (m_init != nullptr) m_init();
}

VTROModuleGroupDefinition::~VTROModuleGroupDefinition() {
  // Each module definition unlinks itself from this group (found by name):
  // unlink it here first so a same-named successor is not touched.
  while (!m_modules.Empty()) {
    VTROModuleDefinition* module = m_modules.Head()->Value();
    m_modules.Remove(m_modules.Head());
    module->m_groupName = nullptr;
    delete module;
  }
  std::free(m_name);
  m_name = nullptr;
  if (m_exit != nullptr) m_exit();
  m_subgroups.Clear();
}

// Wrapping a second package library ------------------------------------------

VTRODynamicLibrary::~VTRODynamicLibrary() { Unload(); }

bool VTRODynamicLibrary::Load(const char* path) {
  Unload();
  m_handle = vtro::platform::LibraryOpen(path);
  return m_handle != nullptr;
}

void* VTRODynamicLibrary::Symbol(const char* name) const {
  return m_handle != nullptr ? vtro::platform::LibrarySymbol(m_handle, name) : nullptr;
}

void VTRODynamicLibrary::Unload() {
  if (m_handle != nullptr) vtro::platform::LibraryClose(m_handle);
  m_handle = nullptr;
}

bool VTRO::ForwardPckInitToLibrary(VTRODynamicLibrary* library, std::int32_t* result) {
  if (result != nullptr) *result = 0x7FFFFFFF;
  if (library == nullptr || !library->IsLoaded()) {
    VTRO::ReportError("VTRO::ForwardPckInitToLibrary: Dynamic library is not loaded");
    return false;
  }
  using PckInit = std::int32_t (*)(VTROEngineInterface*, std::int32_t);
  PckInit init = reinterpret_cast<PckInit>(library->Symbol("VTROPckInit"));
  if (init == nullptr) {
    VTRO::ReportError("VTRO::ForwardPckInitToLibrary: Failed to load 'VTROPckInit' from the dynamic library");
    return false;
  }
  const std::int32_t value = init(g_engine, VTRO_ENGINE_INTERFACE_CODE);
  if (result != nullptr) *result = value;
  if (value != 0) return true;
  VTRO::ReportError("VTRO::ForwardPckInitToLibrary: VTROPckInit call failed");
  return false;
}
