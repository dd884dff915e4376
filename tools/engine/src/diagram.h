// Diagram files (JSON): the packages to load, engine settings, the component
// instances with their properties, the connections and the run length.
//
//   {"packages": ["vtro_testkit.pck"],
//    "settings": {"Engine.shutdownTimeout": 4000000},
//    "components": [{"model": "TestCamera", "name": "cam", "properties": {"Width": 640}}],
//    "connections": [{"from": "cam.oImage", "to": "dump.iData"}],
//    "run": {"for_s": 5}}
//
// Parsing checks the file's own structure: JSON syntax (a failure names line
// and column), member types, names, duplicates and references between its
// parts. Whether packages, models, properties, inputs and outputs exist is
// checked when the diagram is built (diagram_build.h). Every error names its
// place as a path such as components[1].properties.Width; unknown members
// give warnings, not errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine_settings.h"

namespace vtro_engine {

struct DiagramPackage {
  std::string name;
  std::string path;  // place in the file: packages[0]
};

struct DiagramSetting {
  std::string name;
  SettingValue value;
  std::string path;
};

struct DiagramProperty {
  std::string name;
  nlohmann::json value;  // boolean, integer, float or string
  std::string path;
};

struct DiagramComponent {
  std::string model;
  std::string name;
  std::vector<DiagramProperty> properties;
  std::string path;  // components[2]
};

struct DiagramEnd {
  std::string instance;
  std::string element;  // output or input short name
  std::string path;     // connections[0].from
};

struct DiagramConnection {
  DiagramEnd from;
  DiagramEnd to;
};

struct Diagram {
  std::vector<DiagramPackage> packages;
  std::vector<DiagramSetting> settings;
  std::vector<DiagramComponent> components;
  std::vector<DiagramConnection> connections;
  std::optional<double> forSeconds;  // run.for_s
  std::vector<std::string> warnings;  // "path: text"

  const DiagramComponent* Find(const std::string& name) const;
};

// Parses a diagram; nullopt with `error` ("path: text" or "line L, column C:
// text") when it is not a valid diagram.
std::optional<Diagram> ParseDiagram(const std::string& text, std::string& error);

// JSON type of a value as a diagram error names it ("a string", "an integer", ...).
std::string JsonKind(const nlohmann::json& value);

}  // namespace vtro_engine
