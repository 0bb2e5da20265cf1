// postvane-reg: a small registry editor for the configuration branch. Its command line follows
// the registry command Windows administrators know, so that their habits and scripts carry over.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <unistd.h>

#include "RegFile.h"
#include "ToolCommon.h"

using namespace pv::tools;

namespace {

constexpr const char* kMe = "postvane-reg: ";

void Usage(std::ostream& out) {
    out << "usage: postvane-reg [--hive PATH] COMMAND ...\n"
           "  query [KEY] [/v NAME | /ve] [/s]   show the values (and subkeys) of KEY; /s goes through\n"
           "                                     all subkeys, /v shows one value, /ve the unnamed one\n"
           "  add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
           "                                     create KEY, and set a value when /v or /ve is given;\n"
           "                                     TYPE is REG_SZ (default), REG_DWORD or REG_BINARY\n"
           "  delete KEY [/v NAME | /ve] [/f]    delete one value, or KEY with everything below it\n"
           "  export FILE [KEY] [/unicode] [/y]  write KEY and its subkeys to a .reg file (REGEDIT4, or\n"
           "                                     Unicode with /unicode)\n"
           "  import FILE                        apply a .reg file; nothing is written if it has errors\n"
           "KEY is relative to HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane (\".\" or \"\" is that key\n"
           "itself), or an absolute HKEY_LOCAL_MACHINE\\ or HKLM\\ path inside it.\n";
}

struct Options {
    std::string command;
    std::vector<std::string> positional;
    std::optional<std::string> valueName;  // set by /v NAME, or "" by /ve
    std::optional<std::string> type, data;
    bool recurse = false, unicode = false, force = false;
};

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool SameName(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

// Which switches each command takes.
bool Allowed(const std::string& command, const std::string& option) {
    if (option == "/f") return command == "add" || command == "delete";
    if (option == "/v" || option == "/ve")
        return command == "query" || command == "add" || command == "delete";
    if (option == "/t" || option == "/d") return command == "add";
    if (option == "/s") return command == "query";
    if (option == "/unicode" || option == "/y") return command == "export";
    return false;
}

// Switches may be written /x or -x in any case; an argument that is no known switch (such as a
// file name beginning with /) is an operand.
std::optional<Options> ParseArgs(const std::vector<std::string>& args) {
    Options o;
    o.command = Lower(args[0]);
    for (size_t i = 1; i < args.size(); ++i) {
        std::string a = Lower(args[i]);
        if (a.size() > 1 && a[0] == '-') a[0] = '/';
        static const char* const kKnown[] = {"/v", "/ve", "/t", "/d", "/s", "/f", "/y", "/unicode"};
        bool known = false;
        for (const char* k : kKnown) known = known || a == k;
        if (!known) {
            o.positional.push_back(args[i]);
            continue;
        }
        if (!Allowed(o.command, a)) {
            std::cerr << kMe << "the option " << args[i] << " does not apply to " << o.command << "\n";
            return std::nullopt;
        }
        if (a == "/v" || a == "/t" || a == "/d") {
            if (i + 1 >= args.size()) {
                std::cerr << kMe << "the option " << args[i] << " needs "
                          << (a == "/v"   ? "a value name"
                              : a == "/t" ? "a type"
                                          : "the data")
                          << " after it\n";
                return std::nullopt;
            }
            std::optional<std::string>& slot = a == "/v" ? o.valueName : a == "/t" ? o.type : o.data;
            if (slot) {
                std::cerr << kMe << "the option " << args[i] << " is given twice\n";
                return std::nullopt;
            }
            slot = args[++i];
        } else if (a == "/ve") {
            if (o.valueName) {
                std::cerr << kMe << "give either /v NAME or /ve, once\n";
                return std::nullopt;
            }
            o.valueName = "";
        } else if (a == "/s") {
            o.recurse = true;
        } else if (a == "/unicode") {
            o.unicode = true;
        } else {
            o.force = true;  // /f and /y: nothing here ever asks for confirmation
        }
    }
    return o;
}

std::optional<std::string> Resolve(const std::string& arg) {
    auto relative = ResolveKeyArgument(arg);
    if (!relative) {
        std::cerr << kMe << arg << " lies outside " << BranchKeyName("")
                  << "; give a key inside it, or a path relative to it\n";
    }
    return relative;
}

std::string DisplayName(const std::string& name) {
    return name.empty() ? "(Default)" : name;
}

void PrintValue(std::ostream& out, const RegValue& v) {
    out << "    " << DisplayName(v.name) << "    " << RegTypeName(v.type) << "    " << FormatRegData(v)
        << "\n";
}

int NotFound(const std::string& what) {
    std::cerr << kMe << what << " was not found; postvane-reg query . /s lists what exists\n";
    return 1;
}

int Failed(const std::string& error) {
    std::cerr << kMe << error << "\n";
    return 1;
}

int Query(const Options& o) {
    if (o.positional.size() > 1) return -1;
    auto relative = Resolve(o.positional.empty() ? "" : o.positional[0]);
    if (!relative) return 2;
    std::string error;
    std::string keyName = BranchKeyName(*relative);

    if (!o.recurse) {
        KeyContents key;
        HiveResult r = ReadBranchKey(*relative, key, error);
        if (r == HiveResult::Failed) return Failed(error);
        if (r == HiveResult::NotFound) return NotFound("the key " + keyName);
        if (o.valueName) {
            for (const auto& v : key.values) {
                if (!SameName(v.name, *o.valueName)) continue;
                std::cout << "\n" << key.path << "\n";
                PrintValue(std::cout, v);
                std::cout << "\n";
                return 0;
            }
            return NotFound("the value " + DisplayName(*o.valueName) + " in " + keyName);
        }
        std::cout << "\n" << key.path << "\n";
        for (const auto& v : key.values) PrintValue(std::cout, v);
        std::cout << "\n";
        for (const auto& sub : key.subkeys) std::cout << key.path << "\\" << sub << "\n";
        return 0;
    }

    std::vector<RegKeyDump> keys;
    HiveResult r = DumpBranch(*relative, keys, error);
    if (r == HiveResult::Failed) return Failed(error);
    if (r == HiveResult::NotFound) return NotFound("the key " + keyName);
    std::ostringstream out;
    size_t matches = 0;
    for (const auto& key : keys) {
        bool header = false;
        for (const auto& v : key.values) {
            if (o.valueName && !SameName(v.name, *o.valueName)) continue;
            if (!header) out << "\n" << key.path << "\n";
            header = true;
            PrintValue(out, v);
            ++matches;
        }
        if (!o.valueName && !header) out << "\n" << key.path << "\n";
    }
    if (o.valueName && matches == 0) {
        return NotFound("the value " + DisplayName(*o.valueName) + " in " + keyName + " or below it");
    }
    std::cout << out.str() << "\n";
    return 0;
}

int Add(const Options& o) {
    if (o.positional.size() != 1) return -1;
    auto relative = Resolve(o.positional[0]);
    if (!relative) return 2;
    std::string error;
    if (!o.valueName) {
        if (o.type || o.data) {
            std::cerr << kMe
                      << "/t and /d need the value's name: add /v NAME (or /ve for the unnamed value)\n";
            return 2;
        }
        return CreateBranchKey(*relative, error) ? 0 : Failed(error);
    }
    RegValue value;
    value.name = *o.valueName;
    if (!ParseRegData(o.type.value_or("REG_SZ"), o.data.value_or(""), value, error)) {
        std::cerr << kMe << error << "; nothing was written\n";
        return 2;
    }
    return SetBranchValue(*relative, value, error) ? 0 : Failed(error);
}

int Delete(const Options& o) {
    if (o.positional.size() != 1) return -1;
    auto relative = Resolve(o.positional[0]);
    if (!relative) return 2;
    std::string error;
    std::string keyName = BranchKeyName(*relative);
    if (o.valueName) {
        HiveResult r = DeleteBranchValue(*relative, *o.valueName, error);
        if (r == HiveResult::NotFound)
            return NotFound("the value " + DisplayName(*o.valueName) + " in " + keyName);
        return r == HiveResult::Done ? 0 : Failed(error);
    }
    if (relative->empty() && !o.force) {
        std::cerr << kMe << "this would delete the whole configuration (" << keyName
                  << "); add /f if that is what you want\n";
        return 2;
    }
    HiveResult r = DeleteBranchKey(*relative, error);
    if (r == HiveResult::NotFound) return NotFound("the key " + keyName);
    return r == HiveResult::Done ? 0 : Failed(error);
}

// The export may hold passwords, so a new file is readable by its owner only.
bool WriteWholeFile(const std::string& path, const std::string& bytes, std::string& error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno) + "; choose a writable place";
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + path + ": " + std::strerror(errno) + "; check the free space";
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno) + "; check the free space";
        return false;
    }
    return true;
}

