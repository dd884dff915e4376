#include "listing.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "vtro/VTROProperty.h"

namespace vtro_engine {
namespace {

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, v);
  return text;
}

std::string Created(int32_t count, size_t entries, const char* one, const char* many) {
  std::string s = std::to_string(entries) + " " + (entries == 1 ? one : many);
  if (count >= 0 && static_cast<size_t>(count) < entries) {
    s += " (" + std::to_string(count) + " created with the component)";
  }
  return s;
}

// Reads a default value through the inline accessors only: the engine links
// no framework code.
std::string DefaultText(const VTROPropertyValue* value) {
  if (value == nullptr) {
    return "(none)";
  }
  switch (value->Type()) {
    case VTRO_PROPERTY_BOOL:
      return value->Bool() ? "true" : "false";
    case VTRO_PROPERTY_INTEGER:
      return std::to_string(value->Integer());
    case VTRO_PROPERTY_FLOAT: {
      char text[40];
      std::snprintf(text, sizeof text, "%.17g", value->Float());
      return text;
    }
    case VTRO_PROPERTY_STRING:
      return std::string("\"") + value->String() + "\"";
    case VTRO_PROPERTY_ENUM: {
      const VTROEnumStruct* e = value->Enum();
      if (e == nullptr) {
        return "(no values)";
      }
      std::string s;
      for (int32_t i = 0; i < e->Count(); ++i) {
        s += (i ? "|" : "");
        s += e->Value(i);
      }
      return s + " [" + std::to_string(e->Selected()) + "]";
    }
    default:
      return "(type " + std::to_string(value->Type()) + ")";
  }
}

std::string FlagText(const RawPropertyEntry& e) {
  std::string s;
  auto add = [&s](bool on, const char* name) {
    if (on) {
      s += (s.empty() ? "" : ",");
      s += name;
    }
  };
  add(e.mustBeSet, "must-be-set");
  add(e.changeableWhileRunning, "changeable-while-running");
  add(e.readOnly, "read-only");
  add(e.enumFixed, "enum-values-fixed");
  return s.empty() ? "-" : s;
}

}  // namespace

const char* PropertyTypeName(int32_t type) {
  switch (type) {
    case VTRO_PROPERTY_BOOL:
      return "boolean";
    case VTRO_PROPERTY_INTEGER:
      return "integer";
    case VTRO_PROPERTY_FLOAT:
      return "float";
    case VTRO_PROPERTY_STRING:
      return "string";
    case VTRO_PROPERTY_ENUM:
      return "enumeration";
    default:
      return "unknown";
  }
}

const char* ReaderTypeName(int32_t reader) {
  switch (reader) {
    case 0:
      return "FifoReader";
    case 1:
      return "NeverSkippingReader";
    case 2:
      return "LastOrNextReader";
    case 3:
      return "Wait4NextReader";
    case 4:
      return "SamplingReader";
    default:
      return "unknown";
  }
}

void PrintComponent(std::ostream& out, const ComponentModel& model) {
  const RawComponentDefinition& d = *model.record;
  std::string threading;
  if (d.threading & kThreadedAllowed) {
    threading = "threaded";
  }
  if (d.threading & kSequentialAllowed) {
    threading += threading.empty() ? "sequential" : "/sequential";
  }
  if (threading.empty()) {
    threading = "no threading model";
  }
  out << "component " << model.Name() << " " << model.Version() << "\n";
  out << "  threading " << threading << ", default " << (d.threadedDefault ? "threaded" : "sequential")
      << ", priority " << d.priority << "\n";
  out << "  " << Created(d.inputCount, model.inputEntries, "input", "inputs") << "\n";
  const auto* inputs = static_cast<const RawInputEntry*>(d.inputs);
  for (size_t i = 0; i < model.inputEntries; ++i) {
    const RawInputEntry& e = inputs[i];
    out << "    input " << e.name;
    if (e.filter != nullptr) {
      const auto* f = static_cast<const RawTypeFilter*>(e.filter);
      out << " types " << Hex(f->mask);
      if (f->structureNames != nullptr && f->structureNames[0] != '\0') {
        out << " structures " << f->structureNames;
      }
    }
    out << " reader " << ReaderTypeName(e.readerType) << " subsampling " << e.subsampling << "\n";
  }
  out << "  " << Created(d.outputCount, model.outputEntries, "output", "outputs") << "\n";
  const auto* outputs = static_cast<const RawOutputEntry*>(d.outputs);
  for (size_t i = 0; i < model.outputEntries; ++i) {
    const RawOutputEntry& e = outputs[i];
    out << "    output " << e.name << " type " << Hex(e.mask);
    if (e.structureName != nullptr) {
      const auto* s = static_cast<const VTROStackedString*>(e.structureName);
      if (s->c_str()[0] != '\0') {
        out << " structure " << s->c_str();
      }
    }
    out << " buffer " << e.bufferSize << " fifo " << e.fifoSize << " subsampling " << e.subsampling << "\n";
  }
  out << "  " << Created(d.propertyCount, model.propertyEntries, "property", "properties") << "\n";
  const auto* properties = static_cast<const RawPropertyEntry*>(d.properties);
  for (size_t i = 0; i < model.propertyEntries; ++i) {
    const RawPropertyEntry& e = properties[i];
    const auto* value = static_cast<const VTROPropertyValue*>(e.defaultValue);
    out << "    property " << e.name << " " << (value ? PropertyTypeName(value->Type()) : "unknown") << " default "
        << DefaultText(value) << " flags " << FlagText(e);
    if (e.hints != 0) {
      out << " hints " << Hex(e.hints);
    }
    out << "\n";
  }
  out << "  " << Created(d.actionCount, model.actionEntries, "action", "actions") << "\n";
  const auto* actions = static_cast<const RawActionEntry*>(d.actions);
  for (size_t i = 0; i < model.actionEntries; ++i) {
    const RawActionEntry& e = actions[i];
    out << "    action " << e.name << (e.allowedWhileNotRunning == 1 ? " (also while stopped)" : " (while running)")
        << "\n";
  }
}

void PrintPackage(std::ostream& out, const Package& package) {
  const auto& models = package.Models();
  out << "package " << package.Path() << ": ";
  if (models.empty()) {
    out << "no components (count query answered " << package.CountAnswer() << ")\n";
    return;
  }
  out << models.size() << (models.size() == 1 ? " component\n" : " components\n");
  for (const auto& m : models) {
    PrintComponent(out, m);
  }
}

void PrintMarkers(std::ostream& out, const std::string& path, const std::vector<ModuleMarker>& markers) {
  out << path << ": ";
  if (markers.empty()) {
    out << "no module markers\n";
    return;
  }
  out << markers.size() << (markers.size() == 1 ? " module marker\n" : " module markers\n");
  for (const auto& m : markers) {
    out << "  " << m.group << " " << m.name << " " << m.version << " at " << Hex(m.offset) << "\n";
  }
}

}  // namespace vtro_engine
