// The listeners: one thread per TCP service that opens the service's port at start and hands
// every incoming connection to a new conversation thread. Three instances: SMTP, POP3, finger.
//
// The conversation class is supplied as a factory, so each service plugs its own conversation
// in: CSMTPListen(MakeConversationFactory<CSMTPServer>()). The factory runs on the listener's
// thread, so conversation constructors run there.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "net/SocketThread.h"

namespace pv::net {

using ConversationFactory = std::function<CSocketThread*()>;

template <class Conversation>
ConversationFactory MakeConversationFactory() {
    return [] { return static_cast<CSocketThread*>(new Conversation()); };
}

// Conversations are many and idle most of the time: a small stack keeps hundreds of them cheap.
inline constexpr size_t kConversationStackSize = 256 * 1024;
// A backlog of 5 makes a burst of clients wait for the kernel's SYN retries (one second and
// more, or a connection that looks open but gets no greeting for many seconds); a deeper queue
// costs nothing.
inline constexpr int kListenBacklog = 128;
inline constexpr int kFingerFirstTimeout = 10;

class CListenThread : public CSocketThread {
public:
    // bindAddress: a dotted address to listen on; empty for every local address.
    CListenThread(ConversationFactory factory, std::string bindAddress);

protected:
    bool OnStart() override;
    void OnAccept() override;

    // The service's port, read when the listener starts.
    virtual unsigned ReadPort() = 0;
    // The port could not be opened: tell the operator, with the Windows Sockets error number.
    virtual void ReportFailure(unsigned error) = 0;
    // Runs after the conversation thread is ready and before the connection is handed over.
    virtual void PrepareConversation(const ThreadHandle& conversation);
    // What the log calls this service in its own lines.
    virtual const char* ServiceName() const = 0;

    // `AdvCon\<name>` as a port number; the default when it is missing or not a port.
    unsigned ReadPortValue(const char* name, unsigned defaultPort);

private:
    // Takes the waiting connection and closes it: it cannot be served, and leaving it would
    // keep further accept events from coming.
    void DropConnection(const std::string& why);
    // A log line, at most one a minute.
    void Report(const std::string& text);
    void BackOff();

    ConversationFactory factory_;
    std::string bindAddress_;
    bool reported_ = false;
    std::chrono::steady_clock::time_point lastReport_;
};

class CSMTPListen : public CListenThread {
public:
    explicit CSMTPListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "SMTP"; }
};

class CPopListen : public CListenThread {
public:
    explicit CPopListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "POP3"; }
};

class CFingerListen : public CListenThread {
public:
    explicit CFingerListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    // A finger client that connects and says nothing is dropped after ten seconds.
    void PrepareConversation(const ThreadHandle& conversation) override;
    const char* ServiceName() const override { return "finger"; }
};

// The conversation of each service; an empty factory leaves that service closed.
struct ListenerFactories {
    ConversationFactory finger;
    ConversationFactory pop;
    ConversationFactory smtp;
};

// The three listeners as start-up and shutdown see them.
class CServiceListeners {
public:
    // bindAddress: empty to listen on every local address (the server); tests give loopback.
    explicit CServiceListeners(ListenerFactories factories, std::string bindAddress = {});

    // Starts finger, then POP3, then SMTP, each at normal priority with the default stack (each
    // raises its own priority). Returns how many threads started.
    int Start();
    // Posts each listener a quit message and waits up to waitMs for it, in the order finger,
    // POP3, SMTP; one that has already ended is skipped. True when all have ended.
    bool Stop(int waitMs = 1000);

    const ThreadHandle& Finger() const { return finger_; }
    const ThreadHandle& Pop() const { return pop_; }
    const ThreadHandle& Smtp() const { return smtp_; }

private:
    ThreadHandle StartOne(CListenThread* listener, const char* service);

    ListenerFactories factories_;
    std::string bindAddress_;
    ThreadHandle finger_;
    ThreadHandle pop_;
    ThreadHandle smtp_;
};

}  // namespace pv::net
