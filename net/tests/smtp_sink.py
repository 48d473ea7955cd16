"""A real SMTP server for the tests of outgoing mail.

smtp_sink.py <folder> <port> [--starttls CERT KEY | --smtps CERT KEY] [--login USER:PASSWORD]:
serves SMTP on 127.0.0.1:<port> with aiosmtpd and stores every accepted message as
<folder>/<n>.msg: the line "MAIL FROM:<sender>", one "RCPT TO:<rcpt>" line per recipient, the
line "TLS: yes" or "TLS: no", the line "AUTH: <login>" (empty without one), an empty line, then
the content as received. Prints "ready" once listening and runs until it is terminated.

--starttls offers STARTTLS with the certificate and requires it before anything else; --smtps
speaks TLS from the first byte; --login requires AUTH (inside TLS) with that login.
"""
import logging
import os
import signal
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

# aiosmtpd itself warns of a deprecated field on every login.
logging.getLogger("mail.log").setLevel(logging.ERROR)


class Store:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            name = os.path.join(self.folder, "%06d" % self.count)
        head = "MAIL FROM:<%s>\n" % envelope.mail_from
        head += "".join("RCPT TO:<%s>\n" % r for r in envelope.rcpt_tos)
        head += "TLS: %s\n" % ("yes" if session.ssl else "no")
        head += "AUTH: %s\n" % (session.auth_data or "")
        with open(name + ".tmp", "wb") as f:
            f.write(head.encode() + b"\n" + envelope.original_content)
        os.rename(name + ".tmp", name + ".msg")
        return "250 2.0.0 stored"


def main():
    folder, port = sys.argv[1], int(sys.argv[2])
    args = sys.argv[3:]
    kwargs = {}
    smtps = None
    while args:
        option = args.pop(0)
        if option in ("--starttls", "--smtps"):
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            context.load_cert_chain(args.pop(0), args.pop(0))
            if option == "--smtps":
                smtps = context
            else:
                kwargs.update(tls_context=context, require_starttls=True)
        elif option == "--login":
            login = args.pop(0).encode()

            def check(server, session, envelope, mechanism, data):
                given = data.login + b":" + data.password
                return AuthResult(success=given == login, handled=False,
                                  auth_data=data.login.decode() if given == login else None)

            kwargs.update(authenticator=check, auth_required=True)
    controller = Controller(Store(folder), hostname="127.0.0.1", port=port,
                            data_size_limit=64 * 1024 * 1024, ssl_context=smtps,
                            server_hostname="localhost", **kwargs)
    controller.start()
    try:
        sys.stdout.write("ready\n")
        sys.stdout.flush()
        # The starter stops reading once it has seen the line.
        sys.stdout = open(os.devnull, "w")
    except BrokenPipeError:
        pass
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    while not stop.wait(0.5):
        pass
    controller.stop()


if __name__ == "__main__":
    main()
