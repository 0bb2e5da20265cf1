#include <gtest/gtest.h>

#include "RegFile.h"
#include "TestSupport.h"
#include "core/RegistryKey.h"
#include "platform/Hive.h"

using namespace pv::tools;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Sz(std::string_view text) {
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    return b;
}

std::vector<int> Lines(const std::vector<RegProblem>& problems) {
    std::vector<int> lines;
    for (const auto& p : problems) lines.push_back(p.line);
    return lines;
}

// The SetValue operations of a parse, in order.
std::vector<RegValue> SetValues(const RegParse& p) {
    std::vector<RegValue> values;
    for (const auto& op : p.ops) {
        if (op.kind == RegOp::Kind::SetValue) values.push_back(op.value);
    }
    return values;
}

std::string Utf16Le(std::u16string_view text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

const std::string kKey = "[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\t]\n";

}  // namespace

TEST(RegFileParse, StringsKeepEscapesAndTheirTerminatingZero) {
    RegParse p = ParseRegFile("REGEDIT4\n\n" + kKey +
                              R"("say \"hi\""="C:\\Mail\\in \"q\""
@="unnamed"
"empty"=""
)");
    ASSERT_TRUE(p.errors.empty()) << p.errors[0].message;
    auto v = SetValues(p);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].name, "say \"hi\"");
    EXPECT_EQ(v[0].type, 1u);
    EXPECT_EQ(v[0].data, Sz(R"(C:\Mail\in "q")"));
    EXPECT_EQ(v[1].name, "");
    EXPECT_EQ(v[1].data, Sz("unnamed"));
    EXPECT_EQ(v[2].data, Sz(""));
    EXPECT_EQ(p.ops[0].kind, RegOp::Kind::Key);
    EXPECT_EQ(p.ops[0].key, "HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\t");
    EXPECT_EQ(p.ops[1].line, 4);
}

TEST(RegFileParse, DwordsHexTypesAndContinuationLines) {
    RegParse p = ParseRegFile("REGEDIT4\r\n\r\n" + kKey +
                              "\"d\"=dword:0000001A\r\n"
                              "\"max\"=dword:ffffffff\r\n"
                              "\"short\"=dword:7\r\n"
                              "\"bin\"=hex:01,02,\\\r\n"
                              "  03,04,\\\r\n"
                              "  ff\r\n"
                              "\"none\"=hex:\r\n"
                              "\"multi\"=hex(7):61,00,00,00\r\n"
                              "\"raw4\"=hex(4):01,00,00\r\n"
                              "\"qword\"=hex(b):01,02,03,04,05,06,07,08\r\n");
    ASSERT_TRUE(p.errors.empty()) << p.errors[0].message;
    auto v = SetValues(p);
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(v[0].type, 4u);
    EXPECT_EQ(v[0].data, (Bytes{0x1a, 0, 0, 0}));
    EXPECT_EQ(v[1].data, (Bytes{0xff, 0xff, 0xff, 0xff}));
    EXPECT_EQ(v[2].data, (Bytes{7, 0, 0, 0}));
    EXPECT_EQ(v[3].type, 3u);
    EXPECT_EQ(v[3].data, (Bytes{1, 2, 3, 4, 0xff}));
    EXPECT_TRUE(v[4].data.empty());
    EXPECT_EQ(v[5].type, 7u);
    EXPECT_EQ(v[5].data, (Bytes{0x61, 0, 0, 0}));
    // hex(4) is taken as given, even when it is not four bytes long.
    EXPECT_EQ(v[6].type, 4u);
    EXPECT_EQ(v[6].data, (Bytes{1, 0, 0}));
    EXPECT_EQ(v[7].type, 0xbu);
    // The value after the continued one is on line 10, so continuation lines were consumed.
    EXPECT_EQ(p.ops[5].line, 10);
}

