// Package vantro_qtu_parvel. The framework compiled into it provides the
// entry points VTROPckInit and VTROGetModulesDefStruct and the module
// registry; every component class registers itself from its own folder
// through a static VTROModuleDefinition, so nothing is listed here.
#include "vtro/VTROModuleDefinition.h"
