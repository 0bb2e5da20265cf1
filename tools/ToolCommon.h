// Small pieces every command-line tool shares.
#pragma once

#include <string>
#include <vector>

namespace pv::tools {

// Takes "--hive PATH" out of the arguments (pointing the tool at that hive) and sets the
// configuration root. Returns the remaining arguments, without the program name.
// A store that exists but is damaged or empty stops the tool with the message that says how to
// restore it; with `rescue` (an export saving what is readable) it is opened all the same.
std::vector<std::string> PrepareTool(int argc, char** argv, bool rescue = false);

// A line of input from the terminal, with a default shown in brackets.
std::string Ask(const std::string& question, const std::string& defaultAnswer);

std::string HostName();

}  // namespace pv::tools
