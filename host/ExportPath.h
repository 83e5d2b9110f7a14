// Export paths in the caller's form and in the stored form.
//
// The stored form is the path as the server's file system knows it, without
// trailing '/' characters (a lone "/" stays). ReverseNormalizeExportPath
// brings a caller's path to the stored form; NormalizeExportPath gives the
// caller's form of a stored path, which on this host is the same text. So
// reverse-normalising what NormalizeExportPath returned gives the stored
// path again, and both are idempotent.
#pragma once

#include <string>

void ReverseNormalizeExportPath(const std::string& in, std::string& out);
void NormalizeExportPath(const std::string& in, std::string& out);
