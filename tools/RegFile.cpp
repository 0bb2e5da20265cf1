#include "RegFile.h"

#include <cstdio>

#include "core/RegistryKey.h"
#include "platform/Hive.h"

namespace pv::tools {

using platform::Hive;
using platform::HiveValue;
using platform::HiveLease;
using platform::KeyId;

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kMachine = "HKEY_LOCAL_MACHINE";
// Windows wraps hex data so that no line, with its continuation backslash, passes 80 columns.
constexpr size_t kLineWidth = 80;

// Names compare like the hive compares them: ASCII letters without regard to case.
char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    }
    return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    return TrimRight(TrimLeft(s));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits and nothing else.
bool ParseHex32(std::string_view s, uint32_t& value) {
    if (s.empty() || s.size() > 8) return false;
    value = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        value = value << 4 | static_cast<uint32_t>(d);
    }
    return true;
}

// Registry integers are little-endian whatever the machine.
std::vector<unsigned char> DwordBytes(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

uint32_t DwordOf(const std::vector<unsigned char>& d) {
    return static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 |
           static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[3]) << 24;
}

std::string HexByte(unsigned char b, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    return {digits[b >> 4], digits[b & 15]};
}

// ---- Text encodings ----

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at s[i] (its code point in *cp), or 0.
size_t Utf8Sequence(std::string_view s, size_t i, uint32_t* cp = nullptr) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t v, min;
    if (c < 0x80) {
        if (cp) *cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2;
        v = c & 0x1F;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        v = c & 0x0F;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        v = c & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        v = v << 6 | (cc & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    if (cp) *cp = v;
    return len;
}

bool IsValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = Utf8Sequence(s, i);
        if (!n) return false;
        i += n;
    }
    return true;
}

// Windows-1252 from 0x80 to 0x9F; the five unassigned bytes become the C1 controls, as Windows
// itself converts them.
constexpr uint16_t kCp1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// 8-bit text as UTF-8: valid UTF-8 stays as it is, any other byte is read as Windows-1252.
std::string EightBitToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        if (size_t n = Utf8Sequence(s, i)) {
            out.append(s.substr(i, n));
            i += n;
            continue;
        }
        auto c = static_cast<unsigned char>(s[i++]);
        AppendUtf8(out, c < 0xA0 ? kCp1252[c - 0x80] : c);
    }
    return out;
}