TEST(RegFileParse, DeletionsAndComments) {
    RegParse p = ParseRegFile(
        "REGEDIT4\n; a comment\n\n[-HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\old]\n\n" + kKey +
        "; between values\n\"gone\"=-\n@=-\n");
    ASSERT_TRUE(p.errors.empty()) << p.errors[0].message;
    ASSERT_EQ(p.ops.size(), 4u);
    EXPECT_EQ(p.ops[0].kind, RegOp::Kind::DeleteKey);
    EXPECT_EQ(p.ops[0].key, "HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\old");
    EXPECT_EQ(p.ops[2].kind, RegOp::Kind::DeleteValue);
    EXPECT_EQ(p.ops[2].value.name, "gone");
    EXPECT_EQ(p.ops[2].line, 8);
    EXPECT_EQ(p.ops[3].kind, RegOp::Kind::DeleteValue);
    EXPECT_EQ(p.ops[3].value.name, "");
}

TEST(RegFileParse, EightBitTextKeepsUtf8AndReadsOtherBytesAsWindows1252) {
    RegParse p = ParseRegFile("REGEDIT4\n\n" + kKey + "\"caf\xE9\"=\"\x80 5 \xC3\xA9t\xE9\"\n");
    ASSERT_TRUE(p.errors.empty()) << p.errors[0].message;
    auto v = SetValues(p);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].name, "caf\xC3\xA9");
    EXPECT_EQ(v[0].data, Sz("\xE2\x82\xAC 5 \xC3\xA9t\xC3\xA9"));
}

TEST(RegFileParse, Utf16FileWithBom) {
    std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\t]\r\n"
        u"\"Gr\u00FC\u00DFe\"=\"\u20AC \U0001F600\"\r\n";
    RegParse p = ParseRegFile(Utf16Le(text));
    ASSERT_TRUE(p.errors.empty()) << p.errors[0].message;
    EXPECT_EQ(p.form, RegForm::Unicode);
    auto v = SetValues(p);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].name,
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(v[0].data, Sz("\xE2\x82\xAC \xF0\x9F\x98\x80"));

    // A lone surrogate is an error on its own line; the rest of the file is still read.
    std::u16string broken = u"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\x]\r\n\"a\"=\"?\"\r\n\"b\"=dword:zz\r\n";
    broken[broken.find(u'?')] = 0xD800;
    EXPECT_EQ(Lines(ParseRegFile(Utf16Le(broken)).errors), (std::vector<int>{4, 5}));
}

TEST(RegFileParse, ReportsEveryErrorWithItsLine) {
    RegParse p = ParseRegFile("REGEDIT4\n\n" + kKey +       // lines 1-3
                              "\"path\"=\"C:\\Mail\"\n"     // 4: single backslash
                              "\"d\"=dword:123456789\n"     // 5: nine digits
                              "\"b\"=hex:01,\\\n"           // 6
                              "  zz,02\n"                   // 7: not a byte
                              "\"ok\"=\"fine\"\n"           // 8
                              "\"t\"=hex(q):00\n"           // 9: bad type
                              "noquotes=1\n"                // 10
                              "\"n\"=text\n"                // 11
                              "\n"                          // 12
                              "\"after\"=\"blank line\"\n"  // 13: no section
                              "[-HKEY_LOCAL_MACHINE\\x]\n"  // 14
                              "\"v\"=\"in a deletion\"\n"   // 15
                              "[HKEY_LOCAL_MACHINE\\x\n");  // 16: no ]
    EXPECT_EQ(Lines(p.errors), (std::vector<int>{4, 5, 7, 9, 10, 11, 13, 15, 16}));

    EXPECT_EQ(Lines(ParseRegFile("just text\nREGEDIT4\n").errors), (std::vector<int>{1}));
    EXPECT_EQ(Lines(ParseRegFile("").errors), (std::vector<int>{1}));
    EXPECT_EQ(Lines(ParseRegFile("REGEDIT4\n\n" + kKey + "\"b\"=hex:01,\\").errors), (std::vector<int>{4}));
}

