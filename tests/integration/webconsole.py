"""The web console for the tests and the screenshot script: an installation with the console on,
and headless chromium driven through tests/web/console_driver.js (puppeteer-core)."""

import json
import os
import subprocess

from pvharness import free_port

WEB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web")
PASSWORD = "console-test-password"


def enable_console(inst):
    """Turns the console on for a configured installation; returns its base URL."""
    inst.web_port = free_port()
    inst.run("postvane-admin", "web", "port", str(inst.web_port))
    inst.run("postvane-admin", "web", "password", "-", input=PASSWORD + "\n")
    return f"https://127.0.0.1:{inst.web_port}"


class Browser:
    """One headless chromium with one page, commanded line by line."""

    def __init__(self, width=1000, height=800):
        if not os.path.isdir(os.path.join(WEB_DIR, "node_modules", "puppeteer-core")):
            raise AssertionError("puppeteer-core is not installed: run scripts/setup.sh (npm ci in tests/web)")
        env = dict(os.environ, VIEW_WIDTH=str(width), VIEW_HEIGHT=str(height))
        self.proc = subprocess.Popen(["node", os.path.join(WEB_DIR, "console_driver.js")], cwd=WEB_DIR, env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def do(self, *words, expect_ok=True):
        """Runs one command; returns its value (or the whole answer when expect_ok is False)."""
        self.proc.stdin.write(" ".join(str(w) for w in words) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise AssertionError(f"the browser driver ended during {words[0]}")
        answer = json.loads(line)
        if not expect_ok:
            return answer
        if not answer["ok"]:
            raise AssertionError(f"{words[0]} failed: {answer['error']} (page says: {answer.get('message')!r})")
        return answer["value"]

    def form(self, action, **fields):
        return self.do("form", action, json.dumps(fields))

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=20)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
