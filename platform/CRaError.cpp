// The text of a CRaError.
#include "platform/CRaError.h"

#include "platform/ErrorText.h"

std::string CRaError::AsString() const {
    if (!IsError())
        return "Success";
    return ErrorTextAndNumber(-m_code);
}
