// Forked children that end with the test on every path, a failed assertion included.
//
// Does NOT capture output or run programs (process_support.h does). fork_child() makes the
// child die with the test process (PR_SET_PDEATHSIG); a ChildGuard kills and reaps its child
// when it goes out of scope, unless the test has reaped it already.
// Uses: POSIX fork, prctl, waitpid.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

// fork(), with the child killed when the test process ends.
inline pid_t fork_child(void)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The parent may have ended before the request took hold.
        if (getppid() != parent) _exit(1);
    }
    return pid;
}

class ChildGuard {
public:
    explicit ChildGuard(pid_t pid)
        : pid_(pid) {}
    ~ChildGuard() { stop(); }
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;

    // True while the child runs; once it has ended, its wait status is in *status.
    bool running(int* status)
    {
        if (pid_ <= 0) return false;
        if (waitpid(pid_, status, WNOHANG) == 0) return true;
        pid_ = -1;
        return false;
    }
    // Waits up to the given time; returns the wait status, or -1 when the child was killed for it.
    int wait(int timeout_milliseconds)
    {
        int status = -1;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_milliseconds);
        while (running(&status) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (pid_ > 0) {
            stop();
            return -1;
        }
        return status;
    }
    void stop()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_;
};
