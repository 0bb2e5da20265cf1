// The finger service's own logic: how a request line becomes a query, and how a plan file is
// read. The conversation itself is driven against the real server in test_finger.py.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "delivery/Mailbox.h"
#include "finger/FingerServer.h"

namespace {

using pv::CFingerServer;

TEST(FingerQueryTest, RequestLinesBecomeQueries) {
    struct Case {
        const char* request;
        const char* query;
    };
    const Case cases[] = {
        {"status\r\n", "status"},
        {"STATUS \t\r\n", "status"},
        {"status\n", "status"},
        {" status\r\n", " status"},    // a leading blank makes it a name
        {"Alice Example\r\n", "alice example"},
        {"/W status\r\n", "status"},   // the long-output switch of finger clients
        {"/w \t alice\r\n", "alice"},
        {"/W\r\n", ""},
        {"/Walice\r\n", "/walice"},    // no switch: a name with a slash, refused later
        {"/W/W alice\r\n", "/w/w alice"},
        {"\r\n", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(CFingerServer::QueryOf(c.request), c.query) << c.request;
}

TEST(FingerPlanTest, PlansAreReadLineByLineWithinTheirLimits) {
    pvtest::TempDir dir;
    const std::string path = dir / "plan.pvg";
    EXPECT_TRUE(CFingerServer::ReadPlan(path).empty()) << "no plan file";

    std::ofstream(path, std::ios::binary) << "CR LF line\r\nLF line\n\r\n" << std::string(300, 'x') << "\r\nlast";
    const std::vector<std::string> expected = {"CR LF line", "LF line", "", std::string(CFingerServer::kMaxPlanLineLength, 'x'),
                                               "last"};
    EXPECT_EQ(CFingerServer::ReadPlan(path), expected);

    {
        std::ofstream big(path, std::ios::binary | std::ios::trunc);
        for (size_t i = 0; i < CFingerServer::kMaxPlanLines + 5; ++i) big << "line " << i << "\r\n";
    }
    const std::vector<std::string> lines = CFingerServer::ReadPlan(path);
    ASSERT_EQ(lines.size(), CFingerServer::kMaxPlanLines);
    EXPECT_EQ(lines.back(), "line " + std::to_string(CFingerServer::kMaxPlanLines - 1));
}

// A client that does not read while a long answer goes out: the server's socket is made small,
// so the answer stops many times and has to go on at each write event, in order, to the end.
class FingerSlowReaderTest : public pvtest::HiveTest {};

TEST_F(FingerSlowReaderTest, TheAnswerGoesOnWhereTheFullSocketStoppedIt) {
    pv::CMailbox box;
    ASSERT_TRUE(box.Create("bob", pv::kMailboxUser));
    std::vector<std::string> plan;
    {
        std::ofstream file(box.Directory() + "/plan.pvg", std::ios::binary);
        for (int i = 0; i < 1000; ++i) {
            plan.push_back(std::to_string(i) + " " + std::string(200, 'p'));
            file << plan.back() << "\r\n";
        }
    }

    // A connected pair on loopback: the client's end small for receiving, the server's for sending.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    const int served = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);  // as the listener hands it over
    ::close(listener);
    ASSERT_GE(served, 0);
    ::setsockopt(served, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    auto* finger = new CFingerServer();
    pv::net::ThreadHandle thread = finger->CreateThread();
    ASSERT_TRUE(thread.WaitReady());
    ASSERT_TRUE(thread.PostThreadMessage(pv::net::kWmAdoptSocket, static_cast<uintptr_t>(served), pv::net::kFdAllEvents));
    ASSERT_EQ(::send(client, "bob\r\n", 5, MSG_NOSIGNAL), 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the server fills its socket

    std::string received;
    char buffer[1024];
    for (;;) {
        pollfd p {client, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1) << "the answer stopped after " << received.size() << " bytes";
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        ASSERT_GE(n, 0);
        if (n == 0) break;
        received.append(buffer, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::microseconds(50));  // a slow reader
    }
    ::close(client);
    EXPECT_TRUE(thread.Wait(5000));

    std::string expected = "Mailbox : bob\r\nReal Name :\r\n";
    for (const std::string& line : plan) expected += line + "\r\n";
    expected += "\r\nbob has 0 message(s) waiting\r\n";
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

}  // namespace
