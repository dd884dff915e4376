// QzQtuUnitClient's Core. The framework's inputs do not deliver elements yet,
// so for now Core only rests; the sending follows with them.
#include "VTROImage2Qtu.h"

void VTROImage2Qtu::Core() { Rest(100000); }
