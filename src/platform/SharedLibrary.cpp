#include "platform/SharedLibrary.h"

#include <dlfcn.h>

namespace pv::platform {

bool SharedLibrary::Open(const std::string& path) {
    Close();
    error_.clear();
    // RTLD_LOCAL keeps the library's own copies of shared code to itself. RTLD_NODELETE keeps
    // its code mapped after Close: a library that registered types or resources with a
    // toolkit in this process must not vanish under it, and its static objects then end with
    // the process like everyone else's.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle_) {
        const char* why = dlerror();
        error_ = why ? why : "cannot load " + path;
        return false;
    }
    return true;
}

void SharedLibrary::Close() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

void* SharedLibrary::Symbol(const std::string& name) {
    if (!handle_) {
        error_ = "no library loaded";
        return nullptr;
    }
    dlerror();
    void* address = dlsym(handle_, name.c_str());
    if (!address) {
        const char* why = dlerror();
        error_ = why ? why : name + " not found";
    }
    return address;
}

std::string LibraryPathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || !info.dli_fname) return "";
    return info.dli_fname;
}

}  // namespace pv::platform
