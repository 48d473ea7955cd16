#!/usr/bin/env python3
"""The Python POP3 clients of bench/compare: what a mail client written in Python does per
message, against either server.

  pop3_py.py poplib PORT USER PASSWORD
      poplib: logon, LIST, RETR of every message, QUIT; prints "messages bytes seconds" (the
      time from LIST to the last RETR, as compare_tool's).
  pop3_py.py raw PORT USER PASSWORD [--latency]
      one socket, recv_into a 64 KB buffer, one command at a time, each reply gathered until
      CR LF "." CR LF; prints "messages bytes seconds" as above. --latency adds, per RETR, the
      time from sending the command to the first byte of the reply and to its last byte, as a
      second line "first_median first_p90 last_median last_p90" in microseconds.
  pop3_py.py logon-uidl PORT USER PASSWORD
      poplib: connect, USER, PASS, STAT, UIDL, QUIT; prints "messages seconds" (the time from
      connecting to the answer to QUIT).
  pop3_py.py hold PORT PASSWORD USER...
      logs one connection on per user (each after the one before), prints "logged-on refused"
      once all are tried, keeps them until standard input ends, then QUITs each.
"""

import poplib
import socket
import sys
import time

BUFFER = 64 * 1024
END = b"\r\n.\r\n"


def poplib_retr(port, user, password):
    box = poplib.POP3("127.0.0.1", port, timeout=60)
    box.user(user)
    box.pass_(password)
    start = time.perf_counter()
    _, listing, _ = box.list()
    count = len(listing)
    total = 0
    for n in range(1, count + 1):
        _, lines, octets = box.retr(n)
        total += octets
    seconds = time.perf_counter() - start
    box.quit()
    print(f"{count} {total} {seconds:.6f}")


class RawClient:
    """One socket; every reply is read into one 64 KB buffer and gathered until its end."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.buffer = bytearray(BUFFER)
        self.view = memoryview(self.buffer)
        self.rest = b""  # bytes after the end of the last reply

    def command(self, text, end, times=None):
        """Sends a command and returns its reply up to and with `end`. With `times`, appends
        (first byte, last byte) in seconds after the send."""
        sent = time.perf_counter()
        self.sock.sendall(text)
        reply = bytearray(self.rest)
        first = None if not reply else sent
        scanned = 0
        while True:
            at = reply.find(end, scanned)
            if at >= 0:
                break
            scanned = max(0, len(reply) - len(end) + 1)
            n = self.sock.recv_into(self.buffer)
            if n == 0:
                raise ConnectionError("connection closed")
            if first is None:
                first = time.perf_counter()
            reply += self.view[:n]
        if times is not None:
            times.append((first - sent, time.perf_counter() - sent))
        self.rest = bytes(reply[at + len(end):])
        return bytes(reply[:at + len(end)])

    def line(self, text):
        reply = self.command(text, b"\r\n")
        if not reply.startswith(b"+OK"):
            raise RuntimeError(f"{text!r}: {reply!r}")
        return reply

    def greeting(self):
        return self.command(b"", b"\r\n")


def percentile(values, share):
    values = sorted(values)
    return values[min(len(values) - 1, int(share * len(values)))]


def raw_retr(port, user, password, latency):
    c = RawClient(port)
    c.greeting()
    c.line(f"USER {user}\r\n".encode())
    c.line(f"PASS {password}\r\n".encode())
    start = time.perf_counter()
    listing = c.command(b"LIST\r\n", END)
    count = listing.count(b"\n") - 2  # the +OK line and the end line
    total = 0
    times = [] if latency else None
    for n in range(1, count + 1):
        reply = c.command(f"RETR {n}\r\n".encode(), END, times)
        if not reply.startswith(b"+OK"):
            raise RuntimeError(f"RETR {n}: {reply[:80]!r}")
        total += len(reply) - reply.index(b"\r\n") - 2 - 3
    seconds = time.perf_counter() - start
    c.line(b"QUIT\r\n")
    print(f"{count} {total} {seconds:.6f}")
    if latency:
        first = [t[0] * 1e6 for t in times]
        last = [t[1] * 1e6 for t in times]
        print(f"{percentile(first, 0.5):.0f} {percentile(first, 0.9):.0f} "
              f"{percentile(last, 0.5):.0f} {percentile(last, 0.9):.0f}")


def logon_uidl(port, user, password):
    start = time.perf_counter()
    box = poplib.POP3("127.0.0.1", port, timeout=300)
    box.user(user)
    box.pass_(password)
    count, _ = box.stat()
    _, lines, _ = box.uidl()
    box.quit()
    seconds = time.perf_counter() - start
    if len(lines) != count:
        raise RuntimeError(f"UIDL listed {len(lines)} of {count} messages")
    print(f"{count} {seconds:.6f}")


def hold(port, password, users):
    boxes, refused = [], 0
    for user in users:
        try:
            box = poplib.POP3("127.0.0.1", port, timeout=300)
            box.user(user)
            box.pass_(password)
            box.stat()
            boxes.append(box)
        except (poplib.error_proto, OSError):
            refused += 1
    print(f"{len(boxes)} {refused}", flush=True)
    sys.stdin.read()
    for box in boxes:
        try:
            box.quit()
        except (poplib.error_proto, OSError):
            pass


def main(argv):
    if len(argv) >= 5 and argv[1] == "poplib":
        return poplib_retr(int(argv[2]), argv[3], argv[4])
    if len(argv) >= 5 and argv[1] == "raw":
        return raw_retr(int(argv[2]), argv[3], argv[4], "--latency" in argv[5:])
    if len(argv) == 5 and argv[1] == "logon-uidl":
        return logon_uidl(int(argv[2]), argv[3], argv[4])
    if len(argv) >= 5 and argv[1] == "hold":
        return hold(int(argv[2]), argv[3], argv[4:])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
