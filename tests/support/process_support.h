// Running the built programs for end-to-end tests: scratch folders, child processes, files.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

std::string make_scratch_folder(void);  // a new empty folder under /tmp
std::string read_file(const std::string& path);  // whole file, "" when missing
void write_file(const std::string& path, const std::string& bytes);  // replaces the file
bool file_exists(const std::string& path);

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
    pid_t pid_ = -1;
    std::string variable_;
};