TEST(RegFileWrite, WritesTheRegedit4Layout) {
    std::vector<RegKeyDump> keys = {
        {"HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane",
         {{"Maildrop", 1, Sz("C:\\Mail \"x\"")}, {"", 1, Sz("d")}, {"port", 4, {0x1a, 0, 0, 0}}}},
        {"HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\empty", {}},
        {"HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\odd",
         {{"bin", 3, {0xab, 0x01}}, {"nozero", 1, {'h', 'i'}}, {"exp", 2, {}}}},
    };
    std::string bytes, error;
    ASSERT_TRUE(WriteRegFile(keys, RegForm::Regedit4, bytes, error));
    EXPECT_EQ(bytes,
              "REGEDIT4\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane]\r\n"
              "\"Maildrop\"=\"C:\\\\Mail \\\"x\\\"\"\r\n"
              "@=\"d\"\r\n"
              "\"port\"=dword:0000001a\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\empty]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\odd]\r\n"
              "\"bin\"=hex:ab,01\r\n"
              "\"nozero\"=hex(1):68,69\r\n"
              "\"exp\"=hex(2):\r\n\r\n");

    keys[0].values[0].name = "line\nbreak";
    EXPECT_FALSE(WriteRegFile(keys, RegForm::Regedit4, bytes, error));
    EXPECT_NE(error.find("line break"), std::string::npos);
}

TEST(RegFileWrite, WrapsLongHexAndRoundTripsInBothForms) {
    Bytes blob;
    for (int i = 0; i < 200; ++i) blob.push_back(static_cast<unsigned char>(i * 7));
    std::vector<RegKeyDump> keys = {{"HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\k",
                                     {{"blob", 3, blob},
                                      {"text", 1, Sz("na\xC3\xAFve \xE2\x82\xAC \xF0\x9F\x98\x81")},
                                      {"latin1", 1, Sz("caf\xE9")},  // not UTF-8: kept as hex(1)
                                      {"w\xC3\xA9ird \\ \"", 4, {1, 2, 3, 4}}}}};
    for (RegForm form : {RegForm::Regedit4, RegForm::Unicode}) {
        std::string bytes, error;
        ASSERT_TRUE(WriteRegFile(keys, form, bytes, error));
        if (form == RegForm::Regedit4) {
            size_t start = 0, continued = 0;
            while (start < bytes.size()) {
                size_t end = bytes.find("\r\n", start);
                ASSERT_NE(end, std::string::npos);
                EXPECT_LE(end - start, 80u) << bytes.substr(start, end - start);
                if (end > start && bytes[end - 1] == '\\') {
                    ++continued;
                    EXPECT_EQ(bytes.substr(end + 2, 2), "  ");
                }
                start = end + 2;
            }
            EXPECT_GE(continued, 7u);
        } else {
            ASSERT_EQ(bytes.substr(0, 4), std::string("\xFF\xFEW\0", 4));
        }
        RegParse p = ParseRegFile(bytes);
        ASSERT_TRUE(p.errors.empty()) << p.errors[0].line << ": " << p.errors[0].message;
        auto v = SetValues(p);
        ASSERT_EQ(v.size(), keys[0].values.size());
        for (size_t i = 0; i < v.size(); ++i) {
            EXPECT_EQ(v[i].name, keys[0].values[i].name);
            EXPECT_EQ(v[i].type, keys[0].values[i].type);
            EXPECT_EQ(v[i].data, keys[0].values[i].data) << v[i].name;
        }
    }
}

