// LoopbackRedirect: where a browser sign-in comes back to this machine. The provider sends the
// browser to http://127.0.0.1:<port>/?code=...&state=...; this waits for that request on the
// loopback port, or for the same address pasted on standard input by a user whose browser runs
// elsewhere, whichever comes first.
//
// Only the request line is read (at most kMaxRequestBytes, within kRequestSeconds of the
// connection); requests without code= or error= (a browser's icon request) get 404 and the wait
// goes on. The page the browser shows says to return to the terminal. Nothing but 127.0.0.1 is
// ever bound.
#pragma once

#include <cstddef>
#include <string>

namespace pv::net {

inline constexpr size_t kMaxRequestBytes = 8 * 1024;
inline constexpr int kRequestSeconds = 5;

enum class RedirectSource { Browser, Pasted, Failed };

class CLoopbackRedirect {
public:
    // Opens 127.0.0.1:port; false when it is busy (pasting still works).
    bool Listen(unsigned port);
    ~CLoopbackRedirect();
    // The address as the browser saw it, or the pasted line; Failed with `error` at the end of
    // the input (when nothing listens) or after timeoutSeconds.
    RedirectSource Await(int inputFd, int timeoutSeconds, std::string& address, std::string& error);

private:
    int fd_ = -1;
    unsigned port_ = 0;
};

}  // namespace pv::net
