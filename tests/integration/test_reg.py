"""postvane-reg, the registry editor, run for real on throw-away hives."""

import os
import sqlite3
import unittest

from pvharness import Installation

BRANCH = "HKEY_LOCAL_MACHINE\\Software\\Quillmoor\\Postvane"


def hive_values(path):
    """Every value in a hive file, read straight from SQLite: (key path, name, type, bytes)."""
    with sqlite3.connect(path) as db:
        rows = db.execute("SELECT k.path, v.name, v.type, v.data FROM vals v JOIN keys k ON v.key = k.id "
                          "ORDER BY k.id, v.id").fetchall()
    db.close()
    return [(p, n, t, bytes(d)) for p, n, t, d in rows]


# A configuration as the Windows editor exports it: CR LF, a blank line after each key, binary data
# wrapped with a backslash and two blanks, 25 bytes to a continuation line.
BLOB = bytes(range(0x30, 0x30 + 60))
EXPORTED = ("{header}\r\n\r\n"
            "[{b}]\r\n"
            "\"Gateway\"=\"relay.example.test\"\r\n"
            "\"Maildrop\"=\"C:\\\\Postvane\\\\spool \\\"main\\\"\"\r\n"
            "@=\"Gr\u00fc\u00dfe \u20ac\"\r\n"
            "\r\n"
            "[{b}\\AdvCon]\r\n"
            "\"popport\"=dword:0000006e\r\n"
            "\"Key\"=hex:" + ",".join(f"{x:02x}" for x in BLOB[:23]) + ",\\\r\n"
            "  " + ",".join(f"{x:02x}" for x in BLOB[23:48]) + ",\\\r\n"
            "  " + ",".join(f"{x:02x}" for x in BLOB[48:]) + "\r\n"
            "\"Kind\"=hex(7):61,00,00,00\r\n"
            "\r\n"
            "[{b}\\mailbox]\r\n"
            "\r\n"
            "[{b}\\mailbox\\alice]\r\n"
            "\"MbxNum\"=dword:00000001\r\n"
            "\r\n")


class RegTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)

    def fresh(self):
        inst = Installation()
        self.addCleanup(inst.cleanup)
        return inst

    def test_add_query_delete(self):
        reg = self.inst.reg
        reg("add", ".", "/v", "MailDrop", "/d", "/srv/mail")
        reg("add", "AdvCon", "/v", "popport", "/t", "REG_DWORD", "/d", "0x6E", "/f")
        reg("add", "AdvCon", "/v", "smtpinport", "/t", "reg_dword", "/d", "25")
        reg("add", "mailbox\\alice", "/v", "Key", "/t", "REG_BINARY", "/d", "0a,0B,ff")
        self.assertEqual(reg("query", "", "/v", "maildrop").stdout,
                         f"\n{BRANCH}\n    MailDrop    REG_SZ    /srv/mail\n\n")
        self.assertEqual(reg("query", "HKLM\\Software\\Quillmoor\\Postvane\\advcon").stdout,
                         f"\n{BRANCH}\\advcon\n    popport    REG_DWORD    0x6e\n"
                         "    smtpinport    REG_DWORD    0x19\n\n")
        # Subkeys follow the values as full paths; /s goes down the whole tree.
        self.assertEqual(reg("query").stdout.splitlines()[-2:], [f"{BRANCH}\\AdvCon", f"{BRANCH}\\mailbox"])
        self.assertIn(f"{BRANCH}\\mailbox\\alice\n    Key    REG_BINARY    0A0BFF\n", reg("query", ".", "/s").stdout)
        self.assertEqual(reg("query", ".", "/s", "/v", "KEY").stdout,
                         f"\n{BRANCH}\\mailbox\\alice\n    Key    REG_BINARY    0A0BFF\n\n")

        # Another spelling rewrites the one value; it keeps its first name.
        reg("add", "", "/v", "MAILDROP", "/d", "/srv/other")
        self.assertIn("    MailDrop    REG_SZ    /srv/other\n", reg("query").stdout)

        for bad in (["/t", "REG_DWORD", "/d", "4294967296"], ["/t", "REG_DWORD", "/d", "-1"],
                    ["/t", "REG_BINARY", "/d", "abc"], ["/t", "REG_QWORD", "/d", "1"]):
            proc = reg("add", "AdvCon", "/v", "popport", *bad, check=False)
            self.assertEqual(proc.returncode, 2, bad)
            self.assertIn("nothing was written", proc.stderr)
        self.assertIn("popport    REG_DWORD    0x6e", reg("query", "AdvCon", "/v", "popport").stdout)

        reg("delete", "AdvCon", "/v", "POPPORT")
        proc = reg("query", "AdvCon", "/v", "popport", check=False)
        self.assertEqual((proc.returncode, proc.stdout), (1, ""))
        self.assertIn("postvane-reg: the value popport in " + BRANCH + "\\AdvCon was not found", proc.stderr)
        reg("delete", "mailbox")
        self.assertEqual(reg("query", "mailbox\\alice", check=False).returncode, 1)
        self.assertEqual(reg("delete", "mailbox", check=False).returncode, 1)

        # Outside the branch, and the whole branch without /f, are refused.
        self.assertEqual(reg("add", "HKCU\\Software\\x", "/v", "a", check=False).returncode, 2)
        self.assertEqual(reg("delete", ".", check=False).returncode, 2)
        self.assertIn("MailDrop", reg("query").stdout)
        reg("delete", ".", "/f")
        self.assertEqual(reg("query", check=False).returncode, 1)

    def check_import_export(self, header, encode, unicode_switch):
        inst = self.inst
        text = EXPORTED.format(header=header, b=BRANCH)
        source = os.path.join(inst.dir, "in.reg")
        with open(source, "wb") as f:
            f.write(encode(text))
        inst.reg("import", source)
        target = os.path.join(inst.dir, "out.reg")
        inst.reg("export", target, *unicode_switch)
        with open(target, "rb") as f:
            self.assertEqual(f.read().decode("utf-16" if unicode_switch else "utf-8"), text)
        self.assertEqual(os.stat(target).st_mode & 0o777, 0o600)
        values = hive_values(inst.hive)
        self.assertIn(("Software\\Quillmoor\\Postvane\\AdvCon", "Key", 3, BLOB), values)
        self.assertIn(("Software\\Quillmoor\\Postvane\\AdvCon", "Kind", 7, b"a\0\0\0"), values)
        self.assertIn(("Software\\Quillmoor\\Postvane", "", 1, "Gr\u00fc\u00dfe \u20ac\0".encode()), values)

    def test_import_then_export_regedit4(self):
        self.check_import_export("REGEDIT4", lambda t: t.encode("utf-8"), [])

    def test_import_then_export_unicode(self):
        self.check_import_export("Windows Registry Editor Version 5.00",
                                 lambda t: b"\xff\xfe" + t.encode("utf-16-le"), ["/unicode"])

    def test_export_reimports_byte_identical_values(self):
        inst = self.inst
        inst.set_dword("AdvCon", "popport", 0xDEADBEEF)
        inst.set_string("", "Gateway", "relay \"one\" \\ two")
        inst.reg("add", "mailbox\\bob", "/v", "Key", "/t", "REG_BINARY",
                 "/d", "00ff0d0a5c22" + "7f" * 13 + "80")
        original = hive_values(inst.hive)
        self.assertEqual(len([v for v in original if v[1] == "Key"][0][3]), 20)
        for form in ([], ["/unicode"]):
            path = os.path.join(inst.dir, "all.reg")
            inst.reg("export", path, *form)
            other = self.fresh()
            other.reg("import", path)
            self.assertEqual(hive_values(other.hive), original, form)

    def test_import_reports_errors_and_skips_foreign_keys(self):
        inst = self.inst
        inst.set_string("", "Gateway", "kept")
        path = os.path.join(inst.dir, "bad.reg")
        with open(path, "w", newline="") as f:
            f.write("REGEDIT4\n\n[" + BRANCH + "]\n\"Gateway\"=\"changed\"\n\"d\"=dword:xyz\n"
                    "\"p\"=\"C:\\temp\"\n")
        proc = inst.reg("import", path, check=False)
        self.assertEqual(proc.returncode, 2)
        self.assertIn("bad.reg, line 5: dword data", proc.stderr)
        self.assertIn("bad.reg, line 6: the string cannot be read", proc.stderr)
        self.assertIn("nothing was imported", proc.stderr)
        self.assertIn("REG_SZ    kept", inst.reg("query", ".", "/v", "gateway").stdout)

        with open(path, "w", newline="") as f:
            f.write("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Quillmoor\\Postvane]\r\n\"Gateway\"=\"x\"\r\n"
                    "\r\n[" + BRANCH + "]\r\n\"Gateway\"=\"changed\"\r\n")
        proc = inst.reg("import", path)
        self.assertIn("bad.reg, line 3: [HKEY_CURRENT_USER\\Software\\Quillmoor\\Postvane] lies outside",
                      proc.stderr)
        self.assertIn("REG_SZ    changed", inst.reg("query", ".", "/v", "gateway").stdout)

        proc = inst.reg("import", os.path.join(inst.dir, "missing.reg"), check=False)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("cannot read", proc.stderr)


if __name__ == "__main__":
    unittest.main()
