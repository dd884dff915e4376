#include "diagram.h"

#include "input_limits.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace vtro_engine {
namespace {

using nlohmann::json;

// Thrown inside the parser with the place and the text; caught at the top.
struct DiagramError {
  std::string text;
};

[[noreturn]] void Fail(const std::string& path, const std::string& text) { throw DiagramError{path + ": " + text}; }

bool ValidName(const std::string& name) {
  if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::string Member(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }
std::string Index(const std::string& path, size_t i) { return path + "[" + std::to_string(i) + "]"; }

// Warns about members other than `known`.
void CheckKeys(const json& object, const std::string& path, std::initializer_list<const char*> known,
               std::vector<std::string>& warnings) {
  for (const auto& item : object.items()) {
    const std::string key = item.key();
    if (std::none_of(known.begin(), known.end(), [&key](const char* k) { return key == k; })) {
      warnings.push_back(Member(path, key) + ": unknown member, ignored");
    }
  }
}

const json& Require(const json& object, const std::string& path, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) Fail(path, std::string("lacks the member \"") + key + "\"");
  return *it;
}

std::string RequireString(const json& object, const std::string& path, const char* key) {
  const json& value = Require(object, path, key);
  if (!value.is_string()) Fail(Member(path, key), "must be a string, not " + JsonKind(value));
  return value.get<std::string>();
}

void RequireObject(const json& value, const std::string& path) {
  if (!value.is_object()) Fail(path, "must be an object, not " + JsonKind(value));
}

void RequireArray(const json& value, const std::string& path) {
  if (!value.is_array()) Fail(path, "must be an array, not " + JsonKind(value));
}

// Engine settings the engine knows, with the type each takes.
enum class SettingType { Integer, Boolean, String };
struct KnownSetting {
  const char* name;
  SettingType type;
  bool nonNegative;
};
constexpr KnownSetting kKnownSettings[] = {
    {"Engine.shutdownTimeout", SettingType::Integer, false},
    {"Engine.sequentialStart", SettingType::Boolean, false},
    {"Engine.version", SettingType::String, false},
    {"Engine.ioCheckLevel", SettingType::Integer, true},
    {"Engine.drainTimeout", SettingType::Integer, true},
};

void ParseSettings(const json& settings, Diagram& d) {
  const std::string path = "settings";
  RequireObject(settings, path);
  for (const auto& item : settings.items()) {
    const std::string name = item.key();
    const json& value = item.value();
    const std::string at = Member(path, name);
    if (name.rfind("Engine.", 0) != 0 || name.size() == 7) {
      Fail(at, "an engine setting is named Engine.<name>");
    }
    const auto known = std::find_if(std::begin(kKnownSettings), std::end(kKnownSettings),
                                    [&name](const KnownSetting& k) { return name == k.name; });
    DiagramSetting setting{name, int64_t{0}, at};
    if (known == std::end(kKnownSettings)) {
      d.warnings.push_back(at + ": not a setting this engine uses; kept for the components");
      if (value.is_boolean()) {
        setting.value = value.get<bool>();
      } else if (value.is_number_integer()) {
        setting.value = value.get<int64_t>();
      } else if (value.is_string()) {
        setting.value = value.get<std::string>();
      } else {
        Fail(at, "must be an integer, a boolean or a string, not " + JsonKind(value));
      }
    } else if (known->type == SettingType::Integer) {
      if (!value.is_number_integer()) Fail(at, "must be an integer, not " + JsonKind(value));
      if (known->nonNegative && value.get<int64_t>() < 0) Fail(at, "must not be negative");
      setting.value = value.get<int64_t>();
    } else if (known->type == SettingType::Boolean) {
      if (!value.is_boolean()) Fail(at, "must be true or false, not " + JsonKind(value));
      setting.value = value.get<bool>();
    } else {
      if (!value.is_string()) Fail(at, "must be a string, not " + JsonKind(value));
      setting.value = value.get<std::string>();
    }
    d.settings.push_back(std::move(setting));
  }
}

void ParseComponents(const json& components, Diagram& d) {
  RequireArray(components, "components");
  if (components.empty()) Fail("components", "the diagram has no components");
  std::set<std::string> names;
  for (size_t i = 0; i < components.size(); ++i) {
    const std::string path = Index("components", i);
    const json& c = components[i];
    RequireObject(c, path);
    CheckKeys(c, path, {"model", "name", "properties"}, d.warnings);
    DiagramComponent component;
    component.path = path;
    component.model = RequireString(c, path, "model");
    if (component.model.empty()) Fail(Member(path, "model"), "is empty");
    component.name = RequireString(c, path, "name");
    if (!ValidName(component.name)) {
      Fail(Member(path, "name"), "\"" + ShortText(component.name) + "\" is not a valid name (^[a-zA-Z][a-zA-Z_0-9]*$)");
    }
    if (component.name == "Engine") Fail(Member(path, "name"), "Engine is reserved for the engine's settings");
    if (!names.insert(component.name).second) {
      const auto first = std::find_if(d.components.begin(), d.components.end(),
                                      [&component](const auto& other) { return other.name == component.name; });
      Fail(Member(path, "name"), "a component named " + component.name + " exists already (" + first->path + ")");
    }
    if (const auto it = c.find("properties"); it != c.end()) {
      const std::string at = Member(path, "properties");
      RequireObject(*it, at);
      for (const auto& [name, value] : it->items()) {
        const std::string where = Member(at, name);
        if (!(value.is_boolean() || value.is_number() || value.is_string())) {
          Fail(where, "must be a boolean, a number or a string, not " + JsonKind(value));
        }
        component.properties.push_back({name, value, where});
      }
    }
    d.components.push_back(std::move(component));
  }
}

DiagramEnd ParseEnd(const json& c, const std::string& path, const char* key, const char* element, const Diagram& d) {
  DiagramEnd end;
  end.path = Member(path, key);
  const std::string text = RequireString(c, path, key);
  const size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) {
    Fail(end.path, "\"" + ShortText(text) + "\" is not <instance>.<" + element + ">");
  }
  end.instance = text.substr(0, dot);
  end.element = text.substr(dot + 1);
  if (d.Find(end.instance) == nullptr) Fail(end.path, "no component is named " + ShortText(end.instance));
  return end;
}

