"""The real `postvane` with its window on a private Xvfb display: mail goes through it, the
window is there to be photographed, and SIGTERM still stops it in order."""

import os
import shutil
import subprocess
import sys
import tempfile
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


if __name__ == "__main__":
    unittest.main()
