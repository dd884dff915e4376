#include "package.h"

#include "package_layout.h"

#include <dlfcn.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

namespace vtro_engine {

std::string ResolvePackagePath(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    return name;
  }
  std::error_code ec;
  if (std::filesystem::exists(name, ec)) {
    return "./" + name;
  }
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    // The build tree keeps packages in lib/, an installed tree in the
    // package folder under the library folder (lib/vantro, or
    // lib/<triplet>/vantro on Debian).
    for (const char* folder : {"lib", VTRO_INSTALLED_PACKAGE_DIR}) {
      const auto beside = exe.parent_path().parent_path() / folder / name;
      if (std::filesystem::exists(beside, ec)) {
        return beside.string();
      }
    }
  }
  return "./" + name;
}

std::unique_ptr<Package> Package::Load(const std::string& path, void* engine, std::string& error) {
  std::unique_ptr<Package> package(new Package);
  package->path_ = path;
  // A name without a slash would be searched on the library path; a package
  // is always a file.
  const std::string openPath = ResolvePackagePath(path);
  // The loader trusts the file's headers: a file cut short would be mapped
  // past its end and kill the process at the first touch.
  if (const std::string why = CheckPackageFile(openPath); !why.empty()) {
    error = "cannot load package " + path + ": " + why;
    return nullptr;
  }
  dlerror();
  package->handle_ = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (package->handle_ == nullptr) {
    const char* why = dlerror();
    error = "cannot load package " + path + ": " + (why ? why : "unknown error");
    return nullptr;
  }
  // A package answers every later VTROPckInit with the engine it was first
  // initialised with; a second engine in this process would never be called.
  {
    static std::mutex lock;
    static std::map<void*, void*> initialisedWith;
    std::lock_guard<std::mutex> guard(lock);
    const auto it = initialisedWith.find(package->handle_);
    if (it != initialisedWith.end() && it->second != engine) {
      error = "package " + path + " is already in use by another engine of this process";
      return nullptr;
    }
    initialisedWith[package->handle_] = engine;
  }
  auto init = reinterpret_cast<PckInitFn>(dlsym(package->handle_, "VTROPckInit"));
  auto modules = reinterpret_cast<GetModulesDefStructFn>(dlsym(package->handle_, "VTROGetModulesDefStruct"));
  if (init == nullptr || modules == nullptr) {
    error = "package " + path + " lacks the entry point " +
            std::string(init == nullptr ? "VTROPckInit" : "VTROGetModulesDefStruct");
    return nullptr;
  }
  const int32_t accepted = init(engine, kInterfaceCode);
  if (accepted != kInitAccepted) {
    error = "package " + path + " refused the engine interface (VTROPckInit answered " + std::to_string(accepted) +
            ")";
    return nullptr;
  }
  // Every group of the package: a package without components answers 0.
  const int32_t count = modules(nullptr, nullptr, 0);
  package->countAnswer_ = count;
  if (count <= 0) {
    return package;
  }
  std::vector<void*> records(static_cast<size_t>(count), nullptr);
  const int32_t filled = modules(nullptr, records.data(), count);
  if (filled < 0 || filled > count) {
    error = "package " + path + " answered " + std::to_string(filled) + " records to a fill of " +
            std::to_string(count);
    return nullptr;
  }
  for (int32_t i = 0; i < filled; ++i) {
    const auto* record = static_cast<const RawComponentDefinition*>(records[static_cast<size_t>(i)]);
    if (record == nullptr || record->name == nullptr) {
      error = "package " + path + " handed out an empty definition record (#" + std::to_string(i) + ")";
      return nullptr;
    }
    ComponentModel model;
    model.record = record;
    model.inputEntries = CountEntries(record->inputs, kInputEntrySize);
    model.outputEntries = CountEntries(record->outputs, kOutputEntrySize);
    model.propertyEntries = CountEntries(record->properties, kPropertyEntrySize);
    model.actionEntries = CountEntries(record->actions, kActionEntrySize);
    model.resolved = std::make_unique<RawComponentDefinition>();
    std::memcpy(model.resolved.get(), record, sizeof(RawComponentDefinition));
    model.resolved->inputCount = ResolveCount(record->inputCount, model.inputEntries);
    model.resolved->outputCount = ResolveCount(record->outputCount, model.outputEntries);
    model.resolved->propertyCount = ResolveCount(record->propertyCount, model.propertyEntries);
    model.resolved->actionCount = ResolveCount(record->actionCount, model.actionEntries);
    package->models_.push_back(std::move(model));
  }
  return package;
}

// The library stays loaded: a package keeps the engine it was first given,
// and detached component threads may still be returning through its code.
Package::~Package() = default;

const ComponentModel* Package::Find(const std::string& model) const {
  for (const auto& m : models_) {
    if (m.Name() == model) {
      return &m;
    }
  }
  return nullptr;
}

}  // namespace vtro_engine
