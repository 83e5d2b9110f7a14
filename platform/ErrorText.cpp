// ErrorText over the GNU strerror_r.
#include "platform/ErrorText.h"

#include <cstring>

std::string ErrorText(int err) {
    char buffer[256];
    // The GNU strerror_r: the text may or may not be in buffer.
    return strerror_r(err, buffer, sizeof(buffer));
}

std::string ErrorTextAndNumber(int err) {
    return ErrorText(err) + " (" + std::to_string(err) + ")";
}
