"""A real SMTP server for the tests of outgoing mail.

smtp_sink.py <folder> <port>: serves SMTP on 127.0.0.1:<port> with aiosmtpd and stores
every accepted message as <folder>/<n>.msg: the line "MAIL FROM:<sender>", one "RCPT TO:<rcpt>"
line per recipient, an empty line, then the content as received. Prints "ready" once listening
and runs until it is terminated.
"""
import os
import signal
import sys
import threading

from aiosmtpd.controller import Controller


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
        with open(name + ".tmp", "wb") as f:
            f.write(head.encode() + b"\n" + envelope.original_content)
        os.rename(name + ".tmp", name + ".msg")
        return "250 2.0.0 stored"


def main():
    folder, port = sys.argv[1], int(sys.argv[2])
    controller = Controller(Store(folder), hostname="127.0.0.1", port=port,
                            data_size_limit=64 * 1024 * 1024)
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
