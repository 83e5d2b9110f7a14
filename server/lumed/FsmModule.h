// A file-system module loaded at run time: dlopen(RTLD_NOW | RTLD_LOCAL) so
// that a missing symbol fails the load at once, then its LoadFSM entry
// point. The library stays loaded for the life of the process: the module's
// objects and exports run its code until exit.
#pragma once

#include <string>

#include "host/FSM.h"

// The module object, or null with error set.
FSM* LoadFsmModule(const std::string& path, std::string& error);
