// The platform registry: numbers and directory values by section and key.
//
// All values live in one JSON file, <state dir>/registry.json, an object of
// sections, each an object of keys; numbers are JSON numbers, directories
// JSON strings. Every call reads the file afresh (a reader object holds no
// cache), so a value written by another thread or process is seen at once.
// A write reads, changes and atomically replaces the file (temporary file,
// fsync, rename) under a process-wide mutex and an flock on
// <state dir>/registry.lock, so concurrent writers lose no update.
// A missing or unreadable file reads as an empty registry; so does a
// symbolic link in its place (never followed, and replaced by the next
// write). Both files are made 0600.
#pragma once

#include <string>

class OXPlatformInfo {
  public:
    // Nonzero and *value filled when the key holds a whole number that is
    // not negative; else 0 and *value untouched.
    int getNumber(const std::string& section, const std::string& key, unsigned long* value);
    // As above, the number truncated to 32 bits.
    int getNumber(const std::string& section, const std::string& key, unsigned int* value) {
        unsigned long v = 0;
        if (!getNumber(section, key, &v))
            return 0;
        *value = static_cast<unsigned int>(v);
        return 1;
    }
    // Nonzero and *value filled when the key holds a directory (a string).
    int getDirectory(const std::string& section, const std::string& key, std::string* value);

    // Nonzero on success.
    int setNumber(const std::string& section, const std::string& key, unsigned long value);
    int setDirectory(const std::string& section, const std::string& key, const std::string& value);
    // Nonzero when the key existed and is gone.
    int removeValue(const std::string& section, const std::string& key);
};
