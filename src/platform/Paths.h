// File-system helpers shared by the hive, the events and the programs.
#pragma once

#include <string>
#include <sys/types.h>

namespace pv::platform {

std::string HomeDirectory();
// "/a/b/c" -> "/a/b"; "c" -> "".
std::string DirectoryOf(const std::string& path);
// mkdir -p; true when the directory exists afterwards.
bool MakeDirectories(const std::string& path, mode_t mode = 0755);
// The folder of the running executable ("" when unknown).
std::string ExecutableDirectory();
// A companion program: next to the running executable first, then in <prefix>/lib/postvane
// beside its folder, then on PATH. "" when not found.
std::string FindProgram(const std::string& name);

// Whether the display the environment names (WAYLAND_DISPLAY, DISPLAY) can be reached: a local
// display's socket accepts a connection. A display on another host counts as reachable (the
// window system says more when it is tried). False when neither is set.
bool DisplayReachable();

}  // namespace pv::platform
