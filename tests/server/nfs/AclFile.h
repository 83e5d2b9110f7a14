// A file made empty at path with mode and, when acl is not empty, that
// access ACL; false when the file system takes no ACLs.
#pragma once

#include <sys/acl.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

inline bool MakeFileWithAcl(const std::string& path, mode_t mode, const std::string& acl) {
    EXPECT_TRUE(std::ofstream(path).good()) << path;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    if (acl.empty())
        return true;
    acl_t parsed = acl_from_text(acl.c_str());
    EXPECT_NE(parsed, nullptr) << acl;
    const int set = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, parsed);
    acl_free(parsed);
    return set == 0;
}
