// Loading the file-system module with dlopen and calling its LoadFSM entry point.
#include "server/lumed/FsmModule.h"

#include <dlfcn.h>

FSM* LoadFsmModule(const std::string& path, std::string& error) {
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        error = std::string("cannot load the module: ") + ::dlerror();
        return nullptr;
    }
    auto entry = reinterpret_cast<LoadFSMFunction>(::dlsym(library, "LoadFSM"));
    if (!entry) {
        error = "the module " + path + " has no LoadFSM entry point";
        ::dlclose(library);
        return nullptr;
    }
    FSM* fsm = entry();
    if (!fsm)
        error = "LoadFSM of " + path + " returned no module";
    return fsm;
}
