// Runs body in a forked child and returns the value it sends back through a
// pipe. The child then exits, or with killed dies by SIGKILL as in a crash;
// a child that ends any other way fails the test. The child must not inherit
// an open store (an LMDB environment must not cross a fork).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

template <typename T, typename Body>
T FromChild(bool killed, Body body) {
    T got{};
    int channel[2];
    EXPECT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const T made = body();
        const bool sent = ::write(channel[1], &made, sizeof made) == sizeof made;
        if (sent && killed)
            ::raise(SIGKILL);
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    EXPECT_EQ(::read(channel[0], &got, sizeof got), static_cast<ssize_t>(sizeof got));
    ::close(channel[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(killed ? WIFSIGNALED(status) : WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return got;
}
