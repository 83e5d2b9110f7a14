// The result of a platform file call: a signed 32-bit code, 0 on success and
// the negated errno on failure. FXErrorUtil::GetErrNo gives the errno back
// (0 for success).
#pragma once

#include <cstdint>
#include <string>

class CRaError {
  public:
    CRaError() = default;
    static CRaError FromErrno(int err) { return CRaError(err > 0 ? -err : 0); }

    bool IsError() const { return m_code < 0; }
    int32_t Code() const { return m_code; }
    // "Success", or the system text of the error with its number.
    std::string AsString() const;

  private:
    explicit CRaError(int32_t code) : m_code(code) {}
    int32_t m_code = 0;
};

class FXErrorUtil {
  public:
    static int GetErrNo(const CRaError& err) { return err.IsError() ? -err.Code() : 0; }
};
