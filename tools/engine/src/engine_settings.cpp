#include "engine_settings.h"

#include <cerrno>
#include <cstdlib>

#include "engine_version.h"

namespace vtro_engine {

EngineSettings::EngineSettings() {
  values_["Engine.shutdownTimeout"] = int64_t{10'000'000};
  values_["Engine.sequentialStart"] = false;
  values_["Engine.version"] = std::string(kEngineVersion);
  values_["Engine.ioCheckLevel"] = int64_t{0};
  values_["Engine.drainTimeout"] = int64_t{2'000'000};
}

void EngineSettings::Set(const std::string& name, SettingValue value) {
  std::lock_guard<std::mutex> guard(lock_);
  values_[name] = std::move(value);
  version_.fetch_add(1, std::memory_order_release);
}

std::string EngineSettings::SetFromText(const std::string& name, const std::string& text) {
  const auto current = Get(name);
  if (current && std::holds_alternative<int64_t>(*current)) {
    const auto v = ParseInteger(text);
    if (!v) {
      return "setting " + name + " takes an integer, not '" + text + "'";
    }
    Set(name, *v);
  } else if (current && std::holds_alternative<bool>(*current)) {
    const auto v = ParseBoolean(text);
    if (!v) {
      return "setting " + name + " takes true or false, not '" + text + "'";
    }
    Set(name, *v);
  } else if (current) {
    Set(name, text);
  } else if (const auto i = ParseInteger(text)) {
    Set(name, *i);
  } else if (const auto b = ParseBoolean(text)) {
    Set(name, *b);
  } else {
    Set(name, text);
  }
  return {};
}

void EngineSettings::Remove(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  values_.erase(name);
  version_.fetch_add(1, std::memory_order_release);
}

std::optional<SettingValue> EngineSettings::Get(const std::string& name) const {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = values_.find(name);
  if (it == values_.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::optional<int64_t> EngineSettings::Integer(const std::string& name) const {
  const auto v = Get(name);
  if (!v) {
    return std::nullopt;
  }
  if (const auto* i = std::get_if<int64_t>(&*v)) {
    return *i;
  }
  if (const auto* b = std::get_if<bool>(&*v)) {
    return *b ? 1 : 0;
  }
  return ParseInteger(std::get<std::string>(*v));
}

std::optional<bool> EngineSettings::Boolean(const std::string& name) const {
  const auto v = Get(name);
  if (!v) {
    return std::nullopt;
  }
  if (const auto* b = std::get_if<bool>(&*v)) {
    return *b;
  }
  if (const auto* i = std::get_if<int64_t>(&*v)) {
    return *i != 0;
  }
  return ParseBoolean(std::get<std::string>(*v));
}

std::optional<std::string> EngineSettings::String(const std::string& name) const {
  const auto v = Get(name);
  if (!v) {
    return std::nullopt;
  }
  return ToText(*v);
}

std::vector<std::pair<std::string, SettingValue>> EngineSettings::All() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {values_.begin(), values_.end()};
}

std::string ToText(const SettingValue& value) {
  if (const auto* i = std::get_if<int64_t>(&value)) {
    return std::to_string(*i);
  }
  if (const auto* b = std::get_if<bool>(&value)) {
    return *b ? "true" : "false";
  }
  return std::get<std::string>(value);
}

std::optional<int64_t> ParseInteger(const std::string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') {
    return std::nullopt;
  }
  return static_cast<int64_t>(v);
}

std::optional<double> ParseFloat(const std::string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  // Component threads run with the "C" numeric locale, and so does the
  // engine's command line: "." is the decimal separator.
  const double v = std::strtod(text.c_str(), &end);
  if (errno == ERANGE || end == text.c_str() || *end != '\0') {
    return std::nullopt;
  }
  return v;
}

std::optional<bool> ParseBoolean(const std::string& text) {
  if (text == "true" || text == "1" || text == "True" || text == "TRUE") {
    return true;
  }
  if (text == "false" || text == "0" || text == "False" || text == "FALSE") {
    return false;
  }
  return std::nullopt;
}

const char* SymbolKindName(SymbolKind kind) {
  switch (kind) {
    case SymbolKind::Module:
      return "module";
    case SymbolKind::Input:
      return "input";
    case SymbolKind::Output:
      return "output";
    case SymbolKind::Property:
      return "property";
    case SymbolKind::Action:
      return "action";
  }
  return "symbol";
}

bool SymbolRegistry::Register(const std::string& fullName, SymbolKind kind, const void* object) {
  std::lock_guard<std::mutex> guard(lock_);
  return symbols_.emplace(fullName, std::make_pair(kind, object)).second;
}

bool SymbolRegistry::Unregister(const std::string& fullName, const void* object) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = symbols_.find(fullName);
  if (it == symbols_.end() || (object != nullptr && it->second.second != object)) {
    return false;
  }
  symbols_.erase(it);
  return true;
}

size_t SymbolRegistry::UnregisterModule(const std::string& module) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t removed = symbols_.erase(module);
  const std::string prefix = module + ".";
  for (auto it = symbols_.lower_bound(prefix); it != symbols_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    it = symbols_.erase(it);
    ++removed;
  }
  return removed;
}

std::optional<std::pair<SymbolKind, const void*>> SymbolRegistry::Find(const std::string& fullName) const {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = symbols_.find(fullName);
  if (it == symbols_.end()) {
    return std::nullopt;
  }
  return it->second;
}

size_t SymbolRegistry::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return symbols_.size();
}

}  // namespace vtro_engine
