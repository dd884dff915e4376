// Engine settings (properties of the engine itself, read by full name such as
// "Engine.shutdownTimeout") and the registry of symbols: every input, output,
// property and action is known to the engine by its full name
// "<module>.<element>", and a second object of the same full name is refused.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vtro_engine {

using SettingValue = std::variant<int64_t, bool, std::string>;

class EngineSettings {
 public:
  // Starts with the engine's defaults: "Engine.shutdownTimeout" 10000000 µs,
  // "Engine.sequentialStart" false, "Engine.version" the engine's version,
  // "Engine.ioCheckLevel" 0 (element accessors check nothing) and
  // "Engine.drainTimeout" 2000000 µs (how long a run lets its connections
  // drain once the sources are done).
  EngineSettings();

  void Set(const std::string& name, SettingValue value);
  // Parses `text` by the type the setting already has; a new setting takes
  // integer, then boolean ("true"/"false"), then string. Returns an error
  // text, empty on success.
  std::string SetFromText(const std::string& name, const std::string& text);
  void Remove(const std::string& name);

  std::optional<SettingValue> Get(const std::string& name) const;
  std::optional<int64_t> Integer(const std::string& name) const;
  std::optional<bool> Boolean(const std::string& name) const;
  std::optional<std::string> String(const std::string& name) const;
  std::vector<std::pair<std::string, SettingValue>> All() const;
  // Counts the changes, so readers can keep a value until the next one.
  std::uint64_t Version() const { return version_.load(std::memory_order_acquire); }

 private:
  std::atomic<std::uint64_t> version_{0};
  mutable std::mutex lock_;
  std::map<std::string, SettingValue> values_;
};

std::string ToText(const SettingValue& value);
// Strict number parsing: the whole text must be the number.
std::optional<int64_t> ParseInteger(const std::string& text);
std::optional<double> ParseFloat(const std::string& text);
std::optional<bool> ParseBoolean(const std::string& text);

enum class SymbolKind { Module, Input, Output, Property, Action };
const char* SymbolKindName(SymbolKind kind);

class SymbolRegistry {
 public:
  // False when a symbol of that full name exists already.
  bool Register(const std::string& fullName, SymbolKind kind, const void* object);
  // Removes the symbol when it is still the given object (a null object
  // removes whatever has the name).
  bool Unregister(const std::string& fullName, const void* object = nullptr);
  // Removes "<module>" and every "<module>.<...>" symbol; returns the count.
  size_t UnregisterModule(const std::string& module);
  std::optional<std::pair<SymbolKind, const void*>> Find(const std::string& fullName) const;
  size_t Count() const;

 private:
  mutable std::mutex lock_;
  std::map<std::string, std::pair<SymbolKind, const void*>> symbols_;
};

}  // namespace vtro_engine