// `s` must be valid UTF-8.
std::string Utf8ToUtf16Le(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 2);
    auto unit = [&out](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = Utf8Sequence(s, i, &cp);
        i += n ? n : 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 | cp >> 10);
            unit(0xDC00 | (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

// A broken character becomes U+FFFD so that the rest of the file can still be checked.
std::string Utf16LeToUtf8(std::string_view b, std::vector<RegProblem>& errors) {
    std::string out;
    out.reserve(b.size() / 2);
    int line = 1;
    size_t units = b.size() / 2;
    auto at = [b](size_t k) {
        return static_cast<uint32_t>(static_cast<unsigned char>(b[2 * k])) |
               static_cast<uint32_t>(static_cast<unsigned char>(b[2 * k + 1])) << 8;
    };
    for (size_t k = 0; k < units; ++k) {
        uint32_t u = at(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units && at(k + 1) >= 0xDC00 && at(k + 1) <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (at(k + 1) - 0xDC00));
            ++k;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            errors.push_back({line,
                              "the text holds a broken UTF-16 character (a lone surrogate); save the file "
                              "again from an editor that writes proper Unicode"});
            AppendUtf8(out, 0xFFFD);
        } else {
            if (u == '\n') ++line;
            AppendUtf8(out, u);
        }
    }
    if (b.size() % 2) {
        errors.push_back({line,
                          "the file ends in the middle of a UTF-16 character; it is cut short or not "
                          "UTF-16 at all"});
    }
    return out;
}

// ---- Parsing ----

struct Line {
    std::string_view text;
    int number;
};

class Parser {
public:
    Parser(std::string_view text, RegParse& out) : out_(out) {
        int number = 1;
        size_t i = 0;
        while (i <= text.size()) {
            size_t j = text.find('\n', i);
            if (j == std::string_view::npos) j = text.size();
            lines_.push_back({text.substr(i, j - i), number++});
            i = j + 1;
        }
    }

    void Run() {
        size_t i = 0;
        while (i < lines_.size() && Trim(lines_[i].text).empty()) ++i;
        if (i == lines_.size()) {
            Error(1,
                  "the file is empty; a .reg file starts with the line REGEDIT4 or " + std::string(kHeader5));
            return;
        }
        std::string_view header = Trim(lines_[i].text);
        if (EqualsNoCase(header, kHeader4)) {
            out_.form = RegForm::Regedit4;
        } else if (EqualsNoCase(header, kHeader5)) {
            out_.form = RegForm::Unicode;
        } else {
            bool looksWide = header.find('\0') != std::string_view::npos;
            Error(lines_[i].number,
                  "this is not a .reg file: its first line must be REGEDIT4 or " + std::string(kHeader5) +
                      (looksWide ? " (the file looks like UTF-16 without its byte-order mark; save it as "
                                   "Unicode with a BOM or as 8-bit text)"
                                 : ""));
            return;
        }
        for (++i; i < lines_.size(); ++i) {
            std::string_view t = Trim(lines_[i].text);
            int number = lines_[i].number;
            if (t.empty()) {
                section_ = Section::None;
            } else if (t.front() == ';') {
                continue;
            } else if (t.front() == '[') {
                ParseSection(t, number);
            } else {
                i = ParseValue(i);
            }
        }
    }

private:
    enum class Section { None, Open, Deleting };

    void Error(int line, std::string message) { out_.errors.push_back({line, std::move(message)}); }

    void ParseSection(std::string_view t, int number) {
        section_ = Section::None;
        if (t.back() != ']') {
            Error(number, "the key line has no closing ]; write it as [HKEY_LOCAL_MACHINE\\...]");
            return;
        }
        std::string_view inner = t.substr(1, t.size() - 2);
        bool deleting = !inner.empty() && inner.front() == '-';
        if (deleting) inner.remove_prefix(1);
        std::string path = platform::NormaliseKeyPath(Trim(inner));
        if (path.empty()) {
            Error(number, "the key line names no key; write it as [HKEY_LOCAL_MACHINE\\...]");
            return;
        }
        // The hive compares names up to a NUL only: such a key would match others, and walking
        // the branch (an export) would never end.
        if (path.find('\0') != std::string::npos) {
            Error(number, "the key name holds a NUL character, which no key name may hold; remove it");
            return;
        }
        RegOp op;
        op.kind = deleting ? RegOp::Kind::DeleteKey : RegOp::Kind::Key;
        op.line = number;
        op.key = path;
        out_.ops.push_back(std::move(op));
        section_ = deleting ? Section::Deleting : Section::Open;
        sectionKey_ = std::move(path);
    }

    // A quoted name or string from t[pos] (the opening quote); pos ends after the closing quote.
    bool ParseQuoted(std::string_view t, size_t& pos, std::string& out, std::string& why) {
        for (++pos; pos < t.size(); ++pos) {
            char c = t[pos];
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c == '\\') {
                if (pos + 1 < t.size() && (t[pos + 1] == '\\' || t[pos + 1] == '"')) {
                    out += t[++pos];
                    continue;
                }
                why =
                    "a backslash inside quotes must be doubled (\\\\) or escape a quote (\\\"), as in "
                    "\"C:\\\\Mail\"";
                return false;
            }
            out += c;
        }
        why = "the closing quote is missing";
        return false;
    }

    // Skips the continuation lines of a value that could not be read, so that they are not taken
    // for values of their own. Returns the index of the value's last line.
    size_t SkipContinuation(size_t i) {
        while (i + 1 < lines_.size() && !TrimRight(lines_[i].text).empty() &&
               TrimRight(lines_[i].text).back() == '\\')
            ++i;
        return i;
    }

    // Reads the value starting on lines_[i]; returns the index of its last line.
    size_t ParseValue(size_t i) {
        const int number = lines_[i].number;
        std::string_view t = Trim(lines_[i].text);
        RegOp op;
        op.line = number;
        op.key = sectionKey_;
        size_t pos = 0;
        std::string why;
        if (t.front() == '@') {
            pos = 1;
        } else if (t.front() == '"') {
            if (!ParseQuoted(t, pos, op.value.name, why)) {
                Error(number, "the value name cannot be read: " + why);
                return SkipContinuation(i);
            }
            if (op.value.name.find('\0') != std::string::npos) {
                Error(number, "the value name holds a NUL character, which no value name may hold; remove it");
                return SkipContinuation(i);
            }
        } else {
            Error(number, "a value line starts with \"name\" or @ (a key line with [, a comment with ;)");
            return SkipContinuation(i);
        }
        std::string_view rest = TrimLeft(t.substr(pos));
        if (rest.empty() || rest.front() != '=') {
            Error(number, "the value name must be followed by = and the data");
            return SkipContinuation(i);
        }
        std::string_view data = TrimLeft(rest.substr(1));

        size_t last = i;
        bool ok = true;
        if (data == "-") {
            op.kind = RegOp::Kind::DeleteValue;
        } else if (!data.empty() && data.front() == '"') {
            op.kind = RegOp::Kind::SetValue;
            op.value.type = platform::kRegSz;
            std::string text;
            size_t p = 0;
            if (!ParseQuoted(data, p, text, why)) {
                Error(number, "the string cannot be read: " + why);
                ok = false;
            } else if (!Trim(data.substr(p)).empty()) {
                Error(number, "unexpected text after the closing quote of the string");
                ok = false;
            }
            // The hive keeps a string with its terminating zero, as Windows does.
            op.value.data.assign(text.begin(), text.end());
            op.value.data.push_back(0);
        } else if (StartsWithNoCase(data, "dword:")) {
            op.kind = RegOp::Kind::SetValue;
            op.value.type = platform::kRegDword;
            uint32_t v = 0;
            if (!ParseHex32(data.substr(6), v)) {
                Error(number, "dword data must be 1 to 8 hexadecimal digits, as in dword:0000001a");
                ok = false;
            }
            op.value.data = DwordBytes(v);
        } else if (StartsWithNoCase(data, "hex")) {
            op.kind = RegOp::Kind::SetValue;
            last = ParseHexValue(i, data.substr(3), op.value, ok);
        } else {
            Error(number, "the data must be \"text\", dword:, hex:, hex(N): or - (to delete the value)");
            return SkipContinuation(i);
        }
        if (section_ == Section::None) {
            Error(number,
                  "this value belongs to no key: put it right under its [key] line (a blank line "
                  "ends a key's values)");
            ok = false;
        } else if (section_ == Section::Deleting) {
            Error(number,
                  "a key that is being deleted ([-...]) cannot take values; remove this line or the -");
            ok = false;
        }
        if (ok) out_.ops.push_back(std::move(op));
        return last;
    }

    // `text` follows "hex": an optional (N), a colon, and comma-separated bytes that may go on over
    // lines ending in a backslash.
    size_t ParseHexValue(size_t i, std::string_view text, RegValue& value, bool& ok) {
        const int number = lines_[i].number;
        value.type = platform::kRegBinary;
        if (!text.empty() && text.front() == '(') {
            size_t close = text.find(')');
            uint32_t type = 0;
            if (close == std::string_view::npos || !ParseHex32(text.substr(1, close - 1), type)) {
                Error(number, "hex(N) needs the type number N in hexadecimal, as in hex(7):");
                ok = false;
                return SkipContinuation(i);
            }
            value.type = type;
            text.remove_prefix(close + 1);
        }
        if (text.empty() || text.front() != ':') {
            Error(number, "hex data needs a colon after hex or hex(N), as in hex:0a,0b");
            ok = false;
            return SkipContinuation(i);
        }
        text.remove_prefix(1);

        // The bytes of every line, joined, with the line each part came from.
        std::string joined;
        std::vector<std::pair<size_t, int>> origins;
        for (;;) {
            std::string_view part = TrimRight(text);
            origins.emplace_back(joined.size(), lines_[i].number);
            bool more = !part.empty() && part.back() == '\\';
            if (more) part.remove_suffix(1);
            joined.append(part);
            if (!more) break;
            if (i + 1 >= lines_.size()) {
                Error(lines_[i].number,
                      "the hex data goes on past the end of the file (its last line ends with \\)");
                ok = false;
                break;
            }
            text = TrimLeft(lines_[++i].text);
        }
        auto lineAt = [&origins](size_t offset) {
            int line = origins.front().second;
            for (const auto& [start, n] : origins) {
                if (start <= offset) line = n;
            }
            return line;
        };

        std::string_view all = joined;
        if (Trim(all).empty()) return i;
        size_t start = 0;
        while (start <= all.size()) {
            size_t comma = all.find(',', start);
            if (comma == std::string_view::npos) comma = all.size();
            std::string_view item = Trim(all.substr(start, comma - start));
            bool lastItem = comma == all.size();
            if (item.empty() && lastItem && start > 0) break;  // a trailing comma
            int a = item.empty() ? -1 : HexDigit(item[0]);
            int b = item.size() == 2 ? HexDigit(item[1]) : 0;
            if (item.empty() || item.size() > 2 || a < 0 || b < 0) {
                std::string what = item.empty() ? "two commas with no byte between them"
                                                : "'" + std::string(item) + "' is not a byte";
                Error(lineAt(start), what +
                                         "; hex data is bytes of two hexadecimal digits separated by commas, "
                                         "as in 0a,ff");
                ok = false;
                break;
            }
            value.data.push_back(static_cast<unsigned char>(item.size() == 2 ? a << 4 | b : a));
            start = comma + 1;
        }
        return i;
    }

    RegParse& out_;
    std::vector<Line> lines_;
    Section section_ = Section::None;
    std::string sectionKey_;
};

