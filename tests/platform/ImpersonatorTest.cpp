#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/CImpersonator.h"
#include "platform/OxException.h"
#include "tests/support/LogCapture.h"

namespace {

// The calling thread's file-system identity as the kernel reports it:
// "fsuid fsgid group group ..." (groups sorted, as the kernel keeps them).
std::string IdentityOfThisThread() {
    std::ifstream status("/proc/thread-self/status");
    std::string line, fsuid, fsgid, groups, skip;
    while (std::getline(status, line)) {
        std::istringstream fields(line.substr(line.find(':') + 1));
        if (line.rfind("Uid:", 0) == 0)
            fields >> skip >> skip >> skip >> fsuid;
        else if (line.rfind("Gid:", 0) == 0)
            fields >> skip >> skip >> skip >> fsgid;
        else if (line.rfind("Groups:", 0) == 0)
            for (std::string group; fields >> group;)
                groups += " " + group;
    }
    return fsuid + " " + fsgid + groups;
}

// Runs body on a thread of its own whose effective set lacks cap, as for a
// service without it; body is given the thread's identity.
void WithoutCapability(int cap, const std::function<void(const std::string&)>& body) {
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
        data[cap / 32].effective &= ~(1u << (cap % 32));
        ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
        body(IdentityOfThisThread());
    }).join();
}

const OxUserToken kUser{12345, 23456, {34567, 23456}};

// The errno of a switch that must fail in the named call; 0 when it switched.
int Refusal(const OxUserToken& user, const char* call) {
    try {
        CImpersonator impersonate(user, false);
        return 0;
    } catch (const OxException& e) {
        EXPECT_NE(std::string(e.what()).find(call), std::string::npos) << e.what();
        return e.GetErrNo();
    }
}

class PlatformImpersonation : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "switching identity needs root";
    }
};

}  // namespace

TEST_F(PlatformImpersonation, SwitchesThisThreadOnlyAndRestoresAndARefusalChangesNothing) {
    const std::string before = IdentityOfThisThread();
    std::promise<void> go;
    std::promise<std::string> otherSeen;
    std::thread other([&] {  // started before the switch: it must keep root
        go.get_future().wait();
        otherSeen.set_value(IdentityOfThisThread());
    });
    {
        LogCapture capture(10);
        CImpersonator impersonate(kUser, true);
        EXPECT_EQ(IdentityOfThisThread(), "12345 23456 23456 34567");
        go.set_value();
        EXPECT_EQ(otherSeen.get_future().get(), before);
        EXPECT_EQ(capture.CountContaining("impersonating uid 12345 gid 23456"), 1u);
    }
    other.join();
    EXPECT_EQ(IdentityOfThisThread(), before);

    OxUserToken noUser;  // a refused switch throws and changes nothing
    noUser.groups = {5};
    EXPECT_THROW(CImpersonator(noUser, false), OxException);
    EXPECT_EQ(Refusal(OxUserToken{1, 1, std::vector<gid_t>(70000, 7)}, "setgroups"), EINVAL);
    EXPECT_EQ(IdentityOfThisThread(), before);
}

// Without CAP_SETUID the groups and fsgid switch, then fsuid fails: all is
// restored.
TEST_F(PlatformImpersonation, PartialSwitchIsUndone) {
    WithoutCapability(CAP_SETUID, [](const std::string& before) {
        EXPECT_EQ(Refusal(kUser, "setfsuid"), EPERM);
        EXPECT_EQ(IdentityOfThisThread(), before);
    });
}

// Only what differs from the thread's identity is switched and restored:
// taking another uid with the thread's own groups, in any order, needs no
// CAP_SETGID, and nothing fails on the way back.
TEST_F(PlatformImpersonation, SwitchesAndRestoresOnlyWhatDiffers) {
    WithoutCapability(CAP_SETGID, [](const std::string& before) {
        OxUserToken sameGroups = OxUserToken::ProcessIdentity();
        sameGroups.uid = 12345;
        std::reverse(sameGroups.groups.begin(), sameGroups.groups.end());
        LogCapture capture(-1);
        {
            CImpersonator impersonate(sameGroups, false);
            EXPECT_EQ(IdentityOfThisThread(), "12345" + before.substr(before.find(' ')));
        }
        EXPECT_EQ(IdentityOfThisThread(), before);
        EXPECT_EQ(capture.CountContaining("cannot restore"), 0u);
    });
}
