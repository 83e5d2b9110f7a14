#include "platform/CRaError.h"

#include <cstring>

std::string CRaError::AsString() const {
    if (!IsError())
        return "Success";
    int err = -m_code;
    char buffer[256];
    // The GNU strerror_r: the text may or may not be in buffer.
    const char* text = strerror_r(err, buffer, sizeof(buffer));
    return std::string(text) + " (" + std::to_string(err) + ")";
}