// ---- Writing ----

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

std::string Escape(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

size_t Columns(std::string_view utf8) {
    size_t n = 0;
    for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// A REG_SZ that a quoted string carries exactly: UTF-8 text, one terminating zero, nothing that
// would break the line. Any other REG_SZ is written as hex(1) so its bytes survive.
bool IsPlainString(const RegValue& v) {
    if (v.type != platform::kRegSz || v.data.empty() || v.data.back() != 0) return false;
    std::string_view text(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1);
    return text.find('\0') == std::string_view::npos && !HasLineBreak(text) && IsValidUtf8(text);
}

void AppendHex(std::string& out, const std::string& prefix, const std::vector<unsigned char>& data) {
    out += prefix;
    size_t col = Columns(prefix);
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0 && col + 3 >= kLineWidth) {
            out += "\\\r\n  ";
            col = 2;
        }
        out += HexByte(data[i], false);
        col += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++col;
        }
    }
    out += "\r\n";
}

// ---- Hive ----

HiveLease OpenHive(std::string& error) {
    HiveLease hive = Hive::Acquire();
    if (!hive) {
        error = Hive::LastOpenError() +
                ". Check the path given with --hive or POSTVANE_HIVE, and that its folder is writable.";
    }
    return hive;
}

std::string HivePathOf(std::string_view relative) {
    std::string path = ConfigRoot();
    if (!relative.empty()) {
        path += '\\';
        path.append(relative);
    }
    return path;
}

