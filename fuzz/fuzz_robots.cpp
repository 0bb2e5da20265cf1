// The mail robots' request parsing: an input is a request mailed to a robot, given in turn to
// the list server ("pvlist"), the command robot ("postvane") and the auto-responder ("info").
// A line "=members=" splits off the rest of the input as the members file of the list
// "staff", so that join and leave also meet hostile member lists. Replies land in the private
// inbox; members, plans, passwords and titles the requests change are put back afterwards.
#include <string>
#include <string_view>

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
    // The replies, and what the requests changed, are what the replay compares between rounds.
    pvfuzz::DigestFolder(site.inbox);
    pvfuzz::DigestFolder(site.staffDir);
    pvfuzz::DigestFolder(site.aliceDir);
    pvfuzz::ClearFolder(site.inbox);
    pvfuzz::RestoreRobots();
    pvfuzz::RestoreAlice();
    pvfuzz::DrainLog();
    return 0;
}
