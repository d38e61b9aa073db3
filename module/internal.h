// Routines and seams of module/ that the C++ tests reach directly. Not for
// the other files (scripts/includes.py refuses this one outside module/).
#pragma once

namespace qx {

// init.cpp. Compares the compiled-for major.minor with the running version
// text, as the import does; 0, or -1 when warnings are errors.
int CheckInterpreterVersionAgainst(int compiled_major, int compiled_minor,
                                   const char* running_version) noexcept;
// Where the import's version check reads the running version (Py_GetVersion);
// a seam for the tests, which substitute other versions.
extern const char* (*g_running_version)();

}  // namespace qx