std::string Child(std::string_view relative, std::string_view name) {
    std::string path(relative);
    if (!path.empty()) path += '\\';
    path.append(name);
    return path;
}

std::string WriteFailure(const std::string& what) {
    return "could not write " + what + " to " + platform::HivePath() +
           "; check the file's permissions and free space";
}

bool IsHiveRootName(std::string_view first) {
    return StartsWithNoCase(first, "HKEY_") || EqualsNoCase(first, "HKLM") || EqualsNoCase(first, "HKCU") ||
           EqualsNoCase(first, "HKCR") || EqualsNoCase(first, "HKU") || EqualsNoCase(first, "HKCC");
}

}  // namespace

RegParse ParseRegFile(std::string_view bytes) {
    RegParse out;
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        text = Utf16LeToUtf8(bytes.substr(2), out.errors);
    } else if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
        out.errors.push_back(
            {1, "the file is UTF-16 big-endian; save it as Unicode (UTF-16LE) or as 8-bit text"});
        return out;
    } else {
        if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
        text = EightBitToUtf8(bytes);
    }
    Parser(text, out).Run();
    return out;
}

bool WriteRegFile(const std::vector<RegKeyDump>& keys, RegForm form, std::string& bytes, std::string& error) {
    std::string text(form == RegForm::Unicode ? kHeader5 : kHeader4);
    text += "\r\n\r\n";
    for (const auto& key : keys) {
        // Names are UTF-8 in the hive; a stray 8-bit byte is read as Windows-1252, as an import would.
        std::string path = EightBitToUtf8(key.path);
        if (HasLineBreak(path)) {
            error =
                "the key " + path + " has a line break in its name, which a .reg file cannot hold; rename it";
            return false;
        }
        text += '[' + path + "]\r\n";
        for (const auto& v : key.values) {
            std::string name = EightBitToUtf8(v.name);
            if (HasLineBreak(name)) {
                error = "a value of " + path +
                        " has a line break in its name, which a .reg file cannot hold; "
                        "delete it and write it again under another name";
                return false;
            }
            std::string line = (name.empty() ? "@" : '"' + Escape(name) + '"') + "=";
            if (IsPlainString(v)) {
                text += line + '"' +
                        Escape({reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1}) + "\"\r\n";
            } else if (v.type == platform::kRegDword && v.data.size() == 4) {
                char digits[16];
                std::snprintf(digits, sizeof digits, "%08x", DwordOf(v.data));
                text += line + "dword:" + digits + "\r\n";
            } else if (v.type == platform::kRegBinary) {
                AppendHex(text, line + "hex:", v.data);
            } else {
                char type[16];
                std::snprintf(type, sizeof type, "%x", v.type);
                AppendHex(text, line + "hex(" + type + "):", v.data);
            }
        }
        text += "\r\n";
    }
    bytes = form == RegForm::Unicode ? "\xFF\xFE" + Utf8ToUtf16Le(text) : std::move(text);
    return true;
}

