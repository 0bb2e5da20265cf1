"""A real SMTP relay for the transmit tests: aiosmtpd on loopback, told how to misbehave and
recording exactly what it received.

The relay runs in its own process under Debian's Python (/usr/bin/python3, which has the
python3-aiosmtpd package), whatever interpreter runs the tests; POSTVANE_RELAY_PYTHON
overrides the choice. Every event is appended to a JSON-lines file and flushed before the
relay answers, so once the transmitter has heard a reply the event is on disk.

Behaviour (a dict, every key optional):
  greeting          list of greeting lines, e.g. ["220-first", "220 second"] or ["554 go away"];
                    "never" keeps silent. Between lines the relay waits (up to 3 s) for the
                    client to speak and records whether it did.
  refuse_mail       {sender or "*": reply} for MAIL FROM
  refuse_rcpt       {recipient: reply} for RCPT TO
  refuse_data       {sender or "*": reply} for the DATA command itself
  refuse_end        {sender or "*": reply} for the end of the message data
  refuse_rset       reply to RSET
  drop_after        drop the connection after this many bytes of message data...
  drop_times        ...this many times (default 1), later sessions behave
  watch_dir         a folder whose file names are recorded when QUIT arrives
  mail_delay        seconds to wait before answering each MAIL FROM (a slow relay)
  drop_random       {"rate": r, "max": n, "seed": s}: each connection, with probability r (at
                    most n times in all), drops at a random moment: right after MAIL, RCPT or
                    DATA arrives (before its reply), in the middle of the message data, or after
                    the whole message data but before its "250". Every drop is recorded as a
                    "dropped" event with the point ("where") and the data received ("data").
                    "points": [...] takes the points in this order instead of at random.
  tls               {"cert": PEM file, "key": PEM file}: STARTTLS offered and required before
                    anything but EHLO
  implicit_tls      with tls: TLS from the first byte instead (no STARTTLS)
  auth              {user: password}: AUTH required before MAIL; only over TLS when tls is given
  auth_exclude      mechanisms not offered, e.g. ["PLAIN"]
  host, port        where it listens (default 127.0.0.1 and a free port), e.g. "::1"
"""

import json
import os
import random
import subprocess
import sys
import time

RELAY_PYTHON = os.environ.get("POSTVANE_RELAY_PYTHON") or "/usr/bin/python3"


class Relay:
    """Test side: starts the relay process and reads what it recorded."""

    def __init__(self, folder, **behaviour):
        self.record = os.path.join(folder, f"relay-{time.monotonic_ns()}.jsonl")
        open(self.record, "w").close()
        # Its complaints go to a file: a pipe nobody reads could fill and stop the relay.
        self.errors = self.record[:-6] + ".err"
        try:
            with open(self.errors, "w") as err:
                self.proc = subprocess.Popen([RELAY_PYTHON, os.path.abspath(__file__), json.dumps(behaviour),
                                              self.record], stdout=subprocess.PIPE, stderr=err, text=True)
        except FileNotFoundError:
            raise AssertionError(f"{RELAY_PYTHON} is missing: the relay needs Debian's python3 with "
                                 "python3-aiosmtpd (scripts/setup.sh installs it), or set POSTVANE_RELAY_PYTHON")
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "READY":
            self.proc.kill()
            self.proc.wait()
            with open(self.errors) as f:
                err = f.read()
            raise AssertionError(f"the relay did not start under {RELAY_PYTHON}: {err.strip()}\n"
                                 "Install python3-aiosmtpd (scripts/setup.sh) or set POSTVANE_RELAY_PYTHON.")
        self.port = int(line[1])

    def events(self, kind=None):
        with open(self.record) as f:
            evs = [json.loads(line) for line in f if line.strip()]
        return [e for e in evs if kind is None or e["ev"] == kind]

    def commands(self):
        """The commands received, in order, as (verb, argument)."""
        return [(e["ev"], e.get("arg")) for e in self.events() if e["ev"] in
                ("HELO", "EHLO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA", "RSET", "QUIT")]

    def messages(self):
        """Messages the relay accepted: (sender, recipients, content bytes)."""
        return [(e["from"], e["to"], e["content"].encode("latin-1"))
                for e in self.events("MESSAGE") if e["reply"].startswith("250")]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


