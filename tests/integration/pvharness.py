"""Shared pieces for the integration tests: a throw-away installation (hive and spool in a
temporary folder) and the real programs from the build's bin/ folder."""

import email
import email.policy
import email.utils
import glob
import os
import poplib
import queue
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BIN = os.environ.get("POSTVANE_BIN") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build-test", "bin")


def program(name):
    return os.path.join(BIN, name)


def free_port():
    """A loopback port that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=15, what="condition"):
    """Polls predicate until it returns something true, and returns that; fails after timeout."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


# The header lines every message the system writes itself carries besides its own.
GENERATED_HEADERS = ("date:", "message-id:", "in-reply-to:", "references:", "mime-version:", "content-type:",
                     "content-transfer-encoding:")


def proper_mail(raw):
    """Parses a message the system wrote (bytes, or a list of str lines) with the strict RFC 5322
    policy; fails on any defect, on a missing or doubled Date, Message-ID or From, and on a
    control character or an 8-bit byte in the header. Returns the message."""
    if not isinstance(raw, bytes):
        raw = ("\r\n".join(raw) + "\r\n").encode()
    head = raw.split(b"\r\n\r\n", 1)[0]
    bad = [c for c in head if (c < 0x20 and c not in (0x0D, 0x0A)) or c == 0x7F]
    if bad:
        raise AssertionError(f"control characters in the header: {head!r}")
    if any(c >= 0x80 for c in head):  # non-ASCII text goes as encoded words: no relay needs SMTPUTF8
        raise AssertionError(f"8-bit header: {head!r}")
    message = email.message_from_bytes(raw, policy=email.policy.strict)
    for name in ("Date", "Message-ID", "From"):
        if len(message.get_all(name) or []) != 1:
            raise AssertionError(f"{name} is not there exactly once: {head!r}")
    for name in message.keys():
        for value in message.get_all(name):
            if getattr(value, "defects", ()):
                raise AssertionError(f"{name}: {value.defects} in {head!r}")
    email.utils.parsedate_to_datetime(str(message["Date"]))
    return message


def without_generated(lines):
    """A message's lines (str or bytes) without the generated header lines (Date, Message-ID, MIME ...)."""
    empty = lines[0][:0] if lines else ""
    end = lines.index(empty) if empty in lines else len(lines)
    names = GENERATED_HEADERS if isinstance(empty, str) else tuple(n.encode() for n in GENERATED_HEADERS)
    return [l for l in lines[:end] if not l.lower().startswith(names)] + lines[end:]


