// WebAssets: the console's page, script and style sheet, compiled into the program from
// src/web/assets/ (no other site is ever asked for anything, and there is no build step of
// their own).
#pragma once

#include <string>
#include <vector>

namespace pv::web {

struct Asset {
    const char* path;  // the route
    const char* type;  // Content-Type
    std::string body;
};

const std::vector<Asset>& Assets();

}  // namespace pv::web
