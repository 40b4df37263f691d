// The test support's process guard: a child started by a test never outlives it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/process_support.h"

namespace {

// Long enough to outlast any test; the guard must cut it short.
const char* const kForever = "100000";
const int kGoneMilliseconds = 30000;

// True once the process is reaped or a zombie: it runs no more.
bool ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, name, state;
    if (!(stat >> pid_field >> name >> state)) return true;
    return state == "Z" || state == "X";
}

bool ends_within(pid_t pid, int milliseconds)
{
    for (int waited = 0; waited < milliseconds && !ended(pid); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ended(pid);
}

TEST(ChildProcess, DestroyedWhileTheChildRunsKillsAndReapsIt)
{
    pid_t pid = -1;
    {
        ChildProcess child(spawn_program("/bin/sleep", {kForever}, ""));
        pid = child.pid();
        ASSERT_GT(pid, 0);
        EXPECT_FALSE(ended(pid));
    }
    // Reaped, not a zombie: the pid is no longer ours to signal.
    EXPECT_NE(kill(pid, 0), 0);
}

TEST(ChildProcess, WaitPastItsLimitKillsTheChild)
{
    ChildProcess child(spawn_program("/bin/sleep", {kForever}, ""));
    pid_t pid = child.pid();
    EXPECT_EQ(child.wait(50), -1);
    EXPECT_EQ(child.pid(), -1);
    EXPECT_NE(kill(pid, 0), 0);
    ChildProcess quick(spawn_program("/bin/sh", {"-c", "exit 3"}, ""));
    EXPECT_EQ(quick.wait(kGoneMilliseconds), 3);
}

TEST(ChildProcess, RunningReportsTheExitOnceAndReapsTheChild)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ChildProcess child(fork_child());
    if (child.in_child()) {
        char byte = 0;
        _exit(read(fds[0], &byte, 1) == 1 ? 5 : 1);
    }
    pid_t pid = child.pid();
    int status = -2;
    EXPECT_TRUE(child.running(&status));
    EXPECT_EQ(status, -2);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGoneMilliseconds);
    while (child.running(&status) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(status, 5);
    EXPECT_FALSE(child.running(&status));
    EXPECT_NE(kill(pid, 0), 0);
    close(fds[0]);
    close(fds[1]);
}

TEST(ChildProcess, ForkedChildDiesWithTheProcessThatForkedIt)
{
    // A go-between forks a child that would run forever, tells its pid and exits without a
    // wait: the kernel must end the orphan.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ChildProcess between(fork_child());
    if (between.in_child()) {
        ChildProcess orphan(fork_child());
        if (orphan.in_child()) {
            pause();
            _exit(0);
        }
        pid_t pid = orphan.pid();
        _exit(write(fds[1], &pid, sizeof pid) == sizeof pid ? 0 : 1);
    }
    close(fds[1]);
    pid_t orphan = -1;
    ASSERT_EQ(read(fds[0], &orphan, sizeof orphan), ssize_t(sizeof orphan));
    close(fds[0]);
    EXPECT_EQ(between.wait(kGoneMilliseconds), 0);
    ASSERT_GT(orphan, 0);
    EXPECT_TRUE(ends_within(orphan, kGoneMilliseconds));
}

}  // namespace
