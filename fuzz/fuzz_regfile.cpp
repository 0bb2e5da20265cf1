// The .reg importer: an input is a .reg file. It is parsed; a file without syntax errors is
// written out again in both forms and read back, which must give the same keys and values
// (export then import loses nothing), and is imported into the private hive, whose branch is
// removed again after the run.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "RegFile.h"

namespace {

using pv::tools::RegForm;
using pv::tools::RegKeyDump;
using pv::tools::RegOp;
using pv::tools::RegParse;

[[noreturn]] void Broken(const std::string& what) {
    std::fprintf(stderr, ".reg round trip broken: %s\n", what.c_str());
    std::abort();
}

// The keys and values a parse sets inside the configuration branch, in file order, as the
// exporter would write them. Sections outside it are skipped by the import and never written
// by the export: their paths need not survive (a path outside it may even start with "-").
std::vector<RegKeyDump> Sections(const RegParse& parse) {
    std::vector<RegKeyDump> keys;
    for (const RegOp& op : parse.ops) {
        if (!pv::tools::BranchRelative(op.key)) continue;
        if (op.kind == RegOp::Kind::Key) {
            keys.push_back({op.key, {}});
        } else if (op.kind == RegOp::Kind::SetValue) {
            if (keys.empty() || keys.back().path != op.key) keys.push_back({op.key, {}});
            keys.back().values.push_back(op.value);
        }
    }
    return keys;
}

void CheckRoundTrip(const std::vector<RegKeyDump>& keys, RegForm form) {
    std::string bytes, error;
    if (!pv::tools::WriteRegFile(keys, form, bytes, error)) return;  // a name a .reg file cannot carry
    const RegParse again = pv::tools::ParseRegFile(bytes);
    const char* formName = form == RegForm::Unicode ? "Unicode" : "REGEDIT4";
    if (!again.errors.empty()) {
        Broken(std::string("the ") + formName + " file written reads with an error at line " +
               std::to_string(again.errors.front().line) + ": " + again.errors.front().message);
    }
    const std::vector<RegKeyDump> back = Sections(again);
    if (back.size() != keys.size()) Broken(std::string(formName) + ": the number of sections changed");
    for (size_t k = 0; k < keys.size(); ++k) {
        if (back[k].path != keys[k].path) Broken(std::string(formName) + ": key " + keys[k].path + " came back as " + back[k].path);
        if (back[k].values.size() != keys[k].values.size()) Broken(std::string(formName) + ": values of " + keys[k].path);
        for (size_t v = 0; v < keys[k].values.size(); ++v) {
            const auto& a = keys[k].values[v];
            const auto& b = back[k].values[v];
            if (a.name != b.name || a.type != b.type || a.data != b.data) {
                Broken(std::string(formName) + ": value \"" + a.name + "\" of " + keys[k].path + " changed");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pvfuzz::SetupEmptyHive();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const RegParse parse = pv::tools::ParseRegFile(input);
    if (parse.errors.empty()) {
        const std::vector<RegKeyDump> keys = Sections(parse);
        CheckRoundTrip(keys, RegForm::Regedit4);
        CheckRoundTrip(keys, RegForm::Unicode);
        pv::tools::ImportRegFile(input);
        // What the hive holds afterwards is what the replay compares between rounds.
        std::vector<RegKeyDump> stored;
        std::string bytes, error;
        if (pv::tools::DumpBranch("", stored, error) == pv::tools::HiveResult::Done &&
            pv::tools::WriteRegFile(stored, RegForm::Regedit4, bytes, error)) {
            pvfuzz::TraceSent(bytes.data(), static_cast<int>(bytes.size()));
        }
        pv::tools::DeleteBranchKey("", error);
    }
    pvfuzz::DrainLog();
    return 0;
}
