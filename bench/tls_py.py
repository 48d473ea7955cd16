#!/usr/bin/env python3
"""The TLS clients of bench/compare, against either server. Certificates are not checked (the
one certificate of a run is self-signed), and no TLS session is ever resumed: every connection
makes a full handshake.

  tls_py.py handshakes PORT SECONDS SESSIONS
      SESSIONS processes, each connecting over and over to an implicit-TLS port (SMTPS or
      POP3S) for SECONDS: TCP connect, full handshake, the greeting line read inside TLS (so
      that the server has finished its side), QUIT and its answer read, close. Prints
      "handshakes seconds refused": refused connections (answered in clear for want of a free
      slot, so no handshake) are not counted as handshakes.
  tls_py.py smtp PORT COUNT SESSIONS SIZE FROM TO
      COUNT messages of SIZE bytes by SESSIONS processes with smtplib, a new connection per
      message: EHLO, STARTTLS, EHLO, MAIL, RCPT, DATA, QUIT. Prints "messages seconds".
  tls_py.py pop3 PORT USER PASSWORD
      POP3S: the raw client of pop3_py.py inside TLS: USER, PASS, then LIST and RETR of every
      message, QUIT; prints "messages bytes seconds" (the time from LIST to the last RETR).
"""

import multiprocessing
import smtplib
import socket
import ssl
import sys
import time

from pop3_py import END, RawClient

HOST = "127.0.0.1"


def client_context():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def handshake_loop(port, deadline, results):
    try:
        results.put(handshake_count(port, deadline))
    except BaseException:
        results.put((-1, 0))  # the parent stops waiting; the error shows on standard error
        raise


def read_line(tls):
    line = b""
    while not line.endswith(b"\n"):
        chunk = tls.recv(512)
        if not chunk:
            raise ConnectionError(f"connection closed after {line!r}")
        line += chunk
    return line


def handshake_count(port, deadline):
    """Returns (handshakes, refused): a connection refused for want of a free slot is
    answered in clear, which fails the handshake; it is counted apart and not retried."""
    ctx = client_context()
    count = refused = 0
    while time.perf_counter() < deadline:
        with socket.create_connection((HOST, port), timeout=30) as raw:
            try:
                tls = ctx.wrap_socket(raw)
            except ssl.SSLError:
                refused += 1
                continue
            with tls:
                greeting = read_line(tls)
                if greeting[:1] not in (b"2", b"+"):
                    raise RuntimeError(f"greeting {greeting!r}")
                # The answer to QUIT, not the close after it: a server that writes its
                # close_notify apart from the answer would have it held back by Nagle's
                # algorithm until this side's delayed acknowledgement, some 40 ms.
                tls.sendall(b"QUIT\r\n")
                read_line(tls)
        count += 1
    return count, refused


def handshakes(port, seconds, sessions):
    results = multiprocessing.Queue()
    start = time.perf_counter()
    deadline = start + seconds
    workers = [multiprocessing.Process(target=handshake_loop, args=(port, deadline, results))
               for _ in range(sessions)]
    for w in workers:
        w.start()
    counts = [results.get() for _ in workers]
    for w in workers:
        w.join()
    if min(c for c, _ in counts) < 0:
        raise RuntimeError("a handshake client failed")
    total = sum(c for c, _ in counts)
    refused = sum(r for _, r in counts)
    print(f"{total} {time.perf_counter() - start:.6f} {refused}")


def message_text(size, sender, to):
    text = f"From: <{sender}>\r\nTo: <{to}>\r\nSubject: TLS benchmark message\r\n\r\n"
    line = "x" * 76 + "\r\n"
    while len(text) + len(line) <= size:
        text += line
    while len(text) + 2 < size:
        text += "y"
    return text + "\r\n"


def smtp_loop(port, count, text, sender, to):
    ctx = client_context()
    for _ in range(count):
        with smtplib.SMTP(HOST, port, local_hostname="client.test", timeout=60) as s:
            s.ehlo()
            s.starttls(context=ctx)
            s.ehlo()
            s.sendmail(sender, [to], text)


def smtp(port, count, sessions, size, sender, to):
    text = message_text(size, sender, to)
    shares = [count // sessions + (1 if k < count % sessions else 0) for k in range(sessions)]
    start = time.perf_counter()
    workers = [multiprocessing.Process(target=smtp_loop, args=(port, n, text, sender, to))
               for n in shares]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
        if w.exitcode != 0:
            raise RuntimeError("an SMTP client failed")
    print(f"{count} {time.perf_counter() - start:.6f}")


def pop3(port, user, password):
    c = RawClient(port)
    c.sock = client_context().wrap_socket(c.sock)
    c.greeting()
    c.line(f"USER {user}\r\n".encode())
    c.line(f"PASS {password}\r\n".encode())
    start = time.perf_counter()
    listing = c.command(b"LIST\r\n", END)
    count = listing.count(b"\n") - 2  # the +OK line and the end line
    total = 0
    for n in range(1, count + 1):
        reply = c.command(f"RETR {n}\r\n".encode(), END)
        if not reply.startswith(b"+OK"):
            raise RuntimeError(f"RETR {n}: {reply[:80]!r}")
        total += len(reply) - reply.index(b"\r\n") - 2 - 3
    seconds = time.perf_counter() - start
    c.line(b"QUIT\r\n")
    print(f"{count} {total} {seconds:.6f}")


def main(argv):
    if len(argv) == 5 and argv[1] == "handshakes":
        return handshakes(int(argv[2]), float(argv[3]), int(argv[4]))
    if len(argv) == 8 and argv[1] == "smtp":
        return smtp(int(argv[2]), int(argv[3]), int(argv[4]), int(argv[5]), argv[6], argv[7])
    if len(argv) == 5 and argv[1] == "pop3":
        return pop3(int(argv[2]), argv[3], argv[4])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
