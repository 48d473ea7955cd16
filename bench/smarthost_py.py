#!/usr/bin/env python3
"""The smart host of bench/compare's forward-tls work: aiosmtpd as an access provider's
submission service would run it, on a loopback port: STARTTLS required before MAIL, AUTH (PLAIN
or LOGIN, inside TLS only) required before MAIL, one login. Every message is read to its end,
counted and thrown away.

  smarthost_py.py PORT MARKS EXPECT --cert CERT --key KEY --user USER --password PASSWORD
  smarthost_py.py PORT MARKS EXPECT --plain

MARKS is a file to which a line "count refused seconds" is appended (seconds since the epoch, as
time.time() gives them) at the message that brings the count to EXPECT, and at every 100th
message, so that a reader can tell a stalled load from a slow one. SIGUSR1 starts a new count:
the count and the refused messages go back to 0 and a line "0 0 seconds" is appended. A message
refused is one that arrived without TLS or without a login; it gets a 530 and is not counted.
--plain: no TLS, no login (for checking a load without either).
It needs Debian's python3-aiosmtpd; run it with /usr/bin/python3.
"""

import argparse
import asyncio
import logging
import signal
import ssl
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

MARK_EVERY = 100


class Counter:
    def __init__(self, marks, expect, strict):
        self.marks = marks
        self.expect = expect
        self.strict = strict
        self.count = 0
        self.refused = 0

    def mark(self):
        with open(self.marks, "a") as out:
            out.write(f"{self.count} {self.refused} {time.time():.6f}\n")

    def reset(self):
        self.count = 0
        self.refused = 0
        self.mark()

    # aiosmtpd's DATA hook: the message has been read to its end line.
    async def handle_DATA(self, server, session, envelope):
        if self.strict and (session.ssl is None or not session.authenticated):
            self.refused += 1
            return "530 5.7.0 TLS and a login are required"
        self.count += 1
        if self.count == self.expect or self.count % MARK_EVERY == 0:
            self.mark()
        return "250 2.0.0 Ok"


def authenticator(user, password):
    want = LoginPassword(user.encode(), password.encode())

    def check(server, session, envelope, mechanism, auth_data):
        ok = mechanism in ("PLAIN", "LOGIN") and auth_data == want
        # Not handled here: aiosmtpd answers a refusal with its 535.
        return AuthResult(success=ok, handled=False)

    return check


def main():
    p = argparse.ArgumentParser()
    p.add_argument("port", type=int)
    p.add_argument("marks")
    p.add_argument("expect", type=int)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--plain", action="store_true")
    a = p.parse_args()
    # aiosmtpd warns on every login (an attribute it deprecates sets itself); nothing of its
    # logging is wanted here.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    counter = Counter(a.marks, a.expect, not a.plain)
    options = {"hostname": "smarthost.test", "ident": "bench smart host"}
    if not a.plain:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(a.cert, a.key)
        options.update(
            tls_context=context,
            require_starttls=True,
            auth_required=True,
            auth_require_tls=True,
            authenticator=authenticator(a.user, a.password),
        )
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(
            lambda: SMTP(counter, loop=loop, **options), "127.0.0.1", a.port, backlog=128
        )
    )
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    loop.add_signal_handler(signal.SIGUSR1, counter.reset)
    counter.mark()
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
