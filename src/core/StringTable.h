// The program's string table: texts that are logged or shown by number.
#pragma once

namespace pv {

enum StringId : unsigned {
    kIdsAboutItem = 101,
};

// The text with that number, or nullptr when the table has none.
const char* LoadStringText(unsigned id);

}  // namespace pv
