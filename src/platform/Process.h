// Starting other programs (the set-up wizard, the companion program, a session command).
#pragma once

#include <string>
#include <vector>

namespace pv::platform {

struct SpawnResult {
    bool started = false;
    int exitCode = -1;  // when waited for: the exit status, or 128 + signal
    int pid = -1;
    std::string error;  // why it did not start
};

// Starts `program` with `args` (argv[1..]) and the parent's environment and descriptors. With
// wait, blocks until it ends. Signal mask and dispositions are reset to the defaults.
SpawnResult SpawnProcess(const std::string& program, const std::vector<std::string>& args, bool wait);

// True once a program started without waiting has ended; its exit state is collected, so it
// leaves no zombie behind.
bool ReapIfEnded(int pid);

// Runs a command line through /bin/sh -c, not waited for.
SpawnResult SpawnShell(const std::string& commandLine, bool wait);

// Replaces the running program with `program`, given `argv` (its first element names it).
// Returns only when that failed, with error set.
void ReplaceProcess(const std::string& program, char** argv, std::string& error);

// Run by root on a hive that belongs to another user (the service's own user): take that user's
// identity, so that every file the program makes (queue files, the hive's side files) belongs
// to the service, which could not use or remove it otherwise. True when nothing needed doing or
// the switch worked; false with error set when it failed.
// With keepPortBinding (the server) the process keeps the one right to bind ports below 1024, so
// that it still opens 25, 110 and 79 as that user; nothing it starts inherits that right.
bool BecomeOwnerOf(const std::string& path, std::string& error, bool keepPortBinding = false);

}  // namespace pv::platform
