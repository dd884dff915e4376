#include "diagram_build.h"

#include <cstdio>

#include "input_limits.h"
#include "listing.h"
#include "package.h"
#include "vtro/VTROProperty.h"

namespace vtro_engine {

std::string PropertyValueText(const nlohmann::json& value, int32_t type, VTROProperty* property, std::string& error) {
  const auto refuse = [&](const char* wanted) {
    error = std::string("is of type ") + PropertyTypeName(type) + " and takes " + wanted + ", not " + JsonKind(value);
    return std::string();
  };
  switch (type) {
    case VTRO_PROPERTY_BOOL:
      if (!value.is_boolean()) return refuse("true or false");
      return value.get<bool>() ? "true" : "false";
    case VTRO_PROPERTY_INTEGER:
      if (!value.is_number_integer()) return refuse("an integer");
      return value.dump();
    case VTRO_PROPERTY_FLOAT: {
      if (!value.is_number()) return refuse("a number");
      char text[40];
      std::snprintf(text, sizeof text, "%.17g", value.get<double>());
      return text;
    }
    case VTRO_PROPERTY_STRING:
      if (!value.is_string()) return refuse("a string");
      return value.get<std::string>();
    case VTRO_PROPERTY_ENUM: {
      const VTROEnumStruct* values = property != nullptr ? property->PossibleValues() : nullptr;
      std::string known;
      for (int32_t i = 0; values != nullptr && i < values->Count(); ++i) {
        known += (i == 0 ? "" : "|") + std::string(values->Value(i));
      }
      if (value.is_string()) {
        bool listed = values == nullptr;
        for (int32_t i = 0; values != nullptr && i < values->Count(); ++i) {
          listed = listed || value.get<std::string>() == values->Value(i);
        }
        if (!listed) {
          error = "\"" + ShortText(value.get<std::string>()) + "\" is not one of " + known;
          return {};
        }
        return value.get<std::string>();
      }
      if (value.is_number_integer()) {
        const int64_t index = value.get<int64_t>();
        if (values == nullptr || index < 0 || index >= values->Count()) {
          error = "index " + value.dump() + " is not among the values " + known;
          return {};
        }
        return values->Value(static_cast<int32_t>(index));
      }
      return refuse("one of its values or an index");
    }
    default:
      error = "has a type this engine cannot set";
      return {};
  }
}

std::string BuildDiagram(Engine& engine, const Diagram& diagram, const std::vector<std::string>& sets) {
  for (const auto& s : diagram.settings) {
    engine.Settings().Set(s.name, s.value);
  }
  for (const auto& p : diagram.packages) {
    std::string error;
    if (engine.LoadPackage(p.name, error) == nullptr) {
      return p.path + ": " + error;
    }
  }
  for (const auto& c : diagram.components) {
    std::string error;
    if (engine.FindModel(c.model) == nullptr) {
      return c.path + ".model: no loaded package holds the component " + ShortText(c.model);
    }
    VTROComponent* component = engine.Create(c.model, c.name, error);
    if (component == nullptr) {
      return c.path + ": " + error;
    }
    for (const auto& p : c.properties) {
      VTROProperty* property = component->EngineFindProperty(p.name.c_str());
      if (property == nullptr) {
        return p.path + ": " + c.model + " has no property " + ShortText(p.name);
      }
      const std::string text = PropertyValueText(p.value, property->Type(), property, error);
      if (!error.empty()) {
        return p.path + ": " + c.name + "." + p.name + " " + error;
      }
      if (!engine.SetProperty(c.name, p.name, text, error)) {
        return p.path + ": " + error;
      }
    }
  }
  for (const auto& s : sets) {
    const size_t eq = s.find('=');
    const size_t dot = s.find('.');
    if (eq == std::string::npos || dot == std::string::npos || dot == 0 || dot + 1 >= eq) {
      return "--set " + ShortText(s) + ": needs NAME.PROPERTY=VALUE";
    }
    const std::string instance = s.substr(0, dot);
    if (diagram.Find(instance) == nullptr) {
      return "--set " + ShortText(s) + ": the diagram has no component named " + ShortText(instance);
    }
    std::string error;
    if (!engine.SetProperty(instance, s.substr(dot + 1, eq - dot - 1), s.substr(eq + 1), error)) {
      return "--set " + ShortText(s) + ": " + error;
    }
  }
  for (const auto& c : diagram.connections) {
    VTROOutput* output = engine.FindOutput(c.from.instance, c.from.element);
    if (output == nullptr) {
      return c.from.path + ": component " + c.from.instance + " has no output " + c.from.element +
             " (its outputs: " + engine.OutputNames(c.from.instance) + ")";
    }
    if (engine.FindInput(c.to.instance, c.to.element) == nullptr) {
      return c.to.path + ": component " + c.to.instance + " has no input " + c.to.element + " (its inputs: " +
             engine.InputNames(c.to.instance) + ")";
    }
    const std::string why = engine.Connect(c.from.instance, c.from.element, c.to.instance, c.to.element);
    if (!why.empty()) {
      return c.to.path + ": " + why;
    }
  }
  return {};
}

}  // namespace vtro_engine
