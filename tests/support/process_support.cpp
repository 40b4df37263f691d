#include "tests/support/process_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

std::string make_scratch_folder(void)
{
    char folder[] = "/tmp/savrel-test-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    return folder;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

bool file_exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

namespace {

// Xvfb writes its display number once it listens; a loaded machine can take seconds.
const int kDisplayStartMilliseconds = 30000;
const int kDisplayStopMilliseconds = 5000;

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments, const std::string& folder,
            const std::vector<std::string>& environment, int output_fd)
{
    pid_t pid = fork_child();
    if (pid != 0) return pid;
    if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
    if (output_fd >= 0) {
        dup2(output_fd, 1);
        dup2(output_fd, 2);
    }
    for (const std::string& variable : environment) putenv(strdup(variable.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

pid_t fork_child(void)
{
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) return pid;
    // The kernel sends the signal when the forking thread ends: tests fork from their main
    // thread. A parent gone before the request took effect is caught by the second check.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
    return 0;
}

pid_t spawn_program(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& folder, const std::vector<std::string>& environment,
                    const std::string& capture_path)
{
    int fd = capture_path.empty() ? -1 : open(capture_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = spawn(program, arguments, folder, environment, fd);
    if (fd >= 0) close(fd);
    return pid;
}

int wait_program(pid_t pid, int timeout_milliseconds)
{
    for (int waited = 0;; waited += 10) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (waited >= timeout_milliseconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int run_program(const std::string& program, const std::vector<std::string>& arguments, std::string* output,
                const std::string& folder, int timeout_milliseconds, const std::vector<std::string>& environment)
{
    char capture[] = "/tmp/savrel-out-XXXXXX";
    int fd = mkstemp(capture);
    pid_t pid = spawn(program, arguments, folder, environment, fd);
    int status = wait_program(pid, timeout_milliseconds);
    close(fd);
    if (output) *output = read_file(capture);
    unlink(capture);
    return status;
}

int x11_driver(const std::vector<std::string>& commands, std::string* output, const std::string& display)
{
    std::vector<std::string> environment;
    if (!display.empty()) environment.push_back(display);
    return run_program(SAVREL_X11_DRIVER_PATH, commands, output, "", 60000, environment);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

int ChildProcess::wait(int timeout_milliseconds)
{
    if (pid_ <= 0) return -1;
    int status = wait_program(pid_, timeout_milliseconds);
    pid_ = -1;
    return status;
}

bool ChildProcess::running(int* status)
{
    if (pid_ <= 0) return false;
    // Looked at without reaping, so that wait reads the status as it always does.
    siginfo_t info{};
    if (waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0) return true;
    *status = wait(0);
    return false;
}

int ChildProcess::stop(int signal, int timeout_milliseconds)
{
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    return wait(timeout_milliseconds);
}

std::string report_then_kill(const std::function<void(int report_fd)>& work, int* status)
{
    *status = -1;
    int fds[2];
    if (pipe(fds) != 0) return "";
    ChildProcess child(fork_child());
    if (child.in_child()) {
        close(fds[0]);
        work(fds[1]);
        pause();
        _exit(0);
    }
    close(fds[1]);
    std::string marks;
    char mark = 0;
    while (child.pid() > 0 && read(fds[0], &mark, 1) == 1) {
        marks += mark;
        if (mark == '!') break;
    }
    close(fds[0]);
    *status = child.stop();
    return marks;
}

PrivateDisplay::PrivateDisplay()
{
    int fds[2];
    if (pipe(fds) != 0) return;
    server_ = ChildProcess(fork_child());
    if (server_.in_child()) {
        close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        // -noreset: SDL opens the display once to see that it is there and closes it again; were
        // that the last client, the server would reset and refuse the viewer's next connection.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               "-noreset", nullptr);
        _exit(127);
    }
    close(fds[1]);
    char c;
    std::string number;
    pollfd ready = {fds[0], POLLIN, 0};
    while (poll(&ready, 1, kDisplayStartMilliseconds) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) variable_ = "DISPLAY=:" + number;
}

PrivateDisplay::~PrivateDisplay()
{
    server_.stop(SIGTERM, kDisplayStopMilliseconds);
}
