// Configuration RPC types: each request type and the type of its response.
#pragma once

enum : unsigned int {
    RPC_CREATE_EXPORT = 0x2460017,
    RPC_CREATE_EXPORT_RESP = 0x2460018,
    RPC_UNEXPORT = 0x2460019,
    RPC_UNEXPORT_RESP = 0x2460008,
    RPC_KEEP_ALIVE = 0x246001F,  // answered with no response record
    RPC_FILE_LOCK = 0x246002C,
    RPC_FILE_LOCK_RESP = 0x246002D,
    RPC_DRILL_HOLE = 0x2460045,
    RPC_DRILL_HOLE_RESP = 0x2460046,
};
