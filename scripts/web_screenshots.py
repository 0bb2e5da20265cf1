#!/usr/bin/env python3
"""Runs the real `postvane` with its web console on, fills it with a little of everything (a
mailbox, an alias, a message in the queue, one set aside, a relay, a SmartPop account), and saves
a picture of every console page, at a desktop width and at a phone's.

    scripts/web_screenshots.py [FOLDER]      (default: web-screenshots)

The programs come from $POSTVANE_BIN or build-test/bin; the browser is Debian's chromium driven
by puppeteer-core (scripts/setup.sh installs both). Everything (configuration, spool, ports) is
private to the run and removed afterwards; the server listens on loopback only."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import pvharness  # noqa: E402
from webconsole import PASSWORD, Browser, enable_console  # noqa: E402

PAGES = ("status", "mailboxes", "queue", "provider")
SIZES = {"desktop": (1100, 800), "phone": (390, 844)}


def queue_message(outbox, name, suffix, sender, recipients, body):
    with open(os.path.join(outbox, name + ".txt"), "wb") as f:
        f.write(body)
    with open(os.path.join(outbox, name + suffix), "wb") as f:
        f.write("".join(line + "\r\n" for line in [sender, *recipients]).encode())


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "web-screenshots")
    os.makedirs(out, exist_ok=True)
    inst = pvharness.Installation()
    try:
        inst.configure()
        url = enable_console(inst)
        inst.run("postvane-admin", "mailbox", "add", "alice", "--password", "alice-pw-1")
        inst.run("postvane-admin", "alias", "set", "sales", "alice", "bob@partner.example")
        inst.run("postvane-admin", "smartpop", "add", "office@pop.provider.example", "--deliver-to", "alice")
        inst.run("postvane-admin", "relay", "security", "starttls")
        inst.set_string("", "Gateway", "smtp.provider.example")
        outbox = os.path.join(inst.spool, "outbox")
        os.makedirs(outbox, exist_ok=True)
        queue_message(outbox, "f0000101", ".wrk", "alice@example.test", ["customer@far.example"],
                      b"Subject: offer\r\n\r\n" + b"text\r\n" * 200)
        queue_message(outbox, "f0000102", ".old", "alice@example.test", ["nobody@gone.example"],
                      b"Subject: refused\r\n\r\nthe relay refused this one\r\n")
        server = inst.start()
        server.wait_for("Web console listening")
        inst.send_mail("friend@far.example", ["alice@example.test"], "Subject: hello\r\n\r\nhi\r\n")
        server.wait_for("Delivering to <alice>")
        for size, (width, height) in SIZES.items():
            browser = Browser(width, height)
            try:
                browser.do("open", url + "/")
                browser.do("shot", os.path.join(out, f"login-{size}.png"))
                browser.do("login", PASSWORD)
                for page in PAGES:
                    browser.do("page", page)
                    path = os.path.join(out, f"{page}-{size}.png")
                    browser.do("shot", path)
                    print(path)
            finally:
                browser.close()
        server.stop()
    finally:
        inst.cleanup()


if __name__ == "__main__":
    main()
