#include "platform/Dialer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Process.h"

namespace pv::platform {

namespace {

struct CodeText {
    uint32_t code;
    const char* text;
};

// Our own wording, one line each: it goes into the log as it stands.
constexpr CodeText kCodeTexts[] = {
    {kDialOk, "No error"},
    {kDialInvalidHandle, "The connection does not exist (any more)"},
    {kDialPending, "The dial is still under way"},
    {kDialNoEntry, "No phone-book entry of that name: check Connection against the dialer's entries"},
    {kDialLineDropped, "The line was dropped"},
    {kDialCannotStart, "The dialing program could not be started"},
    {kDialLineBusy, "The line is busy"},
    {kDialNoAnswer, "The provider did not answer"},
    {kDialNoCarrier, "No carrier: the modems could not agree"},
    {kDialNoDialTone, "No dial tone: check the telephone line"},
    {kDialAuthFailed, "The provider refused the user name or password (Schedule username/password)"},
    // pppd's exit states.
    {kPppdExitBase + 0, "pppd ended: the link was closed by the provider"},
    {kPppdExitBase + 1, "pppd failed: a fatal error (see the system log)"},
    {kPppdExitBase + 2, "pppd failed: an error in its options or in the peer file"},
    {kPppdExitBase + 3, "pppd failed: it must run as root (or be set-uid root)"},
    {kPppdExitBase + 4, "pppd failed: the kernel has no PPP support (no /dev/ppp)"},
    {kPppdExitBase + 5, "pppd ended on a signal (SIGINT, SIGTERM or SIGHUP)"},
    {kPppdExitBase + 6, "pppd failed: the serial port is locked by another program"},
    {kPppdExitBase + 7, "pppd failed: the serial port could not be opened"},
    {kPppdExitBase + 8, "pppd failed: the connect script failed (no answer, busy or no carrier)"},
    {kPppdExitBase + 9, "pppd failed: the pty command failed"},
    {kPppdExitBase + 10, "pppd failed: the PPP negotiation failed"},
    {kPppdExitBase + 11, "pppd failed: the provider did not authenticate itself"},
    {kPppdExitBase + 12, "pppd ended: the link was idle too long"},
    {kPppdExitBase + 13, "pppd ended: the connect time limit was reached"},
    {kPppdExitBase + 14, "pppd ended: callback was negotiated"},
    {kPppdExitBase + 15, "pppd ended: the provider stopped answering echo requests"},
    {kPppdExitBase + 16, "pppd ended: the modem hung up"},
    {kPppdExitBase + 17, "pppd failed: the line is looped back"},
    {kPppdExitBase + 18, "pppd failed: the init script failed"},
    {kPppdExitBase + 19, "pppd failed: the provider refused the user name or password"},
    {kPppdExitBase + 20, "pppd ended: the traffic limit was reached"},
    {kPppdExitBase + 21, "pppd failed: the caller number was refused"},
};

using Clock = std::chrono::steady_clock;

// --- the simulator ---------------------------------------------------------------------------

class SimulatedDialer : public IDialer {
public:
    explicit SimulatedDialer(SimulatorScript script) : script_(std::move(script)) {}

    uint32_t Dial(const DialParams& params, DialHandle& handle) override {
        handle = ++lastHandle_;
        Link link;
        link.entry = params.entry;
        if (!Find(params.entry)) {
            link.phase = Phase::Failed;
            link.error = kDialNoEntry;
        }
        links_[handle] = link;
        return kDialOk;
    }

