// The system's text for an error number, for log lines, exceptions and
// reply texts. Thread-safe: nothing shared is written (strerror may write
// an unknown number's text into one buffer all threads share).
#pragma once

#include <string>

// "No such file or directory".
std::string ErrorText(int err);
// "No such file or directory (2)".
std::string ErrorTextAndNumber(int err);
