// Network framework figures: how fast the SMTP listener takes connections (connect, greeting,
// close; one client after the other on loopback) and how much resident memory 1,000 idle
// conversations cost. Prints the figures; run from a Release build.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/RegistryKey.h"
#include "net/Listeners.h"
#include "platform/Hive.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<int> g_live {0};

// Greets, then waits for the client to leave. With readsConfig it also reads a configuration
// value on its own thread at the greeting, as the real services do (their time-out value).
class GreetingConversation : public pv::net::CSocketThread {
public:
    explicit GreetingConversation(bool readsConfig) : readsConfig_(readsConfig) { ++g_live; }
    ~GreetingConversation() override { --g_live; }

protected:
    void OnSend() override {
        if (greeted_) return;
        greeted_ = true;
        uint32_t timeout = 600;
        if (readsConfig_) pv::CRegistryKey("AdvCon", false).ReadInt("SMTPintimeout", timeout);
        SendLine("220 bench.invalid Postvane server ready");
        SetTimeout(static_cast<int>(timeout));
    }
    void OnReceive() override { ReceiveLines(); }
    void OnClose() override { Close(true); }

private:
    bool readsConfig_;
    bool greeted_ = false;
};

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

unsigned FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

// Connects to 127.0.0.1:port and reads the greeting line. -1 on failure.
int ConnectAndGreet(unsigned port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    std::string got;
    char buf[256];
    while (got.find('\n') == std::string::npos) {
        pollfd p {fd, POLLIN, 0};
        ssize_t n = ::poll(&p, 1, 5000) == 1 ? ::recv(fd, buf, sizeof buf, 0) : -1;
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return fd;
}

// The listener opens its port on its own thread; true once it answers.
bool WaitUntilListening(unsigned port) {
    const auto deadline = Clock::now() + 5s;
    for (;;) {
        int fd = ConnectAndGreet(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "net_bench: the listener did not open port %u\n", port);
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool WaitForNoConversations() {
    const auto deadline = Clock::now() + 20s;
    while (g_live.load() != 0) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool RaiseDescriptorLimit(rlim_t wanted) {
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= wanted) return true;
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= wanted;
}

// Opens `count` idle conversations and reports the resident memory they add.
bool MeasureIdle(unsigned port, int count, const char* label) {
    if (!WaitForNoConversations()) return false;
    std::this_thread::sleep_for(200ms);
    const long before = ResidentKiB();
    std::vector<int> clients;
    for (int i = 0; i < count; ++i) {
        int fd = ConnectAndGreet(port);
        if (fd < 0) {
            std::fprintf(stderr, "net_bench: conversation %d could not be opened: %s\n", i, std::strerror(errno));
            break;
        }
        clients.push_back(fd);
    }
    std::this_thread::sleep_for(500ms);
    const long after = ResidentKiB();
    const int open = g_live.load();
    std::printf("%-44s %6d open  VmRSS %7.1f MiB (before %.1f MiB, +%.1f KiB per conversation)\n", label, open,
                after / 1024.0, before / 1024.0, open ? double(after - before) / open : 0.0);
    for (int fd : clients) ::close(fd);
    return static_cast<int>(clients.size()) == count;
}

}  // namespace

int main(int argc, char** argv) {
    const int connections = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int idle = argc > 2 ? std::atoi(argv[2]) : 1000;

    // Each idle conversation holds its socket and its eventfd; the clients hold one more each.
    if (!RaiseDescriptorLimit(static_cast<rlim_t>(idle) * 3 + 256)) {
        std::fprintf(stderr, "net_bench: cannot raise the open-file limit to %d; run with a higher ulimit -n\n",
                     idle * 3 + 256);
        return 1;
    }
    char dir[] = "/tmp/pv-netbench-XXXXXX";
    if (!::mkdtemp(dir)) {
        std::perror("net_bench: mkdtemp");
        return 1;
    }
    pv::platform::SetHivePath(std::string(dir) + "/registry.db");
    pv::SetConfigRoot(pv::kDefaultConfigRoot);
    const unsigned port = FreePort();
    const unsigned portConfig = FreePort();
    pv::CRegistryKey("AdvCon", true).WriteInt("smtpinport", port);

    auto bare = (new pv::net::CSMTPListen([] { return new GreetingConversation(false); }, "127.0.0.1"))->CreateThread();
    int rc = 0;

    if (!WaitUntilListening(port)) return 1;
    // Accept rate, after a short warm-up.
    for (int i = 0; i < 100; ++i) {
        int fd = ConnectAndGreet(port);
        if (fd >= 0) ::close(fd);
    }
    WaitForNoConversations();
    const auto start = Clock::now();
    int done = 0;
    for (; done < connections; ++done) {
        int fd = ConnectAndGreet(port);
        if (fd < 0) {
            std::fprintf(stderr, "net_bench: connection %d failed: %s\n", done, std::strerror(errno));
            rc = 1;
            break;
        }
        ::close(fd);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("accept rate (connect, greeting, close)        %6d connections in %.2f s = %.0f per second\n",
                done, seconds, done / seconds);

    if (!MeasureIdle(port, idle, "idle conversations (framework only)")) rc = 1;

    // The same with a configuration read on each conversation thread.
    pv::CRegistryKey("AdvCon", true).WriteInt("smtpinport", portConfig);
    auto reading = (new pv::net::CSMTPListen([] { return new GreetingConversation(true); }, "127.0.0.1"))->CreateThread();
    if (!WaitUntilListening(portConfig)) return 1;
    if (!MeasureIdle(portConfig, idle, "idle conversations (reading configuration)")) rc = 1;

    WaitForNoConversations();
    for (auto* listener : {&bare, &reading}) {
        listener->PostQuit();
        listener->Wait(1000);
    }
    std::filesystem::remove_all(dir);
    return rc;
}
