// The system's text for an error number, as the lock service's messages and
// replies quote it. Thread-safe: nothing shared is written.
#pragma once

#include <cstring>
#include <string>

inline std::string SystemErrorText(int err) {
    char buffer[256];
    // The GNU strerror_r: the text may or may not be in buffer.
    return strerror_r(err, buffer, sizeof(buffer));
}
