// While qtu-cli writes JSON, standard output carries the JSON only: the
// library's own lines ("[Debug] IP ...", printed to standard output) are
// sent to standard error instead, unchanged.
#pragma once

#include <ostream>

namespace qtucli {

// Flushes the stdio and iostream buffers, keeps a duplicate of descriptor 1
// for the JSON and points descriptor 1 at standard error. Returns the stream
// on the duplicate (valid until the program ends), or null when the
// descriptors cannot be switched; then everything stays where it was.
// Call it once, before the library prints anything that must not reach
// the JSON.
std::ostream* moveLibraryOutputToStandardError();

}  // namespace qtucli
