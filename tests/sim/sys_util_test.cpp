#include "sim/sys_util.h"

#include "tests/pipe_pair.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "sim/unique_fd.h"

using namespace boardbox;

TEST(WaitForInput, DataMakesItReady)
{
    PipePair p;
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(p.r.valid() && wake.valid());
    ASSERT_EQ(::write(p.w.get(), "x", 1), 1);
    EXPECT_EQ(wait_for_input(p.r.get(), wake.get()), Input::ready);
}

TEST(WaitForInput, AWakeUpWinsOverWaitingData)
{
    PipePair p;
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(p.r.valid() && wake.valid());
    ASSERT_EQ(::write(p.w.get(), "x", 1), 1);
    signal_event(wake.get());
    EXPECT_EQ(wait_for_input(p.r.get(), wake.get()), Input::woken);
}

TEST(WaitForInput, AWakeUpFromAnotherThreadEndsTheWait)
{
    PipePair p;
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(p.r.valid() && wake.valid());
    std::thread t([&] { signal_event(wake.get()); });
    EXPECT_EQ(wait_for_input(p.r.get(), wake.get()), Input::woken);
    t.join();
}

TEST(WaitForInput, AHangUpWithoutDataIsClosed)
{
    PipePair p;
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(p.r.valid() && wake.valid());
    p.w.reset();
    EXPECT_EQ(wait_for_input(p.r.get(), wake.get()), Input::closed);
}

TEST(WaitForInput, DataLeftBeforeAHangUpIsStillReady)
{
    PipePair p;
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(p.r.valid() && wake.valid());
    ASSERT_EQ(::write(p.w.get(), "x", 1), 1);
    p.w.reset();
    EXPECT_EQ(wait_for_input(p.r.get(), wake.get()), Input::ready);
}

TEST(WaitForInput, AClosedDescriptorIsReportedNotWaitedOn)
{
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(wake.valid());
    int fd = ::eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(wait_for_input(fd, wake.get()), Input::closed);
}
