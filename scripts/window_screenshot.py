#!/usr/bin/env python3
"""Runs the real `postvane` with its status window on a private virtual display (Xvfb), sends a
message through it, and saves a picture of the window.

    scripts/window_screenshot.py [OUTPUT.png]      (default: postvane-window.png)

The programs come from $POSTVANE_BIN or build-test/bin. Everything (display, configuration,
spool, ports) is private to the run and removed afterwards; the server listens on loopback only.
Needs Xvfb and ImageMagick's `import` (scripts/setup.sh installs both)."""

import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import pvharness  # noqa: E402

WINDOW_TITLE = "Postvane V1.0"


class VirtualDisplay:
    """Xvfb on a display number it picks itself (-displayfd), so parallel runs never meet."""

    def __init__(self, size="900x640x24"):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp"],
                                     pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as r:
            number = r.readline().strip()
        if not number:
            self.proc.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def window_exists(display):
    return subprocess.run(["import", "-display", display, "-window", WINDOW_TITLE, "-format", "%w", "info:"],
                          capture_output=True).returncode == 0


def screenshot(display, output):
    subprocess.run(["import", "-display", display, "-window", WINDOW_TITLE, output], check=True,
                   capture_output=True, timeout=60)


def run(output, messages=2):
    """Returns (server exit code, text the server wrote)."""
    inst = pvharness.Installation()
    display = VirtualDisplay()
    server = None
    try:
        inst.configure()
        # The wizard gave the postmaster a random password; the run collects with one of its own.
        inst.run("postvane-admin", "mailbox", "password", "postmaster", "-", input="window-shot-pw\n")
        env = dict(inst.env, DISPLAY=display.name)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("QT_QPA_PLATFORM", None)  # the real X11 window, not the test platform
        # A sanitizer build reports what the desktop libraries keep until the end; those are not ours.
        env.setdefault("LSAN_OPTIONS", "suppressions=" + os.path.join(ROOT, "tests", "lsan.supp"))
        server = subprocess.Popen([pvharness.program("postvane")], env=env, cwd=inst.dir,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True)
        pvharness.wait_listening(inst.ports["smtpinport"], timeout=30)
        pvharness.wait_until(lambda: window_exists(display.name), 30, "the status window")
        for i in range(messages):
            inst.send_mail("alice@example.test", ["postmaster@example.test"],
                           f"Subject: window test {i + 1}\r\n\r\nHello from the screenshot run.\r\n")
        inst.collect("postmaster", "window-shot-pw", messages, timeout=30)
        time.sleep(1.0)  # a few refreshes, so the log list shows the deliveries
        screenshot(display.name, output)
        server.send_signal(signal.SIGTERM)
        out, _ = server.communicate(timeout=30)
        return server.returncode, out
    finally:
        if server and server.poll() is None:
            server.kill()
            server.wait()
        display.stop()
        inst.cleanup()


if __name__ == "__main__":
    target = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "postvane-window.png")
    code, text = run(target)
    sys.stdout.write(text)
    print(f"postvane ended with {code}; window picture: {target}")
    sys.exit(0 if code == 0 else 1)
