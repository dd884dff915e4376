// Text listing of the components of a package (the `list` command): version,
// threading, inputs, outputs, properties with type, default and flags, and
// actions, read from the definition records and their tables.
#pragma once

#include <ostream>

#include "marker_scan.h"
#include "package.h"

namespace vtro_engine {

void PrintPackage(std::ostream& out, const Package& package);
void PrintComponent(std::ostream& out, const ComponentModel& model);
void PrintMarkers(std::ostream& out, const std::string& path, const std::vector<ModuleMarker>& markers);

const char* PropertyTypeName(int32_t type);
const char* ReaderTypeName(int32_t reader);

}  // namespace vtro_engine
