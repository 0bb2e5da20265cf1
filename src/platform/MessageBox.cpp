#include "platform/MessageBox.h"

#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <unistd.h>

namespace pv::platform {

namespace {
std::mutex g_mutex;
MessageBoxHandler g_handler;
std::function<void(const std::string&)> g_logger;
bool g_assumeYes = false;

std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
    return out;
}
}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard lock(g_mutex);
    g_handler = std::move(handler);
}
void SetMessageBoxLogger(std::function<void(const std::string&)> logger) {
    std::lock_guard lock(g_mutex);
    g_logger = std::move(logger);
}
void SetAssumeYes(bool yes) {
    std::lock_guard lock(g_mutex);
    g_assumeYes = yes;
}

int MessageBox(const std::string& text, const std::string& title, unsigned flags) {
    MessageBoxHandler handler;
    std::function<void(const std::string&)> logger;
    bool assumeYes;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
        logger = g_logger;
        assumeYes = g_assumeYes;
    }
    // The log keeps every box, whichever form shows it.
    std::string line = title + ": " + OneLine(text);
    if (logger) logger(line);
    if (handler) return handler(text, title, flags);

    const bool question = (flags & 0x0F) == kMbYesNo;
    // One console at a time: questions from two threads must not mix their prompts.
    static std::mutex consoleMutex;
    std::lock_guard console(consoleMutex);
    std::cerr << line << std::endl;
    if (!question) return kIdOk;
    if (::isatty(STDIN_FILENO)) {
        std::cerr << "[y/N] " << std::flush;
        std::string answer;
        if (std::getline(std::cin, answer) && !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) {
            return kIdYes;
        }
        return kIdNo;
    }
    std::cerr << (assumeYes ? "Answered Yes (--yes)." : "Answered No (no terminal; --yes answers Yes).")
              << std::endl;
    return assumeYes ? kIdYes : kIdNo;
}

}  // namespace pv::platform
