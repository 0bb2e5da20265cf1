#!/usr/bin/env python3
"""Pictures of the property sheet "Postvane Properties": every page and every dialog, drawn on a
private virtual display (Xvfb) from a sample configuration, saved as PNG files.

    scripts/applet_screenshots.py [FOLDER]      (default: applet-screenshots)

The programs come from $POSTVANE_BIN or build-test/bin. The configuration is private to the run
and removed afterwards; the dial-up entries come from the dialer simulator, so no modem or pppd
is needed. Needs Xvfb (scripts/setup.sh installs it)."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import pvharness  # noqa: E402
from window_screenshot import VirtualDisplay  # noqa: E402


def sample(inst):
    """A configuration with something on every page."""
    inst.run("postvane-wizard", "--defaults", "--maildrop", inst.spool, "--domain", "example.test")
    inst.set_string("", "Gateway", "relay.provider.example")
    inst.set_dword("", "UseLan", 0)
    inst.set_string("AdvCon", "Dialer", "simulator")
    for entry in ("Office ISDN", "Provider", "Backup line"):
        inst.simulate(entry, ConnectAfter=2)
    inst.set_string("", "Connection", "Provider")
    inst.run("postvane-admin", "domain", "add", "branch.example.test")
    for name, value in (("CheckWaiting", 1), ("CountWaiting", 10), ("CheckAge", 1), ("CountAge", 20),
                        ("CheckIdle", 0), ("CountIdle", 60), ("UseAdvanced", 1)):
        inst.set_dword("Schedule", name, value)
    inst.set_string("Schedule", "username", "office")
    inst.set_string("Schedule", "password", "dial-secret")
    inst.set_dword("Schedule\\a", "dow", 0x1F)
    inst.set_string("Schedule\\a", "Times", "08:30,12:00,17:45,")
    inst.set_dword("Schedule\\b", "dow", 0x60)
    inst.set_string("Schedule\\b", "Times", "10:00,")
    inst.run("postvane-admin", "mailbox", "add", "carol")
    inst.run("postvane-admin", "smartpop", "add", "office@pop.provider.example", "--password", "pop-secret",
             "--deliver-to", "carol")
    inst.run("postvane-admin", "smartpop", "add", "sales.department.office@pop.provider.example", "--password",
             "pop-secret")
    inst.run("postvane-admin", "smartpop", "security", "sales.department.office@pop.provider.example", "tls")
    inst.run("postvane-admin", "smartpop", "fingerprint", "sales.department.office@pop.provider.example",
             ":".join(["AB", "CD", "EF", "01"] * 8))
    # The relay wants TLS and a login; the LAN clients get the gateway's own certificate.
    inst.run("postvane-admin", "relay", "security", "starttls")
    inst.run("postvane-admin", "relay", "user", "office@provider.example")
    inst.run("postvane-admin", "relay", "password", "relay-secret")
    inst.set_string("AdvCon", "TlsCertificate", "/etc/postvane/tls/cert.pem")
    inst.set_string("AdvCon", "TlsKey", "/etc/postvane/tls/key.pem")
    inst.set_dword("AdvCon", "MaxPerAddress", 10)
    inst.run("postvane-admin", "smartpop", "enable")
    inst.run("postvane-admin", "smartpop", "domains", "add", "provider.example")


def main():
    folder = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "applet-screenshots")
    os.makedirs(folder, exist_ok=True)
    inst = pvharness.Installation()
    display = None
    try:
        sample(inst)
        display = VirtualDisplay("1024x768x24")
        env = dict(inst.env, DISPLAY=display.name, QT_QPA_PLATFORM="xcb")
        env.pop("WAYLAND_DISPLAY", None)
        # A sanitizer build reports what the desktop libraries keep until the end; those are not ours.
        env.setdefault("LSAN_OPTIONS", "suppressions=" + os.path.join(ROOT, "tests", "lsan.supp"))
        done = subprocess.run([pvharness.program("pv-applet-driver"), "screenshots", folder], env=env,
                              capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            sys.stderr.write(done.stderr)
            return 1
    finally:
        if display:
            display.stop()
        inst.cleanup()
    for name in sorted(os.listdir(folder)):
        if name.endswith(".png"):
            print(os.path.join(folder, name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
