#include "platform/Paths.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace pv::platform {

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool MakeDirectories(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::string parent = DirectoryOf(path);
    if (!parent.empty() && parent != path && !MakeDirectories(parent, mode)) return false;
    if (::mkdir(path.c_str(), mode) == 0 || errno == EEXIST) return true;
    return false;
}

std::string ExecutableDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = 0;
    return DirectoryOf(buf);
}

static bool IsExecutable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : "";
    std::string beside = ExecutableDirectory();
    if (!beside.empty() && IsExecutable(beside + "/" + name)) return beside + "/" + name;
    // An installed server keeps its helper programs in <prefix>/lib/postvane.
    if (!beside.empty()) {
        const std::string library = DirectoryOf(beside) + "/lib/postvane/" + name;
        if (IsExecutable(library)) return library;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t i = 0;
    while (i <= dirs.size()) {
        size_t j = dirs.find(':', i);
        if (j == std::string::npos) j = dirs.size();
        std::string dir = j > i ? dirs.substr(i, j - i) : std::string(".");
        if (IsExecutable(dir + "/" + name)) return dir + "/" + name;
        i = j + 1;
    }
    return "";
}

namespace {

// A connection to a local stream socket; abstract names start with '@'.
bool UnixSocketAnswers(const std::string& path) {
    sockaddr_un address {};
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    if (path[0] == '@') address.sun_path[0] = '\0';
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

bool DisplayReachable() {
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) {
        std::string path = wayland;
        if (path[0] != '/') {
            const char* runtime = std::getenv("XDG_RUNTIME_DIR");
            path = std::string(runtime ? runtime : "") + "/" + path;
        }
        if (UnixSocketAnswers(path)) return true;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    const std::string value = display;
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = value.substr(0, colon);
    if (!host.empty() && host != "unix") return true;  // another host, or a forwarded display
    std::string number = value.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string socket = "/tmp/.X11-unix/X" + number;
    return UnixSocketAnswers(socket) || UnixSocketAnswers("@" + socket);
}

}  // namespace pv::platform
