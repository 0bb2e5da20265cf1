// Robot copies: how the spooler hands the copies it commits to robot mailboxes to the robots,
// and how a robot's reply is named after the copy it answers.
#pragma once

#include <string>

namespace pv {

// Takes the path of a copy the spooler has committed (it is on disk under its final name) in
// the mailbox of a robot; implemented by the robot pool. Must not block: the spooler calls it.
class IRobotQueue {
public:
    virtual ~IRobotQueue() = default;
    virtual void Submit(const std::string& copyPath, const std::string& mailbox) = 0;
};

// The reply to the copy <root>/mailbox/M0000002/f000001A.txt is the inbox pair
// <root>/inbox/rM0000002-f000001A: a robot run that is repeated after a kill finds its reply
// already committed under that name instead of answering a second time, and the spooler, when
// it takes that reply out of the inbox, removes the copy with it (so the reply can never leave
// the inbox while its copy still waits to be answered; a very long copy name, which only a
// reply to a reply has, is hashed instead and its copy is only recognised from the copy's
// side). "" for a path that is not a copy in a
// mailbox folder.
std::string RobotReplyBase(const std::string& copyPath);
// The copy a reply answers, from the reply's inbox base; "" when the name is not a reply's.
std::string RobotCopyOfReply(const std::string& replyBase);

}  // namespace pv