    uint32_t Status(DialHandle handle, DialStatus& status) override {
        auto it = links_.find(handle);
        if (it == links_.end()) return kDialInvalidHandle;
        Link& link = it->second;
        const auto entry = Find(link.entry);
        switch (link.phase) {
            case Phase::External:
                if (!entry || !entry->external) {
                    links_.erase(it);
                    return kDialInvalidHandle;
                }
                status = {kDialConnected, kDialOk};
                return kDialOk;
            case Phase::Dialing: {
                ++link.polls;
                const SimulatedEntry e = entry.value_or(SimulatedEntry{});
                const int through = e.connectAfter < 0 ? (e.failCode ? 1 : -1) : e.connectAfter;
                if (through >= 0 && link.polls >= through) {
                    if (e.failCode) {
                        link.phase = Phase::Failed;
                        link.error = e.failCode;
                    } else {
                        link.phase = Phase::Up;
                        status = {kDialConnected, kDialOk};
                        return kDialOk;
                    }
                } else {
                    // The progress a modem dial shows on its way.
                    uint32_t state = link.polls <= 1 ? kDialOpenPort : link.polls == 2 ? kDialPortOpened : kDialConnectDevice;
                    if (through > 0 && link.polls == through - 1) state = kDialAuthenticate;
                    status = {state, kDialPending};
                    return kDialOk;
                }
                break;
            }
            case Phase::Up: {
                ++link.upPolls;
                const SimulatedEntry e = entry.value_or(SimulatedEntry{});
                const bool mayDrop = e.dropTimes < 0 || drops_[link.entry] < e.dropTimes;
                if (e.dropAfter >= 0 && mayDrop && link.upPolls > e.dropAfter) {
                    ++drops_[link.entry];
                    link.phase = Phase::Failed;
                    link.error = kDialLineDropped;
                    break;
                }
                status = {kDialConnected, kDialOk};
                return kDialOk;
            }
            case Phase::HungUp:
                links_.erase(it);
                return kDialInvalidHandle;
            case Phase::Failed:
                break;
        }
        status = {kDialDisconnected, link.error};
        return kDialOk;
    }

    uint32_t HangUp(DialHandle handle) override {
        auto it = links_.find(handle);
        if (it == links_.end()) return kDialInvalidHandle;
        // The next status query still finds it; the one after that no longer does.
        it->second.phase = Phase::HungUp;
        return kDialOk;
    }

    bool ListConnections(std::vector<ActiveConnection>& out, size_t max) override {
        out.clear();
        for (const auto& [handle, link] : links_) {
            if (link.phase == Phase::Up) out.push_back({link.entry, handle});
        }
        for (const auto& e : script_()) {
            if (!e.external) continue;
            DialHandle handle = 0;
            for (const auto& [h, link] : links_) {
                if (link.phase == Phase::External && link.entry == e.name) handle = h;
            }
            if (!handle) {
                handle = ++lastHandle_;
                Link link;
                link.entry = e.name;
                link.phase = Phase::External;
                links_[handle] = link;
            }
            out.push_back({e.name, handle});
        }
        return out.size() <= max;
    }

    std::vector<std::string> ListEntries() override {
        std::vector<std::string> names;
        for (const auto& e : script_()) names.push_back(e.name);
        return names;
    }

    std::string ErrorText(uint32_t code) override { return DialErrorText(code); }

private:
    enum class Phase { Dialing, Up, Failed, HungUp, External };
    struct Link {
        std::string entry;
        Phase phase = Phase::Dialing;
        int polls = 0;
        int upPolls = 0;
        uint32_t error = kDialOk;
    };

    std::optional<SimulatedEntry> Find(const std::string& name) const {
        for (auto& e : script_()) {
            if (e.name == name) return e;
        }
        return std::nullopt;
    }

    SimulatorScript script_;
    std::map<DialHandle, Link> links_;
    std::map<std::string, int> drops_;
    DialHandle lastHandle_ = 0;
};

// --- pppd ----------------------------------------------------------------------------------------

// pppd's pid file for a link name: the pid on the first line, the interface on the second once
// the link is up.
struct PidFile {
    pid_t pid = 0;
    std::string interface;
};

bool ReadPidFile(const std::string& path, PidFile& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::string pidLine, ifLine;
    std::getline(in, pidLine);
    std::getline(in, ifLine);
    char* end = nullptr;
    const long pid = std::strtol(pidLine.c_str(), &end, 10);
    if (end == pidLine.c_str() || pid <= 0) return false;
    while (!ifLine.empty() && (ifLine.back() == '\r' || ifLine.back() == ' ')) ifLine.pop_back();
    out.pid = static_cast<pid_t>(pid);
    out.interface = ifLine;
    return true;
}

bool ProcessAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// A value in a pppd options file: quoted, with the quote and backslash escaped.
std::string Quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n' || c == '\r') continue;
        out += c;
    }
    return out + "\"";
}

