// Running the built programs for end-to-end tests: scratch folders, child processes, files.
//
// Every process started here dies with the test process (PR_SET_PDEATHSIG), and every wait has
// a time limit. A test that starts a process holds it in a ChildProcess, which kills and reaps
// it on every path out of the test, a failed assertion included.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

std::string make_scratch_folder(void);  // a new empty folder under /tmp
std::string read_file(const std::string& path);  // whole file, "" when missing
void write_file(const std::string& path, const std::string& bytes);  // replaces the file
bool file_exists(const std::string& path);

// fork() for tests: the child is killed when the test process ends. Returns 0 in the child.
pid_t fork_child(void);
// A program started in a folder; its standard output and error go to capture_path when given.
pid_t spawn_program(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& folder, const std::vector<std::string>& environment = {},
                    const std::string& capture_path = "");
// Waits up to the given time; returns the exit status, or -1 on timeout (the child is killed),
// or 128 + signal when it died from a signal.
int wait_program(pid_t pid, int timeout_milliseconds);
// Runs a program to the end and returns its exit status; its standard output and error are captured together.
int run_program(const std::string& program, const std::vector<std::string>& arguments,
                std::string* output = nullptr, const std::string& folder = "", int timeout_milliseconds = 60000,
                const std::vector<std::string>& environment = {});
// Runs the X11 driver with the given commands; returns its exit status and its output.
// Given a display variable ("DISPLAY=:N"), it drives that display instead of the inherited one.
int x11_driver(const std::vector<std::string>& commands, std::string* output = nullptr,
               const std::string& display = "");

// A child that ends with its owner: killed (SIGKILL) and reaped on destruction unless waited for.
// Holds no process in the child itself, where fork_child returned 0.
class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(pid_t pid)
        : pid_(pid) {}
    ~ChildProcess() { stop(); }
    ChildProcess(ChildProcess&& other) noexcept
        : pid_(other.pid_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    bool in_child() const { return pid_ == 0; }
    // As wait_program: the exit status, -1 on timeout (then killed), 128 + signal. Reaped after.
    int wait(int timeout_milliseconds);
    // True while the child runs; once it has ended it is reaped and *status is as wait gives it.
    bool running(int* status);
    // Sends the signal and waits up to the given time before SIGKILL; returns as wait. -1 when none runs.
    int stop(int signal = SIGKILL, int timeout_milliseconds = 20000);

private:
    pid_t pid_ = -1;
};

// Runs work(report_fd) in a forked child that reports its steps through a pipe, a byte each,
// and writes '!' when it is ready to die; it waits there (or at its end) to be killed. Returns
// the bytes written up to the '!' included, or up to the child's end; the child is killed
// (SIGKILL) and reaped first, and *status is as ChildProcess::wait gives it.
std::string report_then_kill(const std::function<void(int report_fd)>& work, int* status);

// An X server of the test's own, so that tests running side by side never drive each
// other's windows. Started ready (Xvfb -displayfd); stopped with the object.
class PrivateDisplay {
public:
    PrivateDisplay();
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;
    const std::string& variable() const { return variable_; }  // "DISPLAY=:N", empty when it failed

private:
    ChildProcess server_;
    std::string variable_;
};