TEST(RegFileData, ParsesAddArguments) {
    RegValue v;
    std::string error;
    ASSERT_TRUE(ParseRegData("reg_dword", "4294967295", v, error));
    EXPECT_EQ(v.data, (Bytes{0xff, 0xff, 0xff, 0xff}));
    ASSERT_TRUE(ParseRegData("REG_DWORD", "0x1A", v, error));
    EXPECT_EQ(v.data, (Bytes{0x1a, 0, 0, 0}));
    ASSERT_TRUE(ParseRegData("REG_DWORD", "", v, error));
    EXPECT_EQ(v.data, (Bytes{0, 0, 0, 0}));
    for (const char* bad : {"4294967296", "0x100000000", "-1", "0x", "12a", " 5"}) {
        EXPECT_FALSE(ParseRegData("REG_DWORD", bad, v, error)) << bad;
    }
    EXPECT_NE(error.find("4294967295"), std::string::npos);

    ASSERT_TRUE(ParseRegData("REG_BINARY", "0a0BfF", v, error));
    EXPECT_EQ(v.data, (Bytes{0x0a, 0x0b, 0xff}));
    ASSERT_TRUE(ParseRegData("REG_BINARY", "0a,b,ff", v, error));
    EXPECT_EQ(v.data, (Bytes{0x0a, 0x0b, 0xff}));
    for (const char* bad : {"abc", "0g", "0a,,0b", "0a,", "0a0b,0c"}) {
        EXPECT_FALSE(ParseRegData("REG_BINARY", bad, v, error)) << bad;
    }
    ASSERT_TRUE(ParseRegData("REG_SZ", "x", v, error));
    EXPECT_EQ(v.data, Sz("x"));
    EXPECT_FALSE(ParseRegData("REG_MULTI_SZ", "x", v, error));

    EXPECT_EQ(FormatRegData({"", 4, {0x6e, 0, 0, 0}}), "0x6e");
    EXPECT_EQ(FormatRegData({"", 3, {0x0a, 0xbc}}), "0ABC");
    EXPECT_EQ(RegTypeName(7), "REG_0x7");
}

class RegFileHiveTest : public pvtest::HiveTest {
protected:
    static RegValue Value(const std::string& key, const std::string& name) {
        KeyContents k;
        std::string error;
        EXPECT_EQ(ReadBranchKey(key, k, error), HiveResult::Done) << key;
        for (auto& v : k.values) {
            if (v.name == name) return v;
        }
        return {};
    }
};

TEST_F(RegFileHiveTest, KeyArgumentsStayInsideTheBranch) {
    EXPECT_EQ(ResolveKeyArgument("."), "");
    EXPECT_EQ(ResolveKeyArgument(""), "");
    EXPECT_EQ(ResolveKeyArgument("mailbox\\alice\\"), "mailbox\\alice");
    EXPECT_EQ(ResolveKeyArgument("HKLM\\software\\QUILLMOOR\\Postvane\\AdvCon"), "AdvCon");
    EXPECT_EQ(ResolveKeyArgument("HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane"), "");
    EXPECT_EQ(ResolveKeyArgument("HKLM\\Software\\Quillmoor\\PostvaneX"), std::nullopt);
    EXPECT_EQ(ResolveKeyArgument("HKLM\\Software\\Quillmoor"), std::nullopt);
    EXPECT_EQ(ResolveKeyArgument("HKEY_CURRENT_USER\\Software\\Quillmoor\\Postvane"), std::nullopt);
    EXPECT_EQ(ResolveKeyArgument("HKCU\\x"), std::nullopt);
}

TEST_F(RegFileHiveTest, ImportAppliesTheBranchAndSkipsTheRest) {
    std::string error;
    ASSERT_TRUE(SetBranchValue("old\\deep", {"x", 1, Sz("y")}, error));
    ASSERT_TRUE(SetBranchValue("keep", {"drop", 1, Sz("me")}, error));
    ImportResult r = ImportRegFile(
        "REGEDIT4\n\n"
        "[HKEY_CURRENT_USER\\Software\\Quillmoor\\Postvane]\n"  // 3
        "\"Maildrop\"=\"/elsewhere\"\n\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Quillmoor]\n\n"            // 6
        "[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\PostvaneX]\n\n"  // 8
        "[-HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\old]\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\quillmoor\\postvane\\keep]\n"
        "\"DROP\"=-\n"
        "\"n\"=dword:00000005\n");
    EXPECT_TRUE(r.errors.empty()) << r.errors[0].message;
    EXPECT_EQ(Lines(r.skipped), (std::vector<int>{3, 6, 8}));
    EXPECT_EQ(r.deletedKeys, 1u);
    EXPECT_EQ(r.deletedValues, 1u);
    EXPECT_EQ(r.values, 1u);

    KeyContents k;
    EXPECT_EQ(ReadBranchKey("old", k, error), HiveResult::NotFound);
    EXPECT_EQ(Value("", "Maildrop").data, Sz(Spool()));
    ASSERT_EQ(ReadBranchKey("keep", k, error), HiveResult::Done);
    ASSERT_EQ(k.values.size(), 1u);
    EXPECT_EQ(k.values[0].name, "n");
    EXPECT_FALSE(pv::platform::Hive::Acquire()->OpenKey("Software\\Quillmoor\\PostvaneX"));
}

