"""The real `postvane` with its window on a private Xvfb display: mail goes through it, the
window is there to be photographed, and SIGTERM still stops it in order."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import window_screenshot  # noqa: E402


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("import"), "needs Xvfb and ImageMagick")
class StatusWindowTest(unittest.TestCase):
    def test_window_runs_the_server_and_can_be_photographed(self):
        out_dir = tempfile.mkdtemp(prefix="pvshot-")
        self.addCleanup(shutil.rmtree, out_dir, True)
        picture = os.path.join(out_dir, "window.png")
        code, text = window_screenshot.run(picture, messages=2)
        self.assertEqual(code, 0, text)
        # With a window nothing goes to the console: the log is in the window's list.
        self.assertNotIn("Starting Postvane", text)
        info = subprocess.run(["identify", "-format", "%w %h %k", picture], capture_output=True, text=True,
                              check=True).stdout.split()
        width, height, colours = map(int, info)
        self.assertGreater(width, 300)
        self.assertGreater(height, 200)
        self.assertGreater(colours, 16, "the picture is blank")


    def test_control_tool_connects_a_windowed_server(self):
        # postvane-ctl connect is the Connect button also while the window is up: the session
        # starts, and the log says it was the operator's request.
        inst = window_screenshot.pvharness.Installation()
        self.addCleanup(inst.cleanup)
        display = window_screenshot.VirtualDisplay()
        self.addCleanup(display.stop)
        inst.configure()
        inst.set_dword("", "UseLan", 1)
        inst.set_dword("", "LogAll", 1)
        for name in ("CheckWaiting", "CheckAge", "CheckIdle"):  # nothing else connects
            inst.set_dword("Schedule", name, 0)
        env = dict(inst.env, DISPLAY=display.name)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("QT_QPA_PLATFORM", None)
        env.setdefault("LSAN_OPTIONS", "suppressions=" + os.path.join(window_screenshot.ROOT, "tests", "lsan.supp"))
        server = subprocess.Popen([window_screenshot.pvharness.program("postvane")], env=env, cwd=inst.dir,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def stop():
            server.terminate()
            server.wait(30)
        self.addCleanup(stop)
        window_screenshot.pvharness.wait_listening(inst.ports["smtpinport"], timeout=30)
        window_screenshot.pvharness.wait_until(lambda: window_screenshot.window_exists(display.name), 30,
                                               "the status window")
        log = os.path.join(inst.spool, "postvane.log")

        def read():
            with open(log, errors="replace") as f:
                return f.read()
        time.sleep(1)
        self.assertNotIn("Online", read())
        self.assertEqual(inst.ctl("connect").returncode, 0)
        window_screenshot.pvharness.wait_until(lambda: "Online: the provider is reached over the LAN" in read(), 20,
                                               "the session")
        text = read()
        self.assertLess(text.index("Connecting due to operator request"), text.index("Online: "))
        self.assertEqual(inst.ctl("test", "PVG:ONLINE", check=False).returncode, 0)


if __name__ == "__main__":
    unittest.main()