class PppdDialer : public IDialer {
public:
    explicit PppdDialer(PppdPaths paths) : paths_(std::move(paths)) {
        if (paths_.secretsDir.empty()) paths_.secretsDir = paths_.runDir;
    }

    ~PppdDialer() override {
        for (auto& [handle, link] : links_) RemoveOptionFile(link);
    }

    uint32_t Dial(const DialParams& params, DialHandle& handle) override {
        handle = ++lastHandle_;
        Link& link = links_[handle];
        link.entry = params.entry;
        // An entry name is a file name below the peers folder: nothing that leaves it.
        if (params.entry.empty() || params.entry.find('/') != std::string::npos || params.entry[0] == '.' ||
            ::access((paths_.peersDir + "/" + params.entry).c_str(), R_OK) != 0) {
            link.error = kDialNoEntry;
            return kDialNoEntry;
        }
        // User and password go in an options file only we can read: on the command line every
        // user of the machine would see the password.
        std::vector<std::string> args = {"call", params.entry, "linkname", params.entry, "nodetach"};
        if (!params.userName.empty() || !params.password.empty()) {
            link.optionFile = paths_.secretsDir + "/postvane-dial-" + std::to_string(::getpid()) + "-" +
                              std::to_string(handle);
            const int fd = ::open(link.optionFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0) {
                link.optionFile.clear();
                link.error = kDialCannotStart;
                return kDialCannotStart;
            }
            std::string text;
            if (!params.userName.empty()) text += "user " + Quoted(params.userName) + "\n";
            if (!params.password.empty()) text += "password " + Quoted(params.password) + "\n";
            const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::close(fd);
            if (!written) {
                RemoveOptionFile(link);
                link.error = kDialCannotStart;
                return kDialCannotStart;
            }
            args.push_back("file");
            args.push_back(link.optionFile);
        }
        if (!params.phoneNumber.empty()) {
            args.push_back("remotenumber");
            args.push_back(params.phoneNumber);
        }
        SpawnResult spawned = SpawnProcess(paths_.program, args, false);
        if (!spawned.started) {
            RemoveOptionFile(link);
            link.error = kDialCannotStart;
            return kDialCannotStart;
        }
        link.pid = spawned.pid;
        return kDialOk;
    }

    uint32_t Status(DialHandle handle, DialStatus& status) override {
        auto it = links_.find(handle);
        if (it == links_.end()) return kDialInvalidHandle;
        Link& link = it->second;
        if (link.external) {
            PidFile pf;
            if (!ReadPidFile(PidPath(link.entry), pf) || pf.pid != link.pid || pf.interface.empty() ||
                !ProcessAlive(pf.pid)) {
                links_.erase(it);
                return kDialInvalidHandle;
            }
            status = {kDialConnected, kDialOk};
            return kDialOk;
        }
        Reap(link);
        if (link.pid == 0) {
            // Never started, or ended and reaped.
            if (link.hungUp) {
                RemoveOptionFile(link);
                links_.erase(it);
                return kDialInvalidHandle;
            }
            status = {kDialDisconnected, link.error ? link.error : kDialLineDropped};
            return kDialOk;
        }
        if (link.hungUp) {
            // pppd takes its time to close the link cleanly; one that does not end is killed.
            if (!link.killed && Clock::now() - link.hangUpAt > kTermGrace) {
                ::kill(link.pid, SIGKILL);
                link.killed = true;
            }
            status = {kDialDisconnected, kDialOk};
            return kDialOk;
        }
        PidFile pf;
        if (ReadPidFile(PidPath(link.entry), pf) && pf.pid == link.pid && !pf.interface.empty()) {
            // pppd has read its options by now.
            RemoveOptionFile(link);
            status = {kDialConnected, kDialOk};
        } else {
            status = {kDialConnectDevice, kDialPending};
        }
        return kDialOk;
    }

