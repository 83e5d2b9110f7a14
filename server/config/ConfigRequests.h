// Configuration requests run through the module: the XDR arguments become
// the module's request record, GenericConfigRPCHandler serves it in the
// caller's name, and the response record, converted to its XDR result, is
// handed to `use` while it is alive; afterwards it always goes back to the
// module through ReleaseConfigRPCMem. The configuration program and lumed's
// own start-up exports both come this way.
// Each returns false when the module answered without a record of the
// expected response type (then `use` is not called).
// Thread-safe as far as the module is: nothing is kept between calls.
#pragma once

#include <functional>
#include <string>

#include "host/FSM.h"
#include "server/protocol/lumecfg.h"

template <typename Result>
using ConfigResultUse = std::function<void(Result&)>;

bool RequestCreateExport(FSM* fsm, lumecfg_export_args& args, const std::string& caller,
                         const ConfigResultUse<lumecfg_export_res>& use);
bool RequestUnexport(FSM* fsm, lumecfg_share_args& args, const std::string& caller,
                     const ConfigResultUse<lumecfg_unexport_res>& use);
// The module answers a keep-alive with no record at all.
void RequestKeepAlive(FSM* fsm, lumecfg_share_args& args, const std::string& caller);
bool RequestFileLock(FSM* fsm, lumecfg_lock_args& args, const std::string& caller,
                     const ConfigResultUse<lumecfg_lock_res>& use);
bool RequestDrillHole(FSM* fsm, lumecfg_drill_hole_args& args, const std::string& caller,
                      const ConfigResultUse<lumecfg_drill_hole_res>& use);