TEST_F(RegFileHiveTest, ImportWithAnyErrorWritesNothing) {
    ImportResult r = ImportRegFile(
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane]\n"
        "\"Maildrop\"=\"/changed\"\n\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane]\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\new]\n"
        "\"a\"=dword:1\n"
        "\"b\"=hex:0g\n");
    EXPECT_FALSE(r.wrote);
    EXPECT_EQ(Lines(r.errors), (std::vector<int>{10}));
    EXPECT_EQ(Value("", "Maildrop").data, Sz(Spool()));
    KeyContents k;
    std::string error;
    EXPECT_EQ(ReadBranchKey("new", k, error), HiveResult::NotFound);
}

// The hive compares names only up to a NUL: a key named with one matched other keys, and an
// export of the branch after importing it recursed until the stack ran out.
TEST_F(RegFileHiveTest, NamesWithNulAreRefusedAndTheExportEnds) {
    const std::string nulKey = std::string("[HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane\\") +
                               std::string("\0\0\x8d", 3) + "\\alice]\r\n";
    const std::string file = "REGEDIT4\r\n\r\n" + nulKey + "\"Text2\"=\"Andr\xe9\"\r\n";
    ImportResult r = ImportRegFile(file);
    EXPECT_FALSE(r.wrote);
    EXPECT_EQ(Lines(r.errors), (std::vector<int>{3, 4}));  // the key, and the value left without one
    EXPECT_EQ(Lines(ParseRegFile("REGEDIT4\n\n" + kKey + "\"a" + std::string(1, '\0') + "b\"=dword:1\n").errors),
              (std::vector<int>{4}));

    std::vector<RegKeyDump> dump;
    std::string error;
    EXPECT_EQ(DumpBranch("", dump, error), HiveResult::Done);
    EXPECT_EQ(dump.size(), 1u);  // the root alone: nothing was imported
}

TEST_F(RegFileHiveTest, ExportedBranchImportsToIdenticalValues) {
    std::string error;
    Bytes blob(20);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<unsigned char>(0xF0 ^ i);
    ASSERT_TRUE(SetBranchValue("AdvCon", {"popport", 4, {0x6e, 0, 0, 0}}, error));
    ASSERT_TRUE(SetBranchValue("mailbox\\b\xC3\xB6rje", {"Key", 3, blob}, error));
    ASSERT_TRUE(SetBranchValue("mailbox\\b\xC3\xB6rje", {"", 1, Sz("\xE2\x82\xAC")}, error));
    for (RegForm form : {RegForm::Regedit4, RegForm::Unicode}) {
        std::vector<RegKeyDump> before, after;
        ASSERT_EQ(DumpBranch("", before, error), HiveResult::Done);
        std::string bytes;
        ASSERT_TRUE(WriteRegFile(before, form, bytes, error));
        // Deleting the branch first proves the import alone rebuilds it.
        ASSERT_EQ(DeleteBranchKey("", error), HiveResult::Done);
        ImportResult r = ImportRegFile(bytes);
        ASSERT_TRUE(r.errors.empty()) << r.errors[0].message;
        ASSERT_EQ(DumpBranch("", after, error), HiveResult::Done);
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(after[i].path, before[i].path);
            ASSERT_EQ(after[i].values.size(), before[i].values.size());
            for (size_t j = 0; j < before[i].values.size(); ++j) {
                EXPECT_EQ(after[i].values[j].name, before[i].values[j].name);
                EXPECT_EQ(after[i].values[j].type, before[i].values[j].type);
                EXPECT_EQ(after[i].values[j].data, before[i].values[j].data);
            }
        }
    }
}
