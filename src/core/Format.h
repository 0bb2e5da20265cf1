// Format: printf-style text into a std::string of any length, for reply and log tables whose
// entries carry "%s" and "%d". Arguments are C values (pass std::string as .c_str()).
#pragma once

#include <cstdio>
#include <string>

namespace pv {

template <class... Args>
std::string Format(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    if (size <= 0) return std::string();
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.pop_back();
    return text;
}

}  // namespace pv
