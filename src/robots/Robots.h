// Mail robots: the list server, the server command robot and the auto-responders, which answer
// mail that the spooler leaves in their mailboxes, and the pool of threads they run on.
#pragma once

#include <string>

namespace pv::robots {

// What one robot run leaves: the copy answered and removed (Done), or the copy kept for a
// later attempt because something failed on the disk (Retry).
enum class Outcome { Done, Retry };

// One run per copy; each reads the copy at copyPath, answers through the inbound queue and
// removes the copy once the answer is durable. `mailbox` is the robot mailbox's name.
Outcome RunListServer(const std::string& copyPath, const std::string& mailbox);
Outcome RunCommandRobot(const std::string& copyPath, const std::string& mailbox);
Outcome RunAutoResponder(const std::string& copyPath, const std::string& mailbox);

// Forgets the failed robot logins and the answers counted per sender, as a restart does (the
// fuzz replay calls it between inputs, so that each input meets the same robots).
void ForgetRobotCounts();
void ForgetLoginFailures();  // the command robot's part of it

}  // namespace pv::robots