int Export(const Options& o) {
    if (o.positional.empty() || o.positional.size() > 2) return -1;
    const std::string& file = o.positional[0];
    auto relative = Resolve(o.positional.size() > 1 ? o.positional[1] : "");
    if (!relative) return 2;
    std::string error;
    std::vector<RegKeyDump> keys;
    HiveResult r = DumpBranch(*relative, keys, error);
    if (r == HiveResult::Failed) return Failed(error);
    if (r == HiveResult::NotFound) return NotFound("the key " + BranchKeyName(*relative));
    std::string bytes;
    if (!WriteRegFile(keys, o.unicode ? RegForm::Unicode : RegForm::Regedit4, bytes, error)) {
        return Failed("nothing was exported: " + error);
    }
    if (!WriteWholeFile(file, bytes, error)) return Failed(error);
    size_t values = 0;
    for (const auto& k : keys) values += k.values.size();
    std::cout << "Exported " << keys.size() << (keys.size() == 1 ? " key" : " keys") << " with " << values
              << (values == 1 ? " value" : " values") << " to " << file << "\n";
    return 0;
}

int Import(const Options& o) {
    if (o.positional.size() != 1) return -1;
    const std::string& file = o.positional[0];
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::cerr << kMe << "cannot read " << file << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        std::cerr << kMe << "cannot read " << file << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    ImportResult r = ImportRegFile(content.str());
    auto report = [&file](const RegProblem& p) {
        std::cerr << kMe << file;
        if (p.line > 0) std::cerr << ", line " << p.line;
        std::cerr << ": " << p.message << "\n";
    };
    if (!r.wrote) {
        for (const auto& p : r.errors) report(p);
        if (!r.errors.empty() && r.errors.front().line > 0) {
            std::cerr << kMe << "nothing was imported; correct the lines above and import the file again\n";
            return 2;
        }
        return 1;
    }
    for (const auto& p : r.skipped) report(p);
    for (const auto& p : r.errors) report(p);
    std::cout << "Imported " << r.keys << (r.keys == 1 ? " key" : " keys") << " with " << r.values
              << (r.values == 1 ? " value" : " values");
    if (r.deletedKeys || r.deletedValues) {
        std::cout << ", deleted " << r.deletedKeys << (r.deletedKeys == 1 ? " key" : " keys") << " and "
                  << r.deletedValues << (r.deletedValues == 1 ? " value" : " values");
    }
    std::cout << " from " << file << "\n";
    return r.errors.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // An export reads what it can of a damaged store, to rescue it.
    bool exporting = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--hive") ++i;
        else if (a.rfind("--", 0) != 0) { exporting = a == "export"; break; }
    }
    auto args = PrepareTool(argc, argv, exporting);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "/?") {
        Usage(args.empty() ? std::cerr : std::cout);
        return args.empty() ? 2 : 0;
    }
    const std::string cmd = Lower(args[0]);
    if (cmd != "query" && cmd != "add" && cmd != "delete" && cmd != "export" && cmd != "import") {
        std::cerr << kMe << "unknown command " << args[0] << "\n";
        Usage(std::cerr);
        return 2;
    }
    auto options = ParseArgs(args);
    if (!options) return 2;
    int rc = -1;
    if (cmd == "query") {
        rc = Query(*options);
    } else if (cmd == "add") {
        rc = Add(*options);
    } else if (cmd == "delete") {
        rc = Delete(*options);
    } else if (cmd == "export") {
        rc = Export(*options);
    } else {
        rc = Import(*options);
    }
    if (rc < 0) {
        std::cerr << kMe << "wrong number of operands for " << cmd << "\n";
        Usage(std::cerr);
        return 2;
    }
    return rc;
}
