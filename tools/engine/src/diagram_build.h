// Builds a parsed diagram into the engine before anything starts: engine
// settings, packages, component instances, their properties (each JSON value
// checked against the property's type), the --set overrides of the command
// line and the connections (each type-checked). The first failure is
// returned as "path: why", the path naming the place in the diagram file
// (or "--set TEXT" for an override).
#pragma once

#include <string>
#include <vector>

#include "diagram.h"
#include "engine.h"

namespace vtro_engine {

std::string BuildDiagram(Engine& engine, const Diagram& diagram, const std::vector<std::string>& sets);

// The text form of a JSON property value for a property of `type`
// (VTRO_PROPERTY_*); empty `error` on success.
std::string PropertyValueText(const nlohmann::json& value, int32_t type, VTROProperty* property, std::string& error);

}  // namespace vtro_engine
