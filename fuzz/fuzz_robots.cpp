// The mail robots' request parsing: an input is a request mailed to a robot, given in turn to
// the list server ("pvlist"), the command robot ("postvane") and the auto-responder ("info").
// A line "=members=" splits off the rest of the input as the members file of the list
// "staff", so that join and leave also meet hostile member lists. Replies land in the private
// inbox; members, plans, passwords and titles the requests change are put back afterwards.
#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "core/QueueFiles.h"
#include "delivery/Mailbox.h"
#include "robots/Robots.h"

namespace {

constexpr std::string_view kMembersMark = "\n=members=\n";

void RunRobot(pv::robots::Outcome (*robot)(const std::string&, const std::string&), const std::string& folder,
              const std::string& mailbox, std::string_view request) {
    const std::string copy = folder + "/f0000001.txt";
    pvfuzz::WriteBytes(copy, request);
    robot(copy, mailbox);
}

void DigestReplies(const std::string& inbox) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(inbox, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().string());
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        std::string bytes = pvfuzz::ReadBytes(name), kept;
        for (size_t at = 0; at < bytes.size();) {
            size_t end = bytes.find('\n', at);
            end = end == std::string::npos ? bytes.size() : end + 1;
            const std::string_view line(bytes.data() + at, end - at);
            if (!line.starts_with("Date: ") && !line.starts_with("Message-ID: ")) kept += line;
            at = end;
        }
        pvfuzz::TraceSent(kept.data(), static_cast<int>(kept.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const pvfuzz::Site& site = pvfuzz::Setup();
    std::string_view request(reinterpret_cast<const char*>(data), size);
    if (const size_t mark = request.find(kMembersMark); mark != std::string_view::npos) {
        pvfuzz::WriteBytes(site.staffDir + "/" + pv::kMembersFile, request.substr(mark + kMembersMark.size()));
        request = request.substr(0, mark + 1);
    }
    RunRobot(pv::robots::RunListServer, site.listServerDir, "pvlist", request);
    RunRobot(pv::robots::RunCommandRobot, site.commandDir, "postvane", request);
    RunRobot(pv::robots::RunAutoResponder, site.infoDir, "info", request);
    // The replies, and what the requests changed, are what the replay compares between rounds;
    // the header lines that differ in every message written (Date, Message-ID) are left out.
    DigestReplies(site.inbox);
    pvfuzz::DigestFolder(site.staffDir);
    pvfuzz::DigestFolder(site.aliceDir);
    pvfuzz::ClearFolder(site.inbox);
    pvfuzz::RestoreRobots();
    pvfuzz::RestoreAlice();
    pvfuzz::DrainLog();
    pv::robots::ForgetRobotCounts();
    return 0;
}