std::string RegTypeName(uint32_t type) {
    switch (type) {
        case platform::kRegSz:
            return "REG_SZ";
        case platform::kRegBinary:
            return "REG_BINARY";
        case platform::kRegDword:
            return "REG_DWORD";
        default: {
            char name[24];
            std::snprintf(name, sizeof name, "REG_0x%x", type);
            return name;
        }
    }
}

std::string FormatRegData(const RegValue& value) {
    if (value.type == platform::kRegSz) {
        std::string text(value.data.begin(), value.data.end());
        return text.substr(0, text.find('\0'));
    }
    if (value.type == platform::kRegDword && value.data.size() == 4) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%x", DwordOf(value.data));
        return text;
    }
    std::string hex;
    for (unsigned char b : value.data) hex += HexByte(b, true);
    return hex;
}

bool ParseRegData(std::string_view typeName, std::string_view text, RegValue& value, std::string& error) {
    value.data.clear();
    if (EqualsNoCase(typeName, "REG_SZ")) {
        value.type = platform::kRegSz;
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
        return true;
    }
    if (EqualsNoCase(typeName, "REG_DWORD")) {
        value.type = platform::kRegDword;
        const bool hex = StartsWithNoCase(text, "0x");
        std::string_view digits = hex ? text.substr(2) : text;
        bool ok = text.empty() || !digits.empty();
        uint64_t v = 0;
        for (char c : digits) {
            int d = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
            if (d < 0) {
                ok = false;
                break;
            }
            v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
            if (v > 0xFFFFFFFFu) {
                ok = false;
                break;
            }
        }
        if (!ok) {
            error =
                "REG_DWORD data must be a whole number from 0 to 4294967295, in decimal or as 0x and up to 8 "
                "hexadecimal digits (got '" +
                std::string(text) + "')";
            return false;
        }
        value.data = DwordBytes(static_cast<uint32_t>(v));
        return true;
    }
    if (EqualsNoCase(typeName, "REG_BINARY")) {
        value.type = platform::kRegBinary;
        // Either one run of digit pairs, or bytes of one or two digits between commas.
        std::vector<std::string_view> items;
        if (text.find(',') != std::string_view::npos) {
            size_t start = 0;
            for (;;) {
                size_t comma = text.find(',', start);
                items.push_back(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
                if (comma == std::string_view::npos) break;
                start = comma + 1;
            }
        } else {
            for (size_t i = 0; i < text.size(); i += 2) items.push_back(text.substr(i, 2));
            if (text.size() % 2) items.push_back({});
        }
        for (std::string_view item : items) {
            int a = item.empty() ? -1 : HexDigit(item[0]);
            int b = item.size() == 2 ? HexDigit(item[1]) : 0;
            if (a < 0 || b < 0 || item.size() > 2) {
                error =
                    "REG_BINARY data must be pairs of hexadecimal digits, optionally separated by commas, as "
                    "in 0a0b0c or 0a,0b,0c (got '" +
                    std::string(text) + "')";
                value.data.clear();
                return false;
            }
            value.data.push_back(static_cast<unsigned char>(item.size() == 2 ? a << 4 | b : a));
        }
        return true;
    }
    error = "the type " + std::string(typeName) + " is not supported; use REG_SZ, REG_DWORD or REG_BINARY";
    return false;
}

std::string BranchKeyName(std::string_view relative) {
    return std::string(kMachine) + '\\' + HivePathOf(relative);
}

std::optional<std::string> BranchRelative(std::string_view absolutePath) {
    std::string norm = platform::NormaliseKeyPath(absolutePath);
    size_t cut = norm.find('\\');
    std::string_view first = std::string_view(norm).substr(0, cut);
    if (!EqualsNoCase(first, kMachine) && !EqualsNoCase(first, "HKLM")) return std::nullopt;
    std::string_view rest =
        cut == std::string::npos ? std::string_view() : std::string_view(norm).substr(cut + 1);
    std::string root = platform::NormaliseKeyPath(ConfigRoot());
    if (EqualsNoCase(rest, root)) return std::string();
    if (rest.size() > root.size() && StartsWithNoCase(rest, root) && rest[root.size()] == '\\') {
        return std::string(rest.substr(root.size() + 1));
    }
    return std::nullopt;
}

std::optional<std::string> ResolveKeyArgument(std::string_view arg) {
    std::string norm = platform::NormaliseKeyPath(arg);
    if (norm.empty() || norm == ".") return std::string();
    if (IsHiveRootName(std::string_view(norm).substr(0, norm.find('\\')))) return BranchRelative(norm);
    return norm;
}

HiveResult ReadBranchKey(std::string_view relative, KeyContents& out, std::string& error) {
    HiveLease hive = OpenHive(error);
    if (!hive) return HiveResult::Failed;
    auto id = hive->OpenKey(HivePathOf(relative));
    if (!id) return HiveResult::NotFound;
    out.path = BranchKeyName(relative);
    out.values.clear();
    for (auto& name : hive->ValueNames(*id)) {
        HiveValue v;
        if (!hive->GetValue(*id, name, v)) continue;  // deleted by another process meanwhile
        out.values.push_back({std::move(name), v.type, std::move(v.data)});
    }
    out.subkeys = hive->SubkeyNames(*id);
    return HiveResult::Done;
}

HiveResult DumpBranch(std::string_view relative, std::vector<RegKeyDump>& out, std::string& error) {
    KeyContents key;
    HiveResult r = ReadBranchKey(relative, key, error);
    if (r != HiveResult::Done) return r;
    out.push_back({key.path, std::move(key.values)});
    for (const auto& sub : key.subkeys) {
        // A subkey removed by another process meanwhile is simply not exported.
        if (DumpBranch(Child(relative, sub), out, error) == HiveResult::Failed) return HiveResult::Failed;
    }
    return HiveResult::Done;
}

bool CreateBranchKey(std::string_view relative, std::string& error) {
    HiveLease hive = OpenHive(error);
    if (!hive) return false;
    if (!hive->CreateKey(HivePathOf(relative))) {
        error = WriteFailure("the key " + BranchKeyName(relative));
        return false;
    }
    return true;
}

bool SetBranchValue(std::string_view relative, const RegValue& value, std::string& error) {
    HiveLease hive = OpenHive(error);
    if (!hive) return false;
    auto id = hive->CreateKey(HivePathOf(relative));
    if (!id || !hive->SetValue(*id, value.name, value.type, value.data.data(), value.data.size())) {
        error = WriteFailure("the value " + value.name + " of " + BranchKeyName(relative));
        return false;
    }
    return true;
}

HiveResult DeleteBranchValue(std::string_view relative, std::string_view name, std::string& error) {
    HiveLease hive = OpenHive(error);
    if (!hive) return HiveResult::Failed;
    auto id = hive->OpenKey(HivePathOf(relative));
    HiveValue existing;
    if (!id || !hive->GetValue(*id, std::string(name), existing)) return HiveResult::NotFound;
    if (!hive->DeleteValue(*id, std::string(name))) {
        error =
            WriteFailure("the removal of the value " + std::string(name) + " of " + BranchKeyName(relative));
        return HiveResult::Failed;
    }
    return HiveResult::Done;
}

HiveResult DeleteBranchKey(std::string_view relative, std::string& error) {
    HiveLease hive = OpenHive(error);
    if (!hive) return HiveResult::Failed;
    std::string path = platform::NormaliseKeyPath(HivePathOf(relative));
    if (!hive->OpenKey(path)) return HiveResult::NotFound;
    size_t cut = path.rfind('\\');
    std::string parentPath = cut == std::string::npos ? std::string() : path.substr(0, cut);
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    auto parent = hive->OpenKey(parentPath);
    if (!parent || !hive->DeleteTree(*parent, name)) {
        error = WriteFailure("the removal of the key " + BranchKeyName(relative));
        return HiveResult::Failed;
    }
    return HiveResult::Done;
}

ImportResult ImportRegFile(std::string_view bytes) {
    ImportResult result;
    RegParse parse = ParseRegFile(bytes);
    if (!parse.errors.empty()) {
        result.errors = std::move(parse.errors);
        return result;
    }

    // Decide every section before touching the hive, so that skipped ones are all reported.
    struct Step {
        const RegOp* op;
        std::string relative;
    };
    std::vector<Step> steps;
    std::optional<std::string> section;
    for (const auto& op : parse.ops) {
        if (op.kind == RegOp::Kind::Key || op.kind == RegOp::Kind::DeleteKey) {
            section = BranchRelative(op.key);
            if (!section) {
                result.skipped.push_back(
                    {op.line, std::string(op.kind == RegOp::Kind::DeleteKey ? "[-" : "[") + op.key +
                                  "] lies outside " + BranchKeyName("") + "; it is skipped with its values"});
                continue;
            }
        }
        if (section) steps.push_back({&op, *section});
    }

    std::string error;
    HiveLease hive = OpenHive(error);
    if (!hive) {
        result.errors.push_back({0, error});
        return result;
    }
    result.wrote = true;
    // The key the following values go to; haveKey is false until a section opened one.
    KeyId key = platform::kHiveRoot;
    bool haveKey = false;
    for (const auto& [op, relative] : steps) {
        bool ok = true;
        switch (op->kind) {
            case RegOp::Kind::Key:
                if (auto made = hive->CreateKey(HivePathOf(relative))) {
                    key = *made;
                    haveKey = true;
                } else {
                    haveKey = false;
                }
                ok = haveKey;
                if (!ok) error = WriteFailure("the key " + BranchKeyName(relative));
                result.keys += ok;
                break;
            case RegOp::Kind::DeleteKey: {
                haveKey = false;
                HiveResult r = DeleteBranchKey(relative, error);
                ok = r != HiveResult::Failed;
                result.deletedKeys += r == HiveResult::Done;
                break;
            }
            case RegOp::Kind::SetValue:
                ok = haveKey && hive->SetValue(key, op->value.name, op->value.type, op->value.data.data(),
                                           op->value.data.size());
                if (!ok)
                    error = WriteFailure("the value " + op->value.name + " of " + BranchKeyName(relative));
                result.values += ok;
                break;
            case RegOp::Kind::DeleteValue: {
                HiveResult r = DeleteBranchValue(relative, op->value.name, error);
                ok = r != HiveResult::Failed;
                result.deletedValues += r == HiveResult::Done;
                break;
            }
        }
        if (!ok) {
            result.errors.push_back({op->line, error +
                                                   "; the lines before this one were applied, so import the "
                                                   "file again once the cause is fixed"});
            return result;
        }
    }
    return result;
}

}  // namespace pv::tools
