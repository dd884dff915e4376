// A package loaded into the engine: the shared library opened with local
// symbol binding, its two entry points, and the component definition records
// it hands out, each with a copy whose table counts are entry numbers (the
// copy is what the factory receives).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "definition_layout.h"

namespace vtro_engine {

inline constexpr int32_t kInterfaceCode = 0x804A8;
inline constexpr int32_t kInitAccepted = 4;

using PckInitFn = int32_t (*)(void* engine, int32_t code);
using GetModulesDefStructFn = int32_t (*)(const char* group, void** records, int32_t capacity);

struct ComponentModel {
  const RawComponentDefinition* record = nullptr;  // the package's own record
  std::unique_ptr<RawComponentDefinition> resolved;  // counts resolved
  size_t inputEntries = 0;
  size_t outputEntries = 0;
  size_t propertyEntries = 0;
  size_t actionEntries = 0;

  std::string Name() const { return record->name ? record->name : ""; }
  std::string Version() const { return record->version ? record->version : ""; }
};

// A package name without a slash is looked for in the current folder, then
// beside the engine (the "lib" folder next to the engine's "bin" folder, then
// the folder an install puts packages in, such as lib/vantro).
std::string ResolvePackagePath(const std::string& name);

class Package {
 public:
  // Opens the library, checks both entry points, calls VTROPckInit with
  // `engine` and 0x804A8 (it must answer 4) and reads the records of the
  // groups. Returns null with `error` set on failure.
  static std::unique_ptr<Package> Load(const std::string& path, void* engine, std::string& error);
  ~Package();

  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  const std::string& Path() const { return path_; }
  // Answer of the count query.
  int32_t CountAnswer() const { return countAnswer_; }
  const std::vector<ComponentModel>& Models() const { return models_; }
  const ComponentModel* Find(const std::string& model) const;
  // Library handle; the library stays loaded until the process ends.
  void* Handle() const { return handle_; }

 private:
  Package() = default;
  std::string path_;
  void* handle_ = nullptr;
  int32_t countAnswer_ = 0;
  std::vector<ComponentModel> models_;
};

}  // namespace vtro_engine
