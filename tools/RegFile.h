// Reading and writing .reg files for the configuration branch, and the hive access that
// postvane-reg needs.
//
// Two file forms exist: "REGEDIT4" in 8-bit text and "Windows Registry Editor Version 5.00" in
// UTF-16LE with a byte-order mark. The hive keeps strings as UTF-8 bytes, so the UTF-16 form is
// converted both ways; 8-bit text keeps whatever is valid UTF-8 and reads any other byte as
// Windows-1252, which is what files written on a Windows machine contain. hex(N) data is the
// value's bytes exactly as stored: the text encoding never applies to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pv::tools {

enum class RegForm { Regedit4, Unicode };

struct RegValue {
    std::string name;  // "" is the unnamed value, written as @
    uint32_t type = 0;
    std::vector<unsigned char> data;
};

// One thing a .reg file asks for, in file order.
struct RegOp {
    enum class Kind { Key, DeleteKey, SetValue, DeleteValue };
    Kind kind = Kind::Key;
    int line = 0;     // the line it starts on
    std::string key;  // the full path from the section line, e.g. HKEY_LOCAL_MACHINE\Software\...
    RegValue value;   // SetValue and DeleteValue only (DeleteValue uses the name)
};

struct RegProblem {
    int line = 0;  // 0 when the problem concerns no particular line
    std::string message;
};

struct RegParse {
    RegForm form = RegForm::Regedit4;
    std::vector<RegOp> ops;
    std::vector<RegProblem> errors;  // every syntax error in the file; ops must not be applied if any
};

// Parses a whole .reg file given as its raw bytes.
RegParse ParseRegFile(std::string_view bytes);

// One key section to write: its full path and its values in order.
struct RegKeyDump {
    std::string path;
    std::vector<RegValue> values;
};

// The bytes of a .reg file holding the given sections. Fails (with a reason) only for names that
// a .reg file cannot carry, such as a name with a line break.
bool WriteRegFile(const std::vector<RegKeyDump>& keys, RegForm form, std::string& bytes, std::string& error);

// ---- Value data as postvane-reg shows and takes it ----

// REG_SZ, REG_DWORD, REG_BINARY, or REG_0xN.
std::string RegTypeName(uint32_t type);
// The data column of `query`: text, 0x%x, or upper-case hex digits.
std::string FormatRegData(const RegValue& value);
// The data of `add /d`, checked against its type. `type` is the name given to /t.
bool ParseRegData(std::string_view typeName, std::string_view text, RegValue& value, std::string& error);

// ---- The configuration branch in the hive ----

// "HKEY_LOCAL_MACHINE\" + the configuration root (+ "\" + relative path).
std::string BranchKeyName(std::string_view relative);
// A KEY argument: a path relative to the configuration root, "" or "." for the root itself, or
// an absolute HKEY_LOCAL_MACHINE\ or HKLM\ path inside the branch. nullopt when it lies outside.
std::optional<std::string> ResolveKeyArgument(std::string_view arg);
// An absolute path from a .reg file, relative to the configuration root; nullopt when outside.
std::optional<std::string> BranchRelative(std::string_view absolutePath);

// A key of the branch as it stands: full name, values, and its direct subkeys (their names).
struct KeyContents {
    std::string path;
    std::vector<RegValue> values;
    std::vector<std::string> subkeys;
};

enum class HiveResult { Done, NotFound, Failed };

// `error` explains a Failed result.
HiveResult ReadBranchKey(std::string_view relative, KeyContents& out, std::string& error);
// The key and all its subkeys, parents before children, ready for WriteRegFile.
HiveResult DumpBranch(std::string_view relative, std::vector<RegKeyDump>& out, std::string& error);
bool CreateBranchKey(std::string_view relative, std::string& error);
bool SetBranchValue(std::string_view relative, const RegValue& value, std::string& error);
HiveResult DeleteBranchValue(std::string_view relative, std::string_view name, std::string& error);
// Removes the key with everything below it.
HiveResult DeleteBranchKey(std::string_view relative, std::string& error);

struct ImportResult {
    std::vector<RegProblem> errors;   // syntax errors (nothing written) or the write that failed
    std::vector<RegProblem> skipped;  // sections outside the branch
    // False when nothing was applied: the file had syntax errors, or the hive could not be opened.
    bool wrote = false;
    size_t keys = 0, values = 0, deletedKeys = 0, deletedValues = 0;
};

// Parses the whole file, and only when it holds no syntax error applies the sections that lie
// inside the configuration branch, in file order.
ImportResult ImportRegFile(std::string_view bytes);

}  // namespace pv::tools
