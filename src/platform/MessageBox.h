// The message-box port. Headless it is a line on standard error and a log line; a Yes/No
// question is answered from the terminal when there is one, else by the command-line choice
// (--yes), else No. The desktop front end installs its own handler (QtMessageBox.h); the log
// line is written either way.
#pragma once

#include <functional>
#include <string>

namespace pv::platform {

enum MessageBoxFlags : unsigned {
    kMbOk = 0x00,
    kMbYesNo = 0x04,
    kMbIconError = 0x10,
    kMbIconQuestion = 0x20,
    kMbIconWarning = 0x30,
    kMbIconInformation = 0x40,
};
enum MessageBoxResult : int { kIdOk = 1, kIdYes = 6, kIdNo = 7 };

int MessageBox(const std::string& text, const std::string& title, unsigned flags);

using MessageBoxHandler = std::function<int(const std::string& text, const std::string& title, unsigned flags)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
// Where the console form writes its log line (the server's log; unset in the tools).
void SetMessageBoxLogger(std::function<void(const std::string&)> logger);
// The answer to Yes/No questions when no terminal can be asked.
void SetAssumeYes(bool yes);

}  // namespace pv::platform
