// libtirpc takes every XDR routine (rpcgen's, or our own encoders) as one
// variadic pointer type; XdrProc is the one cast to it, for callers and
// servers alike.
#pragma once

#include <rpc/rpc.h>

template <typename Routine>
xdrproc_t XdrProc(Routine routine) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(routine));
}