    uint32_t HangUp(DialHandle handle) override {
        auto it = links_.find(handle);
        if (it == links_.end()) return kDialInvalidHandle;
        Link& link = it->second;
        if (link.external) {
            // Only asked for by someone who means it: the manager leaves external links alone.
            ::kill(link.pid, SIGTERM);
            links_.erase(it);
            return kDialOk;
        }
        if (!link.hungUp && link.pid > 0 && ::kill(link.pid, SIGTERM) != 0 && errno != ESRCH) {
            return kDialCannotStart;
        }
        link.hungUp = true;
        link.hangUpAt = Clock::now();
        return kDialOk;
    }

    bool ListConnections(std::vector<ActiveConnection>& out, size_t max) override {
        out.clear();
        DIR* dir = ::opendir(paths_.runDir.c_str());
        if (!dir) return false;
        std::vector<std::string> names;
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name.size() > 8 && name.rfind("ppp-", 0) == 0 && name.compare(name.size() - 4, 4, ".pid") == 0) {
                names.push_back(name.substr(4, name.size() - 8));
            }
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const auto& entry : names) {
            PidFile pf;
            if (!ReadPidFile(PidPath(entry), pf) || pf.interface.empty() || !ProcessAlive(pf.pid)) continue;
            DialHandle handle = 0;
            for (auto& [h, link] : links_) {
                if (link.entry == entry && link.pid == pf.pid && !link.hungUp) handle = h;
            }
            if (!handle) {
                handle = ++lastHandle_;
                Link& link = links_[handle];
                link.entry = entry;
                link.pid = pf.pid;
                link.external = true;
            }
            out.push_back({entry, handle});
        }
        return out.size() <= max;
    }

    std::vector<std::string> ListEntries() override {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(paths_.peersDir.c_str())) {
            while (dirent* e = ::readdir(dir)) {
                std::string name = e->d_name;
                struct stat st {};
                if (name[0] != '.' && ::stat((paths_.peersDir + "/" + name).c_str(), &st) == 0 &&
                    S_ISREG(st.st_mode)) {
                    names.push_back(name);
                }
            }
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string ErrorText(uint32_t code) override { return DialErrorText(code); }

private:
    static constexpr auto kTermGrace = std::chrono::seconds(5);

    struct Link {
        std::string entry;
        pid_t pid = 0;
        bool external = false;
        bool hungUp = false;
        bool killed = false;
        uint32_t error = kDialOk;
        std::string optionFile;
        Clock::time_point hangUpAt;
    };

    std::string PidPath(const std::string& entry) const { return paths_.runDir + "/ppp-" + entry + ".pid"; }

    void RemoveOptionFile(Link& link) {
        if (!link.optionFile.empty()) ::unlink(link.optionFile.c_str());
        link.optionFile.clear();
    }

    // A pppd that has ended leaves its exit state as the link's error.
    void Reap(Link& link) {
        if (link.pid <= 0) return;
        int status = 0;
        const pid_t rc = ::waitpid(link.pid, &status, WNOHANG);
        if (rc == link.pid || (rc < 0 && errno == ECHILD)) {
            const int code = rc == link.pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                 : rc == link.pid ? 128 + WTERMSIG(status) : 1;
            link.error = kPppdExitBase + static_cast<uint32_t>(code);
            link.pid = 0;
            RemoveOptionFile(link);
        }
    }

    PppdPaths paths_;
    std::map<DialHandle, Link> links_;
    DialHandle lastHandle_ = 0;
};

}  // namespace

std::string DialErrorText(uint32_t code) {
    for (const auto& ct : kCodeTexts) {
        if (ct.code == code) return ct.text;
    }
    if (code > kPppdExitBase + 128 && code < kPppdExitBase + 128 + 65) {
        return "pppd was ended by signal " + std::to_string(code - kPppdExitBase - 128);
    }
    return "Dial error " + std::to_string(code);
}

std::unique_ptr<IDialer> MakeSimulatedDialer(SimulatorScript script) {
    return std::make_unique<SimulatedDialer>(std::move(script));
}

std::unique_ptr<IDialer> MakePppdDialer(PppdPaths paths) { return std::make_unique<PppdDialer>(std::move(paths)); }

void Beep() {
    if (::isatty(STDERR_FILENO)) {
        const char bell = '\a';
        [[maybe_unused]] ssize_t rc = ::write(STDERR_FILENO, &bell, 1);
    }
}

}  // namespace pv::platform
