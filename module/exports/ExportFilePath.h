// The file paths of lock and drill-hole requests, which name a file relative
// to an export's real path.
//
// The path is normalised before it is joined, so two texts for one file
// ("a//b", "./a/b") name it the same way, and it is refused when it leaves
// the export: through ".." above the export's root, or through a symbolic
// link that resolves outside it. Stateless; any thread.
#pragma once

#include <string>

// The message a request gets when its file path leaves the export.
extern const char kPathOutsideExport[];

// True and absolutePath set to the file's full path; false when the path
// leaves the export. An empty path (or ".") names the export's root.
bool ExportFilePath(const std::string& realPath, const std::string& filePath,
                    std::string& absolutePath);
