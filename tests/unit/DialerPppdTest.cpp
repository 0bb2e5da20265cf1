// The pppd back end against a stand-in program (no /dev/ppp on the build machines): the command
// line it is started with, the pid file that says the link is up, pppd's exit states, the
// hang-up, and connections another program made.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"
#include "platform/Dialer.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace platform = pv::platform;

namespace {

// Writes its arguments and the option file it was given, one per line, then behaves as the
// environment says: brings the link up (the pid file with an interface), or exits with a code.
constexpr const char* kStandIn = R"(#!/bin/sh
dir=$(dirname "$0")
: > "$dir/args"
for a in "$@"; do printf '%s\n' "$a" >> "$dir/args"; done
prev=""
for a in "$@"; do [ "$prev" = file ] && cat "$a" > "$dir/options"; prev=$a; done
mode=$(cat "$dir/mode")
case "$mode" in
  exit*) exit ${mode#exit} ;;
esac
trap 'rm -f "$dir/run/ppp-$2.pid"; echo ended > "$dir/ended"; exit 5' TERM
sleep 0.2
printf '%s\nppp0\n' $$ > "$dir/run/ppp-$2.pid"
while :; do sleep 0.05; done
)";

class PppdDialerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "peers");
        fs::create_directories(dir_ / "run");
        std::ofstream(dir_ / "peers/provider") << "/dev/ttyS0 115200\n";
        std::ofstream(dir_ / "pppd") << kStandIn;
        fs::permissions(dir_ / "pppd", fs::perms::owner_all);
        Mode("up");
        platform::PppdPaths paths;
        paths.program = dir_ / "pppd";
        paths.peersDir = dir_ / "peers";
        paths.runDir = dir_ / "run";
        paths.secretsDir = dir_.Path();
        dialer_ = platform::MakePppdDialer(paths);
    }
    void Mode(const std::string& mode) { std::ofstream(dir_ / "mode") << mode; }
    std::vector<std::string> Lines(const std::string& name) {
        std::vector<std::string> lines;
        std::ifstream in(dir_ / name);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // Polls Status until it reports something other than a dial under way.
    platform::DialStatus Settle(platform::DialHandle h) {
        platform::DialStatus st;
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(dialer_->Status(h, st), platform::kDialOk);
            if (st.error != platform::kDialPending) break;
            std::this_thread::sleep_for(25ms);
        }
        return st;
    }

    pvtest::TempDir dir_;
    std::unique_ptr<platform::IDialer> dialer_;
};

TEST_F(PppdDialerTest, DialsThePeerAndIsUpWhenThePidFileNamesAnInterface) {
    EXPECT_EQ(dialer_->ListEntries(), std::vector<std::string>{"provider"});
    platform::DialHandle h = 0;
    ASSERT_EQ(dialer_->Dial({"provider", "0123456", "joe", "se\"cret"}, h), platform::kDialOk);
    platform::DialStatus st;
    ASSERT_EQ(dialer_->Status(h, st), platform::kDialOk);
    EXPECT_EQ(st.error, platform::kDialPending);
    EXPECT_EQ(Settle(h).state, platform::kDialConnected);

    const auto args = Lines("args");
    ASSERT_GE(args.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 5),
              (std::vector<std::string>{"call", "provider", "linkname", "provider", "nodetach"}));
    EXPECT_EQ(args[5], "file");
    EXPECT_EQ(std::vector<std::string>(args.begin() + 7, args.end()),
              (std::vector<std::string>{"remotenumber", "0123456"}));
    for (const auto& a : args) EXPECT_EQ(a.find("cret"), std::string::npos) << "no password on the command line";
    EXPECT_EQ(Lines("options"), (std::vector<std::string>{"user \"joe\"", "password \"se\\\"cret\""}));
    EXPECT_FALSE(fs::exists(args[6])) << "the option file is removed once the link is up";

    // Our own link is listed with our handle, and is not taken for someone else's.
    std::vector<platform::ActiveConnection> active;
    ASSERT_TRUE(dialer_->ListConnections(active, 10));
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].entry, "provider");
    EXPECT_EQ(active[0].handle, h);

    // Hang-up ends that pppd and reports the handle gone only once it has ended.
    ASSERT_EQ(dialer_->HangUp(h), platform::kDialOk);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (dialer_->Status(h, st) != platform::kDialInvalidHandle) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(Lines("ended"), std::vector<std::string>{"ended"});
    EXPECT_EQ(dialer_->HangUp(h), platform::kDialInvalidHandle);
}

TEST_F(PppdDialerTest, ExitStatesBecomeErrorsWithTexts) {
    Mode("exit8");
    platform::DialHandle h = 0;
    ASSERT_EQ(dialer_->Dial({"provider", "", "", ""}, h), platform::kDialOk);
    const platform::DialStatus st = Settle(h);
    EXPECT_EQ(st.state, platform::kDialDisconnected);
    EXPECT_EQ(st.error, platform::kPppdExitBase + 8);
    EXPECT_NE(dialer_->ErrorText(st.error).find("connect script"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "options")) << "no user or password: no option file";
    EXPECT_EQ(dialer_->HangUp(h), platform::kDialOk);
    EXPECT_EQ(dialer_->Status(h, const_cast<platform::DialStatus&>(st)), platform::kDialInvalidHandle);

    // Every exit state pppd has has its own text.
    for (uint32_t code = 0; code <= 21; ++code) {
        EXPECT_EQ(platform::DialErrorText(platform::kPppdExitBase + code).rfind("pppd", 0), 0u) << code;
    }
}

TEST_F(PppdDialerTest, UnknownEntriesAndMissingProgram) {
    platform::DialHandle h = 0;
    EXPECT_EQ(dialer_->Dial({"../provider", "", "", ""}, h), platform::kDialNoEntry);
    platform::DialStatus st;
    ASSERT_EQ(dialer_->Status(h, st), platform::kDialOk);
    EXPECT_EQ(st.error, platform::kDialNoEntry);
    fs::remove(dir_ / "pppd");
    EXPECT_EQ(dialer_->Dial({"provider", "", "", ""}, h), platform::kDialCannotStart);
}

TEST_F(PppdDialerTest, ConnectionOfAnotherProgramIsListedUntilItEnds) {
    // A pppd someone else started: a live process named in a pid file with an interface.
    const pid_t other = ::fork();
    if (other == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    std::ofstream(dir_ / "run/ppp-provider.pid") << other << "\nppp1\n";
    std::ofstream(dir_ / "run/ppp-stale.pid") << 999999 << "\nppp2\n";  // its process is gone
    std::vector<platform::ActiveConnection> active;
    ASSERT_TRUE(dialer_->ListConnections(active, 10));
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].entry, "provider");
    platform::DialStatus st;
    EXPECT_EQ(dialer_->Status(active[0].handle, st), platform::kDialOk);
    EXPECT_EQ(st.state, platform::kDialConnected);
    fs::remove(dir_ / "run/ppp-provider.pid");
    EXPECT_EQ(dialer_->Status(active[0].handle, st), platform::kDialInvalidHandle);
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    EXPECT_FALSE(dialer_->ListConnections(active, 0) && !active.empty());
}

}  // namespace