void ParseConnections(const json& connections, Diagram& d) {
  RequireArray(connections, "connections");
  for (size_t i = 0; i < connections.size(); ++i) {
    const std::string path = Index("connections", i);
    const json& c = connections[i];
    RequireObject(c, path);
    CheckKeys(c, path, {"from", "to"}, d.warnings);
    DiagramConnection connection;
    connection.from = ParseEnd(c, path, "from", "output", d);
    connection.to = ParseEnd(c, path, "to", "input", d);
    // An input reads one output.
    for (const auto& other : d.connections) {
      if (other.to.instance == connection.to.instance && other.to.element == connection.to.element) {
        Fail(connection.to.path, "the input " + connection.to.instance + "." + connection.to.element +
                                     " is already connected (" + other.to.path + ")");
      }
    }
    d.connections.push_back(std::move(connection));
  }
}

void ParseRun(const json& run, Diagram& d) {
  RequireObject(run, "run");
  CheckKeys(run, "run", {"for_s"}, d.warnings);
  if (const auto it = run.find("for_s"); it != run.end()) {
    if (!it->is_number()) Fail("run.for_s", "must be a number of seconds, not " + JsonKind(*it));
    const double seconds = it->get<double>();
    if (!(seconds >= 0) || seconds > 1e9) Fail("run.for_s", "must be between 0 and 1e9 seconds");
    d.forSeconds = seconds;
  }
}

// "line L, column C" of a 1-based byte position.
std::string Place(const std::string& text, size_t byte) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::string JsonKind(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
      return "an integer";
    case json::value_t::number_float:
      return "a number with a fraction";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    default:
      return "an unknown value";
  }
}

const DiagramComponent* Diagram::Find(const std::string& name) const {
  for (const auto& c : components) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::optional<Diagram> ParseDiagram(const std::string& text, std::string& error) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& e) {
    // what() is "[json.exception.parse_error.101] parse error at line 1, column 5: ...": keep the part after the place.
    std::string what = e.what();
    const size_t colon = what.find(": ");
    error = Place(text, e.byte) + ": bad JSON: " + (colon == std::string::npos ? what : what.substr(colon + 2));
    return std::nullopt;
  } catch (const json::exception& e) {
    // A number too large for any type (1e999) fails outside the syntax
    // check and carries no position.
    const std::string what = e.what();
    const size_t bracket = what.find("] ");
    error = "bad JSON: " + (bracket == std::string::npos ? what : what.substr(bracket + 2));
    return std::nullopt;
  }
  Diagram d;
  try {
    if (!root.is_object()) Fail("(top)", "a diagram is an object, not " + JsonKind(root));
    CheckKeys(root, "", {"packages", "settings", "components", "connections", "run"}, d.warnings);
    const json& packages = Require(root, "(top)", "packages");
    RequireArray(packages, "packages");
    for (size_t i = 0; i < packages.size(); ++i) {
      const std::string path = Index("packages", i);
      if (!packages[i].is_string() || packages[i].get<std::string>().empty()) {
        Fail(path, "must be a package file name, not " + JsonKind(packages[i]));
      }
      d.packages.push_back({packages[i].get<std::string>(), path});
    }
    if (const auto it = root.find("settings"); it != root.end()) ParseSettings(*it, d);
    ParseComponents(Require(root, "(top)", "components"), d);
    if (const auto it = root.find("connections"); it != root.end()) ParseConnections(*it, d);
    if (const auto it = root.find("run"); it != root.end()) ParseRun(*it, d);
  } catch (const DiagramError& e) {
    error = e.text;
    return std::nullopt;
  } catch (const json::exception& e) {
    error = std::string("(top): ") + e.what();
    return std::nullopt;
  }
  return d;
}

}  // namespace vtro_engine
