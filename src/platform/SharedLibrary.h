// SharedLibrary: a library loaded at run time, and the addresses of its exports.
#pragma once

#include <string>

namespace pv::platform {

class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary() { Close(); }
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads the library at `path` (a name without a slash is looked up the loader's way). Its
    // code stays mapped until the process ends, even after Close.
    // On failure Error() says why.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return handle_ != nullptr; }
    // The address of an exported symbol, or nullptr (Error() then says why).
    void* Symbol(const std::string& name);
    const std::string& Error() const { return error_; }

private:
    void* handle_ = nullptr;
    std::string error_;
};

// The file of the loaded library (or program) that holds `address`; "" when unknown.
std::string LibraryPathOf(const void* address);

}  // namespace pv::platform
