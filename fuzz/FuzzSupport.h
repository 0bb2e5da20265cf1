// Fuzz harness support: a private hive and spool per process, made at the first input and
// removed at exit, the resets that keep one input's effects from reaching the next, and a
// byte source that hands an input to a conversation the way a socket would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/SocketThread.h"

namespace pvfuzz {

// Everything the targets write lies below root: the hive file (and its lock and event
// files beside it) and the spool. root is made below $TMPDIR (else /tmp).
struct Site {
    std::string root;
    std::string spool;
    std::string inbox;
    std::string aliceDir;  // user mailbox "alice", password "secret", three messages and a plan
    std::string staffDir;  // list "staff", open to join, two members
    std::string infoDir;   // auto-responder "info"
    std::string listServerDir;  // "pvlist"
    std::string commandDir;     // "postvane"
};
const Site& Setup();
// Only the folder and an empty hive in it, for targets that write the hive themselves (the
// .reg importer). A process uses Setup or this, never both.
const Site& SetupEmptyHive();

// Puts alice's folder back as Setup made it (messages, plan, no lock) and her settings.
void RestoreAlice();
// Puts the robots' mailboxes (members file, responder titles and texts) back.
void RestoreRobots();
// Removes everything inside dir, leaving dir itself.
void ClearFolder(const std::string& dir);
// Drops the log lines the input produced: nobody drains them in a harness, and a log that
// grows from run to run would read as a leak.
void DrainLog();

bool WriteBytes(const std::string& path, std::string_view bytes);
std::string ReadBytes(const std::string& path);

// Notes what a conversation sends: into a running digest, and with PVFUZZ_TRACE set onto
// standard error (how to see what an input from the corpus or a crash does).
void TraceSent(const void* data, int length);
// The digest of everything sent since the last call, and a fresh start. The replay runs its
// corpus twice and compares: an input whose answers change with what ran before it leaks state.
uint64_t TakeSentDigest();
// Adds the contents of the files in dir (in name order; the names themselves carry queue
// numbers, which differ from run to run) to that digest.
void DigestFolder(const std::string& dir);

// A fresh descriptor for the server's end of one loopback TCP connection made at set-up: the
// conversations see a peer address (127.0.0.1, inside the relay networks) as they would from
// a LAN client, while the harness overrides Send and Receive so no byte crosses it.
int ServerSocketCopy();

// Hands an input out as a socket's receives would. The last byte picks the chunk size when
// its two low bits are 0 (1 to 253 bytes, so that line ends split across receives are
// tried); otherwise each receive takes as much as it asks for.
class ByteSource {
public:
    explicit ByteSource(std::string_view input);
    int Take(void* buffer, int size);
    bool Empty() const { return rest_.empty(); }
    size_t Left() const { return rest_.size(); }

private:
    std::string_view rest_;
    size_t chunk_;
};

// A conversation of the real class fed from an input: its reads come from the input and its
// replies are taken at once, as by a client that reads as fast as it sends.
template <class Conversation>
class FedConversation : public Conversation {
public:
    explicit FedConversation(std::string_view input) : source_(input) {}

protected:
    bool Connected() const { return this->Socket() != pv::net::kInvalidSocket; }
    // One read event and the write event after it. False when the input is over or nothing of
    // it was read (the client waits for an answer it will not get).
    bool Step() {
        if (!Connected() || source_.Empty()) return false;
        const size_t before = source_.Left();
        this->OnReceive();
        this->OnSend();
        return source_.Left() != before;
    }
    void HangUp() {
        if (Connected()) this->OnClose();
    }
    int Receive(void* buffer, int size, int) override { return source_.Take(buffer, size); }
    int Send(const void* data, int length, int) override {
        TraceSent(data, length);
        return length;
    }

private:
    ByteSource source_;
};

}  // namespace pvfuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
