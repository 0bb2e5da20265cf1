#include "core/StringTable.h"

namespace pv {

namespace {
struct Entry {
    unsigned id;
    const char* text;
};
constexpr Entry kTable[] = {
    {kIdsAboutItem, "About Postvane..."},
};
}  // namespace

const char* LoadStringText(unsigned id) {
    for (const auto& e : kTable) {
        if (e.id == id) return e.text;
    }
    return nullptr;
}

}  // namespace pv
