"""The Debian package: built by CPack from this build, installed into a throw-away root with
its maintainer scripts, and the installed server run the way its systemd unit runs it."""

import glob
import os
import shutil
import signal
import smtplib
import stat
import subprocess
import tempfile
import unittest

from pvharness import BIN, free_port, program, wait_listening, wait_until

BUILD = os.path.dirname(os.path.abspath(BIN))
PROGRAMS = ["postvane", "postvane-admin", "postvane-ctl", "postvane-reg", "postvane-send", "postvane-wizard",
            "postvane-control"]


def run(*args, env=None, check=True):
    proc = subprocess.run(list(args), capture_output=True, text=True, env=env, timeout=300)
    if check and proc.returncode != 0:
        raise AssertionError(f"{args} failed ({proc.returncode}): {proc.stdout}{proc.stderr}")
    return proc


@unittest.skipUnless(os.geteuid() == 0, "installing a package into a root needs root")
@unittest.skipUnless(shutil.which("cpack") and shutil.which("dpkg") and shutil.which("useradd"),
                     "cpack, dpkg and useradd are needed")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="pvpkg-")
        os.chmod(cls.dir, 0o755)  # the service user must reach the installed programs
        run("cpack", "-G", "DEB", "-B", os.path.join(cls.dir, "out"), "--config",
            os.path.join(BUILD, "CPackConfig.cmake"))
        (cls.deb,) = glob.glob(os.path.join(cls.dir, "out", "*.deb"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_package_lists_its_files_with_their_modes_and_dependencies(self):
        listing = {}
        for line in run("dpkg-deb", "-c", self.deb).stdout.splitlines():
            fields = line.split()
            listing[fields[5].lstrip(".")] = fields[0]
        for name in PROGRAMS:
            self.assertEqual(listing.get("/usr/bin/" + name), "-rwxr-xr-x", name)
        self.assertEqual(listing.get("/usr/lib/systemd/system/postvane.service"), "-rw-r--r--")
        self.assertEqual(listing.get("/etc/logrotate.d/postvane"), "-rw-r--r--")
        self.assertIn("/usr/lib/postvane/postvane.cpl", listing)
        self.assertIn("/usr/share/doc/postvane/README.md", listing)
        self.assertIn("/usr/share/icons/hicolor/scalable/apps/postvane.svg", listing)
        depends = run("dpkg-deb", "-f", self.deb, "Depends").stdout
        for needed in ("libsqlite3-0", "libstdc++6", "passwd"):
            self.assertIn(needed, depends)
        control = os.path.join(self.dir, "control")
        run("dpkg-deb", "-e", self.deb, control)
        with open(os.path.join(control, "conffiles")) as f:
            self.assertEqual(f.read().split(), ["/etc/logrotate.d/postvane"])
        for script in ("postinst", "prerm", "postrm"):
            self.assertTrue(os.stat(os.path.join(control, script)).st_mode & stat.S_IXUSR, script)

    def make_root(self):
        root = os.path.join(self.dir, "root")
        shutil.rmtree(root, ignore_errors=True)
        for d in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "etc"):
            os.makedirs(os.path.join(root, d))
        for name, text in (("var/lib/dpkg/status", ""), ("etc/passwd", "root:x:0:0:root:/root:/bin/sh\n"),
                           ("etc/group", "root:x:0:\n"), ("etc/shadow", "root:*:19000:0:99999:7:::\n"),
                           ("etc/gshadow", "root:*::\n")):
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        return root

    def dpkg(self, root, *args):
        # The maintainer scripts run outside the root with DPKG_ROOT set; the root has no
        # libraries of its own, so dependencies are not checked.
        return run("dpkg", f"--root={root}", "--force-script-chrootless", "--force-depends", *args)

    def test_install_start_as_the_unit_does_reinstall_and_purge(self):
        root = self.make_root()
        self.dpkg(root, "-i", self.deb)

        users = {l.split(":")[0]: l.split(":") for l in open(os.path.join(root, "etc/passwd"))}
        self.assertIn("postvane", users)
        uid, gid = int(users["postvane"][2]), int(users["postvane"][3])
        state, spool = os.path.join(root, "var/lib/postvane"), os.path.join(root, "var/spool/postvane")
        hive = os.path.join(state, "registry.db")
        for path, mode in ((state, 0o700), (spool, 0o700), (hive, 0o600)):
            st = os.stat(path)
            self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid), (mode, uid, gid), path)
        self.assertTrue(os.access(os.path.join(root, "usr/bin/postvane"), os.X_OK))

        # The unit as systemd reads it, with its program where this root has it.
        with open(os.path.join(root, "usr/lib/systemd/system/postvane.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=/usr/bin/postvane --headless", unit)
        self.assertIn("Environment=POSTVANE_HIVE=/var/lib/postvane/registry.db", unit)
        self.assertIn("AmbientCapabilities=CAP_NET_BIND_SERVICE", unit)
        verify_dir = os.path.join(self.dir, "unit")
        os.makedirs(verify_dir, exist_ok=True)
        with open(os.path.join(verify_dir, "postvane.service"), "w") as f:
            f.write(unit.replace("/usr/bin/postvane", os.path.join(root, "usr/bin/postvane")))
        if shutil.which("systemd-analyze"):
            run("systemd-analyze", "verify", os.path.join(verify_dir, "postvane.service"))

        # The wizard's defaults for a system installation, then test ports and a mailbox, set by
        # root with the tools: they work as the hive's owner, so the service can use what they make.
        env = dict(os.environ, POSTVANE_HIVE=hive)
        self.assertIn(spool, run(program("postvane-reg"), "query", "", "/v", "Maildrop", env=env).stdout)
        smtp = free_port()
        for name, port in (("smtpinport", smtp), ("popport", free_port()), ("fingerport", free_port())):
            run(program("postvane-reg"), "add", "AdvCon", "/v", name, "/t", "REG_DWORD", "/d", str(port), env=env)
        run(program("postvane-reg"), "add", "AdvCon", "/v", "BindAddress", "/d", "127.0.0.1", env=env)
        run(program("postvane-admin"), "mailbox", "add", "ops", "--password", "secret", env=env)
        # As the unit starts it: its user, its arguments, its one environment variable.
        def as_service_user():
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)
        server = subprocess.Popen([os.path.join(root, "usr/bin/postvane"), "--headless"],
                                  env={"POSTVANE_HIVE": hive, "PATH": "/usr/bin:/bin"}, cwd="/",
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True, preexec_fn=as_service_user)
        try:
            wait_listening(smtp)
            with smtplib.SMTP("127.0.0.1", smtp) as c:
                c.sendmail("someone@example.org", ["ops"], b"Subject: installed\r\n\r\nhello\r\n")
            wait_until(lambda: glob.glob(os.path.join(spool, "mailbox", "M*", "*.txt")), what="the delivered message")
        finally:
            server.send_signal(signal.SIGTERM)
            out, err = server.communicate(timeout=30)
        self.assertEqual(server.returncode, 0, err)
        # Each log line reaches standard output (the journal) once.
        self.assertEqual(out.count("Starting Postvane"), 1, out)
        self.assertEqual(out.count("Shutting Down Postvane"), 1, out)
        with open(os.path.join(spool, "postvane.log")) as f:
            self.assertIn("Mail for <ops> from <someone@example.org>", f.read())

        # A second installation keeps the hive as it is.
        self.dpkg(root, "-i", self.deb)
        self.assertIn(hex(smtp), run(program("postvane-reg"), "query", "AdvCon", "/v", "smtpinport", env=env).stdout)

        # Purging removes the configuration and keeps the mail.
        self.dpkg(root, "--purge", "postvane")
        self.assertFalse(os.path.exists(state))
        self.assertFalse(os.path.exists(os.path.join(root, "usr/bin/postvane")))
        self.assertTrue(glob.glob(os.path.join(spool, "mailbox", "M*", "*.txt")))


if __name__ == "__main__":
    unittest.main()
