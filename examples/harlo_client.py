#!/usr/bin/env python3
"""A Bluetooth client of HarloCompanionHelper for Linux, standard library only.

Usage:
    harlo_client.py ADDRESS [CHANNEL]

ADDRESS is the Bluetooth address of the computer that runs the helper, for
instance 00:1A:7D:DA:71:13, and CHANNEL the RFCOMM channel of its "Harlo
Unicode Companion" service (1 when not given). Python's standard library has
no SDP client to find the channel from the service's UUID; doc/CLIENTS.md
says how to look it up.

It connects, sends the hello, prints each line the helper sends (its
hello_ack, then the parent's payloads) and sends each line typed on standard
input. At the end of its input (Ctrl-D) it closes the connection at once;
it also ends when the helper closes the connection. The two computers must
be paired, and this one trusted by the helper's.
"""

import socket
import sys
import threading

HELLO = '{"type":"hello"}'
# The helper's answer to the hello, byte for byte without its line feed.
HELLO_ACK = '{"type":"hello_ack","version":1,"platform":"Darwin"}'


def connect(address, channel, timeout=10.0):
    """A connected RFCOMM socket; OSError if the connection fails."""
    sock = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
    try:
        sock.settimeout(timeout)
        sock.connect((address, channel))
        sock.settimeout(None)
    except OSError:
        sock.close()
        raise
    return sock


def send_line(sock, text):
    """Sends `text` in UTF-8 and a line feed; the text holds no line feed."""
    sock.sendall(text.encode("utf-8") + b"\n")


def receive_lines(sock):
    """Yields each line received, without its line feed, until the end.

    Lines end at a line feed only (a carriage return stays in the line) and
    are decoded as UTF-8, ill-formed bytes becoming U+FFFD. Bytes after the
    last line feed when the connection ends are not a line: they are dropped.
    """
    pending = bytearray()
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return
        pending += chunk
        start = 0
        while (end := pending.find(b"\n", start)) >= 0:
            yield pending[start:end].decode("utf-8", errors="replace")
            start = end + 1
        del pending[:start]


def run(sock, typed_lines, show):
    """The session on a connected socket.

    Sends the hello, then each string of `typed_lines` as one line, from a
    thread of its own; calls `show` with each line received, in order, the
    hello_ack included. When `typed_lines` ends the connection is shut down.
    Returns once the connection has ended either way.
    """
    send_line(sock, HELLO)

    def send_typed():
        try:
            for line in typed_lines:
                send_line(sock, line)
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # the connection is gone; the receiving side ends too

    threading.Thread(target=send_typed, daemon=True).start()
    for line in receive_lines(sock):
        show(line)


def main():
    if len(sys.argv) not in (2, 3) or (len(sys.argv) == 3 and not sys.argv[2].isdigit()):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    if not hasattr(socket, "AF_BLUETOOTH"):
        # A Python built without the BlueZ headers (one from pyenv, say)
        # has no Bluetooth sockets; Debian's own python3 has them.
        print("this Python (%s) has no Bluetooth sockets (socket.AF_BLUETOOTH); "
              "run the client with Debian's /usr/bin/python3, which has them:\n"
              "    /usr/bin/python3 %s %s" % (sys.executable, sys.argv[0], " ".join(sys.argv[1:])),
              file=sys.stderr)
        return 1
    address = sys.argv[1]
    channel = int(sys.argv[2]) if len(sys.argv) == 3 else 1
    sys.stdin.reconfigure(encoding="utf-8", errors="replace")
    sys.stdout.reconfigure(encoding="utf-8", errors="replace")
    try:
        sock = connect(address, channel)
    except OSError as error:
        print("cannot connect to %s channel %d: %s" % (address, channel, error), file=sys.stderr)
        return 1
    typed = (line.rstrip("\n") for line in sys.stdin)
    with sock:
        try:
            run(sock, typed, lambda line: print(line, flush=True))
        except OSError as error:
            print("connection lost: %s" % error, file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
