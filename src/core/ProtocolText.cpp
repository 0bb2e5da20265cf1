#include "core/ProtocolText.h"

#include <algorithm>

namespace pv {

bool IsProtocolSafe(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

bool HasLineBreak(std::string_view command) { return command.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace pv
