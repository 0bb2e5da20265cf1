"""The Debian packages: built by CPack from this build, checked by lintian, and installed as an
administrator would in a throw-away root: the host's file system under a private overlay, in
its own mount and network namespaces, entered with chroot. There the README's commands run
exactly as written, as root, with the real dpkg, apt, adduser and maintainer scripts; nothing
of it reaches the host."""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT_OF_SOURCE = os.path.dirname(os.path.dirname(HERE))
README = os.path.join(ROOT_OF_SOURCE, "README.md")


def run(*args, check=True, **kw):
    proc = subprocess.run(list(args), capture_output=True, text=True, timeout=600, **kw)
    if check and proc.returncode != 0:
        raise AssertionError(f"{args} failed ({proc.returncode}): {proc.stdout}{proc.stderr}")
    return proc


def readme_install_commands():
    """The command lines of the README's block that installs the package, as written."""
    with open(README) as f:
        text = f.read()
    section = text[text.index("## Installing the package"):]
    block = re.search(r"```sh\n(.*?)```", section, re.S).group(1)
    return [line.split("  #")[0].strip() for line in block.splitlines() if line.strip()]


@unittest.skipUnless(os.geteuid() == 0, "installing packages into a throw-away root needs root")
@unittest.skipUnless(shutil.which("cpack") and shutil.which("dpkg-deb") and shutil.which("unshare"),
                     "cpack, dpkg-deb and unshare are needed")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        from pvharness import BIN
        # A packager's Release build when one is named, else this build.
        build = os.environ.get("POSTVANE_PACKAGE_BUILD") or os.path.dirname(os.path.abspath(BIN))
        cls.dir = tempfile.mkdtemp(prefix="pvpkg-")
        os.chmod(cls.dir, 0o755)
        run("cpack", "-G", "DEB", "-B", os.path.join(cls.dir, "out"), "--config",
            os.path.join(build, "CPackConfig.cmake"))
        cls.server = glob.glob(os.path.join(cls.dir, "out", "postvane_*.deb"))[0]
        cls.desktop = glob.glob(os.path.join(cls.dir, "out", "postvane-desktop_*.deb"))[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def listing(self, deb):
        files = {}
        for line in run("dpkg-deb", "-c", deb).stdout.splitlines():
            fields = line.split()
            files[fields[5].lstrip(".")] = fields[0]
        return files

    def test_two_packages_the_server_without_qt_and_lintian_finds_no_error(self):
        server, desktop = self.listing(self.server), self.listing(self.desktop)
        for name in ("postvane", "postvane-admin", "postvane-ctl", "postvane-reg", "postvane-send",
                     "postvane-wizard"):
            self.assertEqual(server.get("/usr/bin/" + name), "-rwxr-xr-x", name)
            self.assertIn(f"/usr/share/man/man1/{name}.1.gz", server)
        for doc in ("copyright", "changelog.gz", "README.md", "docs/guide.md", "docs/configuration.md",
                    "docs/operations.md", "docs/security.md", "docs/status-window.png"):
            self.assertIn("/usr/share/doc/postvane/" + doc, server)
        self.assertEqual(server.get("/usr/lib/systemd/system/postvane.service"), "-rw-r--r--")
        self.assertIn("/etc/logrotate.d/postvane", server)
        for gui in ("/usr/lib/postvane/postvane-window", "/usr/lib/postvane/postvane.cpl", "/usr/bin/postvane-control"):
            self.assertNotIn(gui, server)
            self.assertIn(gui, desktop)
        self.assertIn("/usr/share/doc/postvane-desktop/copyright", desktop)
        # A headless server pulls in no part of the GUI stack.
        depends = run("dpkg-deb", "-f", self.server, "Depends").stdout
        self.assertIn("libsqlite3-0", depends)
        self.assertNotRegex(depends.lower(), r"qt|libx11|libgl")
        self.assertRegex(run("dpkg-deb", "-f", self.desktop, "Depends").stdout, r"libqt6widgets6.*|postvane \(= ")
        # Shipped stripped.
        extract = os.path.join(self.dir, "x")
        run("dpkg-deb", "-x", self.server, extract)
        self.assertNotIn("not stripped", run("file", os.path.join(extract, "usr/bin/postvane")).stdout)
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed (scripts/setup.sh installs it)")
        for deb in (self.server, self.desktop):
            out = run("lintian", "--no-tag-display-limit", deb, check=False).stdout
            errors = [l for l in out.splitlines() if l.startswith("E:")]
            self.assertEqual(errors, [], out)

    def test_readme_commands_as_root_in_a_throw_away_root(self):
        self.host_had_store = os.path.exists("/var/lib/postvane")
        result = os.path.join(self.dir, "result.json")
        proc = run("unshare", "--mount", "--net", "--propagation", "private", sys.executable, __file__, "--inside",
                   self.dir, self.server, result, check=False, cwd=self.dir)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        with open(result) as f:
            got = json.load(f)
        # Set up with the README's commands: the relay named, the LAN check that sends at once.
        self.assertEqual(got["gateway"], "smtp.provider.example")
        self.assertEqual(got["check_waiting"], "0x1")
        self.assertRegex(got["mailbox_add"], r"(?m)^Password: [a-zA-Z2-9]{12}$")
        self.assertIn("Machine Name: ", got["showui"])
        self.assertIn("Waiting Messages: 0", got["showui"])
        # The server started by root took the store owner's identity: every file it made is the
        # service's, and alice reads her mail with the printed password.
        self.maxDiff = None
        self.assertEqual(got["root_owned"], [], got["owners"])
        self.assertEqual(got["popped"], 1)
        # After purge and a new installation, new mailboxes start empty.
        self.assertEqual(got["new_mailbox_files"], {})
        self.assertTrue(got["old_mail_kept"])
        # The host saw none of it.
        self.assertEqual(os.path.exists("/var/lib/postvane"), self.host_had_store)


def inside(work, deb, result):
    """Runs in the private namespaces: builds the overlay root and plays the administrator."""
    import pwd
    import smtplib
    import poplib
    import signal
    import time

    # Read before the root is built: the source tree need not be visible inside it (a checkout
    # below /tmp is hidden by the root's own /tmp).
    commands = readme_install_commands()
    top = os.path.join(work, "ov")
    os.makedirs(top)
    run("mount", "-t", "tmpfs", "none", top)
    for d in ("upper", "work", "root"):
        os.makedirs(os.path.join(top, d))
    root = os.path.join(top, "root")
    run("mount", "-t", "overlay", "overlay", "-o",
        f"lowerdir=/,upperdir={top}/upper,workdir={top}/work", root)
    for d in ("proc", "dev", "sys"):
        run("mount", "--rbind", "/" + d, os.path.join(root, d))
    # No service manager to talk to (not the host's), and services stay down while installing.
    run("mount", "-t", "tmpfs", "none", os.path.join(root, "run"))
    run("mount", "-t", "tmpfs", "none", os.path.join(root, "tmp"))
    run("ip", "link", "set", "lo", "up")

    def write(path, text, mode=0o644):
        full = os.path.join(root, path.lstrip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
        os.chmod(full, mode)

    # A clean machine: an installation on the host (if any) is gone from this root; removing it
    # here only hides it in the overlay.
    for leftover in ("var/lib/postvane", "var/spool/postvane"):
        shutil.rmtree(os.path.join(root, leftover), ignore_errors=True)
    write("/usr/sbin/policy-rc.d", "#!/bin/sh\nexit 101\n", 0o755)
    # The README's "sudo": this is root already.
    write("/usr/local/sbin/sudo", '#!/bin/sh\nexec "$@"\n', 0o755)
    with open(os.path.join(root, "etc/hosts"), "a") as f:
        f.write("\n192.0.2.25 smtp.provider.example\n")
    # Opened before the chroot, so the result reaches the test's folder on the host.
    out = open(result, "w")
    os.makedirs(os.path.join(root, "srv/postvane/build-rel"))
    shutil.copy(deb, os.path.join(root, "srv/postvane/build-rel", os.path.basename(deb)))
    os.chroot(root)
    os.chdir("/srv/postvane")
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root",
           "LANG": "C.UTF-8", "DEBIAN_FRONTEND": "noninteractive"}
    got = {}

    outputs = []
    for line in commands:
        if line.startswith("scripts/package.sh"):
            continue  # the package was built already
        if "systemctl" in line:
            continue  # no service manager here: the server is started below as root would
        proc = run("sh", "-c", line, env=env, check=False)
        assert proc.returncode == 0, f"{line}: {proc.stdout}{proc.stderr}"
        outputs.append((line, proc.stdout))
    got["mailbox_add"] = next(out for line, out in outputs if "mailbox add" in line)
    got["showui"] = next(out for line, out in outputs if "showui" in line)
    reg = lambda *a: run("postvane-reg", *a, env=env).stdout
    got["gateway"] = reg("query", "", "/v", "Gateway").split()[-1]
    got["check_waiting"] = reg("query", "Schedule", "/v", "CheckWaiting").split()[-1]
    password = re.search(r"(?m)^Password: (\S+)$", got["mailbox_add"]).group(1)

    # Root starts the server on the service's store.
    server = subprocess.Popen(["postvane", "--headless"], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        for _ in range(300):
            try:
                with smtplib.SMTP("127.0.0.1", 25, timeout=5) as c:
                    c.sendmail("someone@example.org", ["alice"], b"Subject: installed\r\n\r\nhello\r\n")
                break
            except OSError:
                time.sleep(0.1)
        popped = 0
        for _ in range(100):
            pop = poplib.POP3("127.0.0.1", 110, timeout=5)
            pop.user("alice")
            pop.pass_(password)
            popped = pop.stat()[0]
            if popped:
                pop.retr(1)
            pop.quit()
            if popped:
                break
            time.sleep(0.1)
        got["popped"] = popped
    finally:
        server.send_signal(signal.SIGTERM)
        server.communicate(timeout=30)
    service = pwd.getpwnam("postvane").pw_uid
    got["owners"] = (service, os.stat("/var/lib/postvane/registry.db").st_uid, os.getuid())
    got["root_owned"] = [os.path.join(d, n) for top_dir in ("/var/lib/postvane", "/var/spool/postvane")
                         for d, dirs, files in os.walk(top_dir) for n in files + dirs
                         if os.lstat(os.path.join(d, n)).st_uid != service]

    # Purge (the spool stays, rightly) and install again: the new postmaster and a new mailbox
    # must not be handed the old folders' mail.
    run("apt-get", "purge", "-y", "postvane", env=env)
    old = glob.glob("/var/spool/postvane/mailbox/M*/*.txt")
    got["old_mail_kept"] = bool(old)
    run("dpkg", "-i", "build-rel/" + os.path.basename(deb), env=env)
    run("postvane-admin", "mailbox", "add", "bob", env=env)
    server = subprocess.Popen(["postvane", "--headless"], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    time.sleep(2)  # it makes the system mailboxes and the postmaster's at start
    server.send_signal(signal.SIGTERM)
    server.communicate(timeout=30)
    new = {}
    for name in ("bob", "postmaster"):
        folder = re.search(r"(?m)^Folder:\s+(\S+)$", run("postvane-admin", "mailbox", "show", name, env=env).stdout).group(1)
        if os.listdir(folder):
            new[name] = os.listdir(folder)
    got["new_mailbox_files"] = new
    json.dump(got, out)
    out.close()


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--inside":
        inside(*sys.argv[2:])
        sys.exit(0)
    unittest.main()
