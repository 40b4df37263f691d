// savrel-view: starts the viewer on a recording anywhere, in a run folder of the recording's own.
//
// The viewer takes no options and reads advance_profile.bin from its working folder. This links
// the recording there as that name, in $XDG_CACHE_HOME/savrel/NAME-HASH/ (or ~/.cache/savrel/...),
// says where the viewer's output goes and starts the viewer installed beside it. Key F in the
// viewer then follows the linked file while a program records into it.
//
// It prints the viewer's keys once before starting it.
//
// Use: savrel-view PATH. Exit status 1 when PATH is missing or unreadable or the run folder
// cannot be made, 2 on bad usage; otherwise the viewer's own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kViewerName = "savrel";
const char* const kRecordingName = "advance_profile.bin";
// The folder name keeps this much of the recording's name; the hash tells the rest apart.
const size_t kNameKept = 100;
const char* const kKeys =
    "Keys: F follows the recording while it is written, R reloads it, Home frames the graph.\n"
    "Mouse: right drag turns, right+left drag zooms, right+middle drag pans, right+middle+left resets;\n"
    "       left drag sideways scrolls the frames, up or down narrows or widens them.\n";

int complain(const std::string& what, const char* reason)
{
    std::fprintf(stderr, "savrel-view: %s: %s\n", what.c_str(), reason);
    return 1;
}

// FNV-1a: recordings of the same name in different folders get folders of their own.
uint64_t path_hash(const std::string& path)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : path) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

// The cache folder as the XDG rules give it; "" when neither variable helps.
std::string cache_folder()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && cache[0] == '/') return cache;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.cache";
    return "";
}

bool make_folders(const std::string& path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
}

std::string own_folder()
{
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return "";
    std::string path(exe, size_t(length));
    return path.substr(0, path.rfind('/'));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: savrel-view PATH\n"
                     "  views the recording PATH; key F in the viewer follows it while it is written\n");
        return 2;
    }
    char resolved[PATH_MAX];
    if (!realpath(argv[1], resolved)) return complain(argv[1], std::strerror(errno));
    std::string recording = resolved;
    int file = open(resolved, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return complain(recording, std::strerror(errno));
    struct stat info;
    bool regular = fstat(file, &info) == 0 && S_ISREG(info.st_mode);
    close(file);
    if (!regular) return complain(recording, "not a regular file");

    std::string cache = cache_folder();
    if (cache.empty()) return complain("no cache folder", "neither XDG_CACHE_HOME nor HOME is an absolute path");
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", (unsigned long long)path_hash(recording));
    std::string name = recording.substr(recording.rfind('/') + 1).substr(0, kNameKept);
    std::string folder = cache + "/savrel/" + name + "-" + hash;
    if (!make_folders(folder)) return complain(folder, std::strerror(errno));
    std::string link = folder + "/" + kRecordingName;
    if (unlink(link.c_str()) != 0 && errno != ENOENT) return complain(link, std::strerror(errno));
    if (symlink(recording.c_str(), link.c_str()) != 0) return complain(link, std::strerror(errno));

    std::string viewer = own_folder() + "/" + kViewerName;
    if (access(viewer.c_str(), X_OK) != 0) return complain(viewer, std::strerror(errno));
    std::printf("savrel-view: viewing %s from %s; the viewer's output goes to %s/my_stdout.txt\n", recording.c_str(),
                folder.c_str(), folder.c_str());
    std::fputs(kKeys, stdout);
    std::fflush(stdout);
    if (chdir(folder.c_str()) != 0) return complain(folder, std::strerror(errno));
    char* arguments[] = {const_cast<char*>(viewer.c_str()), nullptr};
    execv(viewer.c_str(), arguments);
    return complain(viewer, std::strerror(errno));
}