def listening(port, host="127.0.0.1"):
    try:
        socket.create_connection((host, port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_listening(port, timeout=10):
    wait_until(lambda: listening(port), timeout, f"a listener on port {port}")


class Installation:
    """A hive and a spool root in a temporary folder, removed again by cleanup()."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="pvit-")
        self.hive = os.path.join(self.dir, "registry.db")
        self.spool = os.path.join(self.dir, "spool")
        self.env = dict(os.environ, POSTVANE_HIVE=self.hive)
        self.servers = []

    def cleanup(self):
        for s in self.servers:
            s.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def run(self, name, *args, check=True, input=None, timeout=60):
        """Runs one of the programs; returns the CompletedProcess (text mode)."""
        proc = subprocess.run([program(name), *args], env=self.env, input=input,
                              capture_output=True, text=True, timeout=timeout)
        if check and proc.returncode != 0:
            raise AssertionError(f"{name} {args} failed ({proc.returncode}): {proc.stderr}")
        return proc

    def reg(self, *args, check=True):
        return self.run("postvane-reg", *args, check=check)

    def set_string(self, key, name, value):
        self.reg("add", key, "/v", name, "/t", "REG_SZ", "/d", value)

    def set_dword(self, key, name, value):
        self.reg("add", key, "/v", name, "/t", "REG_DWORD", "/d", str(value))

    def read_dword(self, key, name):
        """A REG_DWORD value as an int (None when missing)."""
        out = self.reg("query", key, "/v", name, check=False).stdout
        for line in out.splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[0].lower() == name.lower() and parts[1] == "REG_DWORD":
                return int(parts[2], 16)
        return None

    def queue_file_name(self, number):
        """The queue file name the counter value `number` stands for (f0000001 ...)."""
        return "f%07X" % (number & 0x0FFFFFFF)

    def finger(self, query, *options, timeout=20):
        """Runs the Debian `finger` client for query@127.0.0.1 and returns its standard output.
        The client knows no port option: it takes the "finger" entry of /etc/services, so it runs
        in a mount namespace of its own where that file names this installation's port."""
        services = os.path.join(self.dir, "services")
        with open(services, "w") as f:
            f.write(f"finger\t\t{self.ports['fingerport']}/tcp\n")
        namespace = ["unshare", "--mount"] + ([] if os.geteuid() == 0 else ["--map-root-user"])
        script = 'services=$1; shift; mount --bind "$services" /etc/services && exec finger "$@"'
        proc = subprocess.run([*namespace, "sh", "-c", script, "sh", services, *options, f"{query}@127.0.0.1"],
                              capture_output=True, text=True, timeout=timeout)
        if proc.returncode != 0:
            raise AssertionError(f"finger {options} {query!r} failed ({proc.returncode}): {proc.stderr}")
        return proc.stdout

    def ctl(self, *args, check=True):
        return self.run("postvane-ctl", *args, check=check)

    def simulate(self, entry, **behaviour):
        """A phone-book entry of the dial-up simulator (ConnectAfter=2, External=1, ...); the
        server reads the script afresh at every step, so this also changes a running one."""
        for name, value in behaviour.items():
            self.set_dword(f"Simulator\\{entry}", name, value)

    def configure(self, **ports):
        """The wizard's defaults, then ports of our own so tests never meet each other."""
        self.run("postvane-wizard", "--defaults", "--maildrop", self.spool, "--domain", "example.test")
        self.ports = {"smtpinport": ports.get("smtp") or free_port(),
                      "popport": ports.get("pop") or free_port(),
                      "fingerport": ports.get("finger") or free_port(),
                      "imapport": ports.get("imap") or free_port()}
        for name, port in self.ports.items():
            self.set_dword("AdvCon", name, port)
        self.set_string("AdvCon", "BindAddress", "127.0.0.1")  # tests stay on loopback

    def folder(self, mailbox):
        """The mailbox's folder below the spool root."""
        number = self.reg("query", "mailbox\\" + mailbox, "/v", "Number").stdout.split()[-1]
        return os.path.join(self.spool, "mailbox", "M%07X" % int(number, 16))

    def send_mail(self, sender, recipients, text, header_from=None):
        """Submits one message to the server's SMTP port with smtplib. text is the message
        body when header_from is given (a From: line and nothing else is put above it), else the
        whole message."""
        if header_from is not None:
            text = f"From: {header_from}\r\n\r\n{text}"
        if isinstance(text, str):
            text = text.replace("\r\n", "\n").replace("\n", "\r\n").encode()
        with smtplib.SMTP("127.0.0.1", self.ports["smtpinport"], timeout=30) as smtp:
            smtp.sendmail(sender, recipients, text)

    def pop_messages(self, user, password, delete=True):
        """Every message in the mailbox, collected by POP3 (poplib), each as a list of str lines;
        with delete the messages are removed. A mailbox held by another client counts as empty."""
        pop = poplib.POP3("127.0.0.1", self.ports["popport"], timeout=30)
        try:
            pop.user(user)
            try:
                pop.pass_(password)
            except poplib.error_proto as e:
                if "locked" in str(e):
                    return []
                raise
            result = []
            for i in range(1, len(pop.list()[1]) + 1):
                result.append([line.decode() for line in pop.retr(i)[1]])
                if delete:
                    pop.dele(i)
            return result
        finally:
            pop.quit()

    def collect(self, user, password, count, timeout=30):
        """Collects messages by POP3 until `count` have come; fails on more or on a time-out."""
        got = []
        deadline = time.monotonic() + timeout
        while len(got) < count and time.monotonic() < deadline:
            got += self.pop_messages(user, password)
            if len(got) < count:
                time.sleep(0.1)
        if len(got) != count:
            raise AssertionError(f"{len(got)} messages for {user}, expected {count}: {got!r}")
        return got

    def mailbox_messages(self, mailbox):
        """The messages delivered to a mailbox folder, as bytes, oldest first."""
        number = self.reg("query", "mailbox\\" + mailbox, "/v", "Number").stdout.split()[-1]
        folder = os.path.join(self.spool, "mailbox", "M%07X" % int(number, 16))
        found = []
        for name in sorted(os.listdir(folder)):
            if name.endswith(".txt"):
                with open(os.path.join(folder, name), "rb") as f:
                    found.append(f.read())
        return found

    def smartpop_run(self, *args, timeout=60):
        """One SmartPop run without a server (pv-smartpop-run): its output lines, the log lines
        with their time stamps taken off. Nothing delivers what it stored."""
        out = self.run("pv-smartpop-run", *args, timeout=timeout).stdout.splitlines()
        return [line[19:] if line[:2].isdigit() and line[2:3] == "/" else line for line in out]

    def start(self, *args, stdin=subprocess.DEVNULL, env=None, cwd=None, preexec_fn=None):
        """Starts the server; preexec_fn runs in the child before it starts (resource limits)."""
        server = Server(self, list(args), stdin, env=env, cwd=cwd, preexec_fn=preexec_fn)
        self.servers.append(server)
        return server


class Server:
    """The real `postvane --headless` with its standard output read line by line."""

    def __init__(self, inst, args, stdin, env=None, cwd=None, preexec_fn=None):
        self.proc = subprocess.Popen([os.path.abspath(program("postvane")), "--headless", *args],
                                     env=env or inst.env, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, preexec_fn=preexec_fn)
        self.lines = []
        self._queue = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self._queue.put(line.rstrip("\n"))
        self._queue.put(None)

    def wait_for(self, text, timeout=10):
        """Waits for an output line containing text; returns it, or fails."""
        for line in self.lines:
            if text in line:
                return line
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self._queue.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            self.lines.append(line)
            if text in line:
                return line
        raise AssertionError(f"no line with {text!r} within {timeout}s; got {self.lines!r}")

    def output(self):
        """Every line printed so far (without waiting for more)."""
        while True:
            try:
                line = self._queue.get_nowait()
            except queue.Empty:
                return self.lines
            if line is None:
                return self.lines
            self.lines.append(line)

    def status_row(self, inst, row="Connection", timeout=5):
        """The status row as the running server shows it now (asked for with PVG:SHOWUI)."""
        before = self.count(row + ": ")
        inst.ctl("showui")
        wait_until(lambda: self.count(row + ": ") > before, timeout, f"the {row} row")
        return [line for line in self.lines if line.startswith(row + ": ")][-1][len(row) + 2:]

    def count(self, text):
        """How many lines printed so far contain text."""
        return sum(text in line for line in self.output())

    def stop(self, sig=signal.SIGTERM, timeout=15):
        """Stops the server and returns its exit code; the rest of its output lands in lines."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        rc = self.proc.wait(timeout=timeout)
        self._reader.join(timeout=5)
        while True:
            try:
                line = self._queue.get_nowait()
            except queue.Empty:
                break
            if line is not None:
                self.lines.append(line)
        return rc

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def status(self, field):
        """A field of /proc/<pid>/status in KiB (VmRSS, VmHWM ...)."""
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise AssertionError(f"no {field} in /proc/{self.proc.pid}/status")


class Conversation:
    """A scripted conversation with one of the server's services over a raw socket: send bytes
    or a line, read reply lines. source binds the client's end to a chosen 127.x address;
    receive_buffer makes the client's socket buffer small, so the server's replies back up soon."""

    def __init__(self, port, source=None, timeout=10, receive_buffer=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        if source:
            self.sock.bind((source, 0))
        self.sock.connect(("127.0.0.1", port))
        self.buffer = b""

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def line(self):
        """The next reply line without its CR LF; b"" once the server has closed."""
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                rest, self.buffer = self.buffer, b""
                return rest
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def start_tls(self, context, server_hostname="localhost"):
        """Switches the conversation to TLS after the server's go-ahead (STARTTLS, STLS); any
        reply already read but not taken would have come before the handshake."""
        if self.buffer:
            raise AssertionError(f"bytes left before the handshake: {self.buffer!r}")
        self.sock = context.wrap_socket(self.sock, server_hostname=server_hostname)

    def command(self, text):
        """Sends one command line (CR LF added) and returns the reply line."""
        self.send(text.encode() + b"\r\n")
        return self.line()

    def closed(self):
        """True when the server has closed the connection (after any lines still unread)."""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return True
                self.buffer += chunk
        except (ConnectionResetError, BrokenPipeError):
            return True


class ScriptedProvider:
    """A provider's POP3 server written here, on loopback, that misbehaves on cue: the faults of
    careless providers that a real server (Dovecot) never shows. Sessions are served one at a
    time; DELE takes effect only at an answered QUIT, as the protocol says.

      messages    list of [uid, text]: text in CR LF lines, without the terminating "."; the
                  test may change the list between runs (a provider that reuses UIDs)
      stuff_dots  False: lines that start with "." go out without the doubled dot
      uidl        False: UIDL is refused
      quit_reply  False: QUIT is never answered (the provider keeps silent until the client goes,
                  and deletes nothing)
      hang_up_at  a command (e.g. "RETR") the provider answers by closing the connection
    Every command line received is kept, session by session, in `sessions`."""

    def __init__(self, user, password, messages=(), stuff_dots=True, uidl=True, quit_reply=True, hang_up_at=None):
        self.user, self.password = user, password
        self.messages = [list(m) for m in messages]
        self.stuff_dots, self.uidl, self.quit_reply = stuff_dots, uidl, quit_reply
        self.hang_up_at = hang_up_at
        self.sessions = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def stop(self):
        self.listener.close()

    def texts(self):
        """The messages still on the provider."""
        return [text for _, text in self.messages]

    def commands(self):
        return [line for session in self.sessions for line in session]

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with conn:
                try:
                    self._session(conn)
                except OSError:
                    pass

    def _wire(self, text):
        lines = text.split(b"\r\n")
        if self.stuff_dots:
            lines = [b"." + l if l.startswith(b".") else l for l in lines]
        out = b"\r\n".join(lines)
        return out if out.endswith(b"\r\n") else out + b"\r\n"

    def _session(self, conn):
        said = []
        self.sessions.append(said)
        reader = conn.makefile("rb")
        conn.sendall(b"+OK scripted provider ready\r\n")
        user_ok = authed = False
        marked = set()
        for raw in reader:
            line = raw.rstrip(b"\r\n").decode("latin-1")
            said.append(line)
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            if verb.upper() == self.hang_up_at:
                return
            number = int(arg) if arg.isdigit() else 0
            known = 1 <= number <= len(self.messages) and number - 1 not in marked
            if verb == "USER":
                user_ok = arg == self.user
                reply = b"+OK\r\n"
            elif verb == "PASS":
                authed = user_ok and arg == self.password
                reply = b"+OK logged in\r\n" if authed else b"-ERR wrong password\r\n"
            elif not authed:
                reply = b"-ERR log in first\r\n"
            elif verb == "UIDL" and not arg and self.uidl:
                reply = b"+OK\r\n" + b"".join(b"%d %s\r\n" % (i + 1, uid.encode("latin-1"))
                                              for i, (uid, _) in enumerate(self.messages) if i not in marked) + b".\r\n"
            elif verb == "RETR" and known:
                reply = b"+OK message follows\r\n" + self._wire(self.messages[number - 1][1]) + b".\r\n"
            elif verb == "DELE" and known:
                marked.add(number - 1)
                reply = b"+OK marked\r\n"
            elif verb == "QUIT":
                if not self.quit_reply:
                    while conn.recv(65536):
                        pass
                    return
                self.messages = [m for i, m in enumerate(self.messages) if i not in marked]
                conn.sendall(b"+OK bye\r\n")
                return
            else:
                reply = b"-ERR no such message or command\r\n"
            conn.sendall(reply)


DOVECOT = "/usr/sbin/dovecot"


class Dovecot:
    """A real provider POP3 server: a private Dovecot on a free loopback port, with its own base
    directory, a passwd-file of users and one maildir each, all below `folder`. No system
    service is used or touched. As root the mail belongs to nobody (Dovecot changes to that
    user for mail access); otherwise everything runs as the calling user.

    Raises unittest.SkipTest with the reason when Dovecot is not installed or will not run."""

    def __init__(self, folder, users, tls=None, address=None, introspection=None):
        """tls: (certificate file, key file) makes it a provider that requires TLS: STLS on
        `port`, TLS from the first byte on `tls_port`. Dovecot takes a client whose address is
        its own for a secured one and lets it log in without TLS, so such a provider listens on
        `address` 127.0.0.2, which clients reach from 127.0.0.1. address chooses another one
        (for instance "::1").

        introspection: a token introspection address makes it a provider that takes only OAuth2
        logins (XOAUTH2, OAUTHBEARER), checking each token there (its oauth2 passdb); its
        authentication service also listens on `auth_socket` for an SMTP server's logins."""
        import pwd
        import unittest
        if not os.path.exists(DOVECOT) or not os.path.exists("/usr/lib/dovecot/pop3"):
            raise unittest.SkipTest("Dovecot (dovecot-pop3d) is not installed: run scripts/setup.sh")
        self.dir = os.path.join(folder, "dovecot")
        self.users = dict(users)
        self.port = free_port()
        self.tls_port = free_port() if tls else None
        self.address = address or ("127.0.0.2" if tls else "127.0.0.1")
        self.proc = None
        os.makedirs(os.path.join(self.dir, "run"))
        os.makedirs(os.path.join(self.dir, "state"))
        # Dovecot reads its users' mail as them: every folder on the way must be open to them.
        for path in (folder, self.dir):
            os.chmod(path, 0o755)
        self.root = os.getuid() == 0
        me = pwd.getpwuid(os.getuid())
        self.mail_uid, self.mail_gid = (pwd.getpwnam("nobody").pw_uid, pwd.getpwnam("nobody").pw_gid) \
            if self.root else (me.pw_uid, me.pw_gid)
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            for user, password in self.users.items():
                f.write(f"{user}:{{PLAIN}}{password}::::::\n")
        for user in self.users:
            for sub in ("cur", "new", "tmp"):
                os.makedirs(self.maildir(user, sub))
        ssl = "ssl = no"
        pop3s = ""
        self.auth_socket = os.path.join(self.dir, "run", "auth-smtp")
        passdb = f"passdb {{\n  driver = passwd-file\n  args = scheme=PLAIN {self.dir}/passwd\n}}\n"
        mechanisms = "plain"
        if introspection:
            with open(os.path.join(self.dir, "oauth2.conf.ext"), "w") as f:
                f.write(f"introspection_mode = post\nintrospection_url = {introspection}\n"
                        "username_attribute = username\nactive_attribute = active\nactive_value = true\n"
                        "force_introspection = yes\n")
            passdb = f"passdb {{\n  driver = oauth2\n  args = {self.dir}/oauth2.conf.ext\n}}\n" \
                "service auth {\n  unix_listener auth-smtp {\n    mode = 0666\n  }\n}\n"
            mechanisms = "xoauth2 oauthbearer"
        if tls:
            ssl = f"ssl = required\nssl_cert = <{tls[0]}\nssl_key = <{tls[1]}"
            pop3s = f"  inet_listener pop3s {{\n    port = {self.tls_port}\n    ssl = yes\n  }}\n"
        unprivileged = "" if self.root else (
            f"default_internal_user = {me.pw_name}\ndefault_login_user = {me.pw_name}\n")
        conf = f"""protocols = pop3
listen = {self.address}
base_dir = {self.dir}/run
state_dir = {self.dir}/state
log_path = {self.dir}/dovecot.log
{ssl}
disable_plaintext_auth = no
auth_mechanisms = {mechanisms}
first_valid_uid = 1
{unprivileged}{passdb}userdb {{
  driver = static
  args = uid={self.mail_uid} gid={self.mail_gid} home={self.dir}/home/%u
}}
mail_location = maildir:~/Maildir
service pop3-login {{
  inet_listener pop3 {{
    port = {self.port}
  }}
{pop3s}}}
"""
        self.conf = os.path.join(self.dir, "dovecot.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self._own(os.path.join(self.dir, "home"))
        self.start()

    def maildir(self, user, sub=""):
        return os.path.join(self.dir, "home", user, "Maildir", sub)

    def _own(self, path):
        if not self.root:
            return
        for top, dirs, files in os.walk(path):
            os.chown(top, self.mail_uid, self.mail_gid)
            for name in files:
                os.chown(os.path.join(top, name), self.mail_uid, self.mail_gid)

    def start(self, timeout=10):
        """Starts (or starts again) the server in the foreground, in a process group of its own
        so that kill() takes its POP3 processes with it."""
        self.proc = subprocess.Popen([DOVECOT, "-F", "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True, start_new_session=True)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                import unittest
                raise unittest.SkipTest(f"Dovecot will not run here: {self.proc.stderr.read().strip()} "
                                        f"{self.log()[-500:]}")
            if listening(self.port, self.address):
                return
            time.sleep(0.05)
        self.kill()
        raise AssertionError(f"Dovecot did not listen on {self.port}: {self.log()[-500:]}")

    def kill(self):
        """The provider dies at once, in the middle of whatever it is doing."""
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
            self.proc.stderr.close()
        self.proc = None

    def stop(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self.kill()

    def log(self):
        try:
            with open(os.path.join(self.dir, "dovecot.log")) as f:
                return f.read()
        except OSError:
            return ""

    def deliver(self, user, messages):
        """Puts messages (bytes, CR LF or LF) into the user's maildir, in order: the names sort
        as Dovecot numbers them."""
        for message in messages:
            self._serial = getattr(self, "_serial", 0) + 1
            name = f"{1700000000 + self._serial}.M{self._serial}P1.provider"
            path = self.maildir(user, "new")
            with open(os.path.join(path, "." + name), "wb") as f:
                f.write(message.replace(b"\r\n", b"\n"))
            os.rename(os.path.join(path, "." + name), os.path.join(path, name))
        self._own(self.maildir(user))

    def waiting(self, user):
        """The messages still in the user's maildir, as bytes with LF line ends."""
        found = []
        for sub in ("new", "cur"):
            for name in sorted(os.listdir(self.maildir(user, sub))):
                with open(os.path.join(self.maildir(user, sub), name), "rb") as f:
                    found.append(f.read())
        return found


POSTFIX = "/usr/sbin/postfix"


class Postfix:
    """A real relay: a private Postfix on a free loopback port with its own configuration, queue
    and data folders in a temporary folder of its own (the postfix user must reach them), removed
    by stop(). It delivers what it takes to its discard service and logs
    each delivery in `maillog`. `main` adds lines to main.cf. Needs root: its daemons change to
    the postfix user."""

    def __init__(self, main=""):
        self.dir = tempfile.mkdtemp(prefix="pv-postfix-")
        os.chmod(self.dir, 0o755)  # the daemons run as the postfix user
        self.etc, queue, data = (os.path.join(self.dir, d) for d in ("etc", "queue", "data"))
        for d in (self.etc, queue, data):
            os.mkdir(d)
        shutil.chown(data, "postfix")
        self.maillog = os.path.join(self.dir, "maillog")
        self.port = free_port()
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(f"""compatibility_level = 3.6
queue_directory = {queue}
data_directory = {data}
mail_owner = postfix
myhostname = relay.example.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
default_transport = discard
relay_transport = discard
maillog_file_prefixes = {self.dir}
maillog_file = {self.maillog}
""" + main)
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write(f"127.0.0.1:{self.port} inet n - n - - smtpd\n" + "".join(
                f"{name} unix {private} - n {wake} {limit} {command}\n" for name, private, wake, limit, command in [
                    ("pickup", "n", "60", "1", "pickup"), ("cleanup", "n", "-", "0", "cleanup"),
                    ("qmgr", "n", "300", "1", "qmgr"), ("rewrite", "-", "-", "-", "trivial-rewrite"),
                    ("bounce", "-", "-", "0", "bounce"), ("defer", "-", "-", "0", "bounce"),
                    ("trace", "-", "-", "0", "bounce"), ("verify", "-", "-", "1", "verify"),
                    ("flush", "n", "1000?", "0", "flush"), ("proxymap", "-", "-", "-", "proxymap"),
                    ("discard", "-", "-", "-", "discard"), ("error", "-", "-", "-", "error"),
                    ("retry", "-", "-", "-", "error"), ("anvil", "-", "-", "1", "anvil"),
                    ("scache", "-", "-", "1", "scache"), ("showq", "n", "-", "-", "showq"),
                    ("tlsmgr", "-", "1000?", "1", "tlsmgr")]) +
                "postlog unix-dgram n - n - 1 postlogd\n")
        self.start()

    def start(self):
        """Postfix's start runs its configuration checks first, which take long on a busy
        machine, and its master ends at once when another test took the free port in the
        meantime. So it is waited for until it listens or ends (not for a fixed short time), and
        a master that ended is started again on another port."""
        master_cf = os.path.join(self.etc, "master.cf")
        for attempt in range(3):
            if attempt:
                old, self.port = self.port, free_port()
                with open(master_cf) as f:
                    text = f.read().replace(f"127.0.0.1:{old} ", f"127.0.0.1:{self.port} ", 1)
                with open(master_cf, "w") as f:
                    f.write(text)
            self.proc = subprocess.Popen([POSTFIX, "-c", self.etc, "start-fg"], cwd=self.dir,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline and self.proc.poll() is None:
                if listening(self.port):
                    return
                time.sleep(0.1)
            if self.proc.poll() is None:
                break
        raise AssertionError("the private Postfix did not start: " +
                             (self.proc.stderr.read() if self.proc.poll() is not None else "no answer in 120 s"))

    def stop(self):
        subprocess.run([POSTFIX, "-c", self.etc, "stop"], capture_output=True, timeout=30)
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log(self):
        if not os.path.exists(self.maillog):
            return ""
        with open(self.maillog, errors="replace") as f:
            return f.read()

    def delivered(self):
        """Recipients Postfix delivered, one entry per delivery."""
        return re.findall(r"postfix/discard\[\d+\]: \w+: to=<([^>]+)>.*status=sent", self.log())


class KeptInboxTest(unittest.TestCase):
    """One server for a test class whose spooler keeps each envelope it has processed as <q>.tmp
    beside the untouched message file, so that what the SMTP receiver wrote can still be read."""

    mailboxes = ("alice", "bob")
    aliases = {}

    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        inst = cls.inst
        inst.configure()
        inst.set_dword("", "KeepFiles", 1)
        for name in cls.mailboxes:
            inst.run("postvane-admin", "mailbox", "add", name)
        for name, members in cls.aliases.items():
            inst.run("postvane-admin", "alias", "set", name, *members)
        cls.port = inst.ports["smtpinport"]
        cls.server = inst.start()
        cls.server.wait_for("Starting Postvane")
        wait_listening(cls.port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.inst.cleanup()

    def inbox(self):
        return os.path.join(self.inst.spool, "inbox")

    def pairs(self):
        """Queue names committed so far: envelope waiting (.wrk) or kept by the spooler (.tmp)."""
        names = set()
        for suffix in ("*.wrk", "*.tmp"):
            names.update(os.path.basename(p)[:-4] for p in glob.glob(os.path.join(self.inbox(), suffix))
                         if os.path.isfile(p))
        return names

    def read(self, name, suffix):
        # ".wrk" stands for the envelope, which the spooler may be renaming to ".tmp" just now.
        candidates = (".wrk", ".tmp") if suffix == ".wrk" else (suffix,)
        for _ in range(100):
            for candidate in candidates:
                try:
                    with open(os.path.join(self.inbox(), name + candidate), "rb") as f:
                        return f.read()
                except (FileNotFoundError, IsADirectoryError):
                    pass
            time.sleep(0.02)
        raise AssertionError(f"{name}{suffix} not found")
