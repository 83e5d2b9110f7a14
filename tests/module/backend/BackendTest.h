// A fixture for backend tests: a temporary directory exported through the
// module, its root's object, a request context on it, and helpers to make
// objects and stat paths.
// Every call is timed by a counter that overwrites errno, so each errno a
// test checks also shows that timing left it alone.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "module/backend/SinkBkEndObj.h"
#include "tests/module/backend/CountingPerfCounter.h"
#include "tests/module/exports/ExportedDir.h"

class BackendTest : public ::testing::Test {
  protected:
    boost::shared_ptr<SinkBkEndObj> Object(const std::string& path) {
        auto object = boost::make_shared<SinkBkEndObj>(exported.exp, path);
        EXPECT_TRUE(object->IsInitSuccess()) << path;
        return object;
    }
    // The errno a call left that failed (-1, or a null object); errno is
    // cleared first. -1 when the call did not fail.
    template <class Call>
    static int ErrnoOf(Call call) {
        errno = 0;
        const auto result = call();
        if constexpr (std::is_arithmetic_v<decltype(result)>)
            return result == -1 ? errno : -1;
        else
            return !result ? errno : -1;
    }
    static struct stat Lstat(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    }

    CountingPerfCounter timing{true};
    ExportedDir exported{41};
    LumeCtxt ctx = exported.Ctx();
    const std::string& root = exported.dir.Path();
    boost::shared_ptr<SinkBkEndObj> rootObject = Object(root);
};
