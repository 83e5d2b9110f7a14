// The exception the platform raises where an operation cannot go on: today
// only a failed identity switch (CImpersonator).
#pragma once

#include <stdexcept>
#include <string>

class OxException : public std::runtime_error {
  public:
    OxException(const std::string& what, int err) : std::runtime_error(what), m_errno(err) {}
    int GetErrNo() const { return m_errno; }

  private:
    int m_errno;
};