# --- relay side (runs under the relay's interpreter) -------------------------------------

def _serve(behaviour, record_path):
    import asyncio
    import signal
    import ssl
    from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

    record_file = open(record_path, "a")
    dropped = [0]
    chaos = behaviour.get("drop_random") or {}
    chaos_rng = random.Random(chaos.get("seed"))
    chaos_drops = [0]
    kDropPoints = ("MAIL", "RCPT", "DATA", "data-middle", "data-end")

    last_dropped = [False]

    def pick_drop_point():
        """Where this connection will drop, or None. The connection after a drop never drops:
        the message cut off is then sent in full, where three cuts in a row would rightly make
        the transmitter set it aside."""
        if not chaos or chaos_drops[0] >= chaos.get("max", 1 << 30) or last_dropped[0]:
            last_dropped[0] = False
            return None
        if chaos_rng.random() >= chaos.get("rate", 0):
            return None
        if chaos.get("points"):  # a point not reached is kept for the next connection
            return chaos["points"][chaos_drops[0] % len(chaos["points"])]
        return chaos_rng.choice(kDropPoints)

    def record(ev, **fields):
        fields.setdefault("t", time.time())
        record_file.write(json.dumps(dict(ev=ev, **fields)) + "\n")
        record_file.flush()

    def lookup(table, key):
        table = behaviour.get(table) or {}
        return table.get(key) or table.get("*")

    tls = behaviour.get("tls")
    implicit = bool(tls and behaviour.get("implicit_tls"))
    context = None
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(tls["cert"], tls["key"])
    users = behaviour.get("auth")

    def secured(server):
        return server._tls_protocol is not None or implicit  # noqa: SLF001

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and users is not None and
              users.get(auth_data.login.decode("latin-1")) == auth_data.password.decode("latin-1"))
        user = auth_data.login.decode("latin-1") if isinstance(auth_data, LoginPassword) else None
        record("AUTH", arg=mechanism, user=user, ok=ok, tls=secured(server))
        return AuthResult(success=ok, handled=False)

    class Handler:
        async def handle_EHLO(self, server, session, envelope, hostname, responses):
            record("EHLO", arg=hostname, tls=secured(server))
            session.host_name = hostname
            return responses

        def handle_STARTTLS(self, server, session, envelope):
            record("STARTTLS")
            return True

        async def handle_HELO(self, server, session, envelope, hostname):
            record("HELO", arg=hostname)
            session.host_name = hostname
            return "250 relay.test"

        async def handle_MAIL(self, server, session, envelope, address, options):
            if behaviour.get("mail_delay"):
                await asyncio.sleep(behaviour["mail_delay"])
            reply = lookup("refuse_mail", address) or "250 OK"
            record("MAIL", arg=address, reply=reply, tls=secured(server), authenticated=bool(session.authenticated))
            if reply.startswith("250"):
                envelope.mail_from = address
            return reply

        async def handle_RCPT(self, server, session, envelope, address, options):
            reply = lookup("refuse_rcpt", address) or "250 OK"
            record("RCPT", arg=address, reply=reply)
            if reply.startswith("250"):
                envelope.rcpt_tos.append(address)
            return reply

        async def handle_DATA(self, server, session, envelope):
            reply = lookup("refuse_end", envelope.mail_from) or "250 OK"
            record("MESSAGE", reply=reply, to=envelope.rcpt_tos, content=envelope.original_content.decode("latin-1"),
                   **{"from": envelope.mail_from})
            return reply

        async def handle_RSET(self, server, session, envelope):
            reply = behaviour.get("refuse_rset") or "250 OK"
            record("RSET", reply=reply)
            return reply

        async def handle_QUIT(self, server, session, envelope):
            fields = {}
            if behaviour.get("watch_dir"):
                fields["files"] = sorted(os.listdir(behaviour["watch_dir"]))
            record("QUIT", **fields)
            return "221 Bye"

    class RecordingSMTP(SMTP):
        # The transmitter sends every line whole, however long; take it as it comes.
        line_length_limit = 1 << 20

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self._greeted = False
            self._drop_at = pick_drop_point()

        def _drop(self, where, data=b""):
            chaos_drops[0] += 1
            last_dropped[0] = True
            self._drop_at = None
            record("dropped", where=where, data=data.decode("latin-1"))
            self.transport.abort()

        async def smtp_MAIL(self, arg):
            if self._drop_at == "MAIL":
                return self._drop("MAIL")
            return await super().smtp_MAIL(arg)

        async def smtp_RCPT(self, arg):
            if self._drop_at == "RCPT":
                return self._drop("RCPT")
            return await super().smtp_RCPT(arg)

        async def _chaos_data(self):
            """Takes the message data up to a random point (or its end) and drops."""
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            middle = self._drop_at == "data-middle"
            limit = chaos_rng.randint(1, 200) if middle else None  # every text here is longer
            data = b""
            while not data.endswith(b"\r\n.\r\n") and (limit is None or len(data) < limit):
                try:
                    chunk = await asyncio.wait_for(self._reader.read(4096 if limit is None else limit - len(data)), 30)
                except asyncio.TimeoutError:
                    break
                if not chunk:
                    break
                data += chunk
            where = "data-end" if data.endswith(b"\r\n.\r\n") else "data-middle"
            self._drop(where, data)

        async def push(self, status):
            if self._greeted:
                return await super().push(status)
            self._greeted = True
            greeting = behaviour.get("greeting")
            if greeting == "never":
                record("silent")
                await asyncio.sleep(3600)
                return
            if not greeting:
                return await super().push("220 relay.test ESMTP ready")
            for line in greeting[:-1]:
                self._writer.write(line.encode() + b"\r\n")
                await self._writer.drain()
                # Did the client answer this line before the rest of the greeting came?
                deadline = time.monotonic() + 3
                while not self._reader._buffer and time.monotonic() < deadline:  # noqa: SLF001
                    await asyncio.sleep(0.01)
                record("greeting-line", line=line, client_spoke=bool(self._reader._buffer))  # noqa: SLF001
            return await super().push(greeting[-1])

        async def smtp_DATA(self, arg):
            if self.envelope.rcpt_tos and self._drop_at == "DATA":
                return self._drop("DATA")
            if self.envelope.rcpt_tos and self._drop_at in ("data-middle", "data-end"):
                record("DATA", reply="354")
                return await self._chaos_data()
            if self.envelope.rcpt_tos:
                reply = lookup("refuse_data", self.envelope.mail_from)
                if reply:
                    record("DATA", reply=reply)
                    return await self.push(reply)
                limit = behaviour.get("drop_after")
                if limit is not None and dropped[0] < behaviour.get("drop_times", 1):
                    dropped[0] += 1
                    record("DATA", reply="354")
                    await self.push("354 End data with <CR><LF>.<CR><LF>")
                    await self._reader.readexactly(limit)
                    record("dropped", after=limit)
                    self.transport.abort()
                    return
                record("DATA", reply="354")
            return await super().smtp_DATA(arg)

    def connection_factory():
        options = {}
        if context and not implicit:
            options.update(tls_context=context, require_starttls=True)
        if users is not None:
            # Over TLS from the first byte the session is secured, though aiosmtpd cannot tell.
            options.update(authenticator=authenticator, auth_required=True, auth_require_tls=not implicit)
        if behaviour.get("auth_exclude"):
            options["auth_exclude_mechanism"] = behaviour["auth_exclude"]
        return RecordingSMTP(Handler(), hostname="relay.test", loop=loop, timeout=120, **options)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(loop.create_server(connection_factory, behaviour.get("host", "127.0.0.1"),
                                                        behaviour.get("port", 0),
                                                        ssl=context if implicit else None))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    print("READY", server.sockets[0].getsockname()[1], flush=True)
    loop.run_forever()
    server.close()


if __name__ == "__main__":
    _serve(json.loads(sys.argv[1]), sys.argv[2])
