#include <dlfcn.h>

#include <gtest/gtest.h>

#include "module/SinkFSM.h"

namespace {

TEST(SinkFSMObject, LoadReturnsOneObjectUntilUnloaded) {
    FSM* first = LoadFSM();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(LoadFSM(), first);
    EXPECT_EQ(SinkFSM::GetFSM(), first);
    EXPECT_EQ(first->GetFSMDetails(),
              "Using this FSM, any path on the NFS server can be exported similar to native NFS "
              "servers.");
    EXPECT_TRUE(SinkFSM().UnloadFSM());  // on another object: changes nothing
    EXPECT_EQ(SinkFSM::GetFSM(), first);

    EXPECT_TRUE(first->UnloadFSM());
    FSM* second = LoadFSM();
    EXPECT_NE(second, first);
    EXPECT_EQ(LoadFSM(), second);
    delete first;  // the host's to delete after unloading
}

// The host's way in: dlopen the built library and call its entry point.
TEST(SinkFSMLibrary, LoadsThroughDlopen) {
    void* library = dlopen(SINKFSM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto load = reinterpret_cast<LoadFSMFunction>(dlsym(library, "LoadFSM"));
    ASSERT_NE(load, nullptr) << dlerror();

    FSM* fsm = load();
    ASSERT_NE(fsm, nullptr);
    EXPECT_EQ(load(), fsm);
    EXPECT_EQ(fsm->GetFSMName(), "SinkFSM");
    EXPECT_EQ(fsm->GetFSMType(), 2);
    // The library has its own singleton, apart from the one linked into
    // this test.
    EXPECT_NE(fsm, static_cast<FSM*>(SinkFSM::GetFSM()));
    EXPECT_TRUE(fsm->UnloadFSM());
    delete fsm;
    EXPECT_EQ(dlclose(library), 0);
}

}  // namespace
