#include "net/LoopbackRedirect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace pv::net {

namespace {

constexpr const char* kSignedInPage =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n"
    "<!DOCTYPE html><html><head><title>Postvane</title></head><body><p>The sign-in has reached Postvane. "
    "You can close this window and return to the terminal.</p></body></html>\r\n";
constexpr const char* kNotFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

void SendAll(int fd, const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::send(fd, text, left, MSG_NOSIGNAL);
        if (n <= 0) return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

// The request target of "GET <target> HTTP/1.1", or "" when the line is not such a request.
std::string RequestTarget(int fd) {
    std::string request;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRequestSeconds);
    while (request.find("\r\n") == std::string::npos && request.size() < kMaxRequestBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
        char buffer[1024];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return {};
        request.append(buffer, static_cast<size_t>(n));
    }
    const size_t end = request.find("\r\n");
    if (end == std::string::npos || request.rfind("GET /", 0) != 0) return {};
    const std::string line = request.substr(0, end);
    const size_t blank = line.find(' ', 4);
    return line.substr(4, blank == std::string::npos ? std::string::npos : blank - 4);
}

}  // namespace

CLoopbackRedirect::~CLoopbackRedirect() {
    if (fd_ >= 0) ::close(fd_);
}

bool CLoopbackRedirect::Listen(unsigned port) {
    port_ = port;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    if (fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 && ::listen(fd_, 4) == 0) {
        return true;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return false;
}

RedirectSource CLoopbackRedirect::Await(int inputFd, int timeoutSeconds, std::string& address, std::string& error) {
    const bool listening = fd_ >= 0;
    const unsigned port = port_;
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    std::string pasted;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = "no sign-in came back within " + std::to_string(timeoutSeconds) + " seconds";
            return RedirectSource::Failed;
        }
        pollfd fds[2] = {{inputFd, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
            return RedirectSource::Failed;
        }
        if (fds[1].revents & POLLIN) {
            Fd client;
            client.fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client.fd < 0) continue;
            const std::string target = RequestTarget(client.fd);
            if (target.find("code=") == std::string::npos && target.find("error=") == std::string::npos) {
                SendAll(client.fd, kNotFound);
                continue;
            }
            SendAll(client.fd, kSignedInPage);
            address = base + target;
            return RedirectSource::Browser;
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char c = 0;
            const ssize_t n = ::read(inputFd, &c, 1);
            if (n <= 0) {
                // Nothing can be pasted any more; the browser may still come back.
                if (listening) {
                    inputFd = -1;
                    continue;
                }
                error = "the input ended before an address was pasted";
                return RedirectSource::Failed;
            }
            if (c == '\n') {
                while (!pasted.empty() && (pasted.back() == '\r' || pasted.back() == ' ')) pasted.pop_back();
                if (pasted.empty()) continue;
                address = pasted;
                return RedirectSource::Pasted;
            }
            if (pasted.size() < kMaxRequestBytes) pasted.push_back(c);
        }
    }
}

}  // namespace pv::net
