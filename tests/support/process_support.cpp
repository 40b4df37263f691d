#include "tests/support/process_support.h"

#include <fcntl.h>
#include <signal.h>
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

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments, const std::string& folder,
            const std::vector<std::string>& environment, int output_fd)
{
    pid_t pid = fork();
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

int x11_driver(const std::vector<std::string>& commands, std::string* output)
{
    return run_program(SAVREL_X11_DRIVER_PATH, commands, output, "", 60000);
}
