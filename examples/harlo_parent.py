#!/usr/bin/env python3
"""A small parent for HarloCompanionHelper, and a worked example of its line protocol.

Usage:
    harlo_parent.py [HELPER]

HELPER is the path of the HarloCompanionHelper program; without it the
HARLO_HELPER environment variable is used, and without that the program
named HarloCompanionHelper on PATH.

What it does:
  * starts the helper in bridge mode ("--stdio");
  * prints every message the helper writes, as it comes, in readable form:
        event listening: RFCOMM service published on channel 1
        error: no active RFCOMM client channel is connected (answers #2)
        client: <one line the Bluetooth client sent>
    a report that answers one of its messages followed by that message's
    number (see "id" below), and every line the helper writes to its
    standard error, prefixed with "helper stderr: ", on this program's
    standard error;
  * follows whether a client is connected, and prints it when that changes:
        (a client is connected)
        (no client is connected)
  * sends one "ping" at the start (the helper answers with the event "pong");
  * sends each line typed on standard input to the Bluetooth client;
  * at the end of its standard input (Ctrl-D), or on Ctrl-C, asks the helper
    to shut down, waits for it, prints "helper exited with status N" and
    exits with the helper's status.

It answers nothing itself: the helper already answers the client's hello.
Only the Python standard library is used.

The line protocol in brief. Every line in either direction on the helper's
standard input and output is one JSON object followed by a line feed:

    {"kind": ..., "event": ..., "detail": ..., "payload": ..., "command": ..., "id": ..., "version": 1}

"kind" and "version" are always present; the other members only where the
kind uses them. The parent sends:

    {"kind":"command","command":"ping","detail":"any text","id":1,"version":1}
    {"kind":"protocol","payload":"a line for the client","id":2,"version":1}
    {"kind":"command","command":"shutdown","id":3,"version":1}

and the helper writes events ("kind":"event", with "event" and "detail"),
errors ("kind":"error", with "detail") and the client's lines
("kind":"protocol", with "payload"). See the HarloCompanionHelper(1) manual
page for every event and error.

"id" is optional: a JSON integer or string that the helper copies onto the
reports that answer that message (the write report or error of a payload,
"pong", "stopping", an error about the message), and onto nothing else.
This parent numbers its messages, so that it knows which report answers
which: the write report of the hello_ack, say, answers none of them.

Following the client: every client gets exactly one "client-connected" and,
later, exactly one "client-disconnected". When a newer client replaces an
older one, the newer one's "client-connected" comes first and the older
one's "client-disconnected" after it, both naming the same channel. So a
client is connected while the "client-connected" events outnumber the
"client-disconnected" ones; a parent that took every "client-disconnected"
to mean "no client" would be wrong after every replacement.
"""

import json
import os
import subprocess
import sys
import threading

# The version number that every message carries.
PROTOCOL_VERSION = 1

# Standard output and standard error are written from several threads; a lock
# keeps each printed line whole.
print_lock = threading.Lock()


def say(text, stream=None):
    """Prints one line at once, even when standard output is a pipe."""
    with print_lock:
        print(text, file=stream or sys.stdout, flush=True)


def readable(text):
    """Shows control characters (a carriage return, say) as escapes."""
    return "".join(
        ch if ch >= " " and ch != "\x7f" else "\\x%02x" % ord(ch) for ch in text
    )


def describe(message):
    """One helper message in readable form."""
    kind = message.get("kind")
    if kind == "event":
        # An event has a name and, from this helper, always a detail.
        detail = message.get("detail")
        name = message.get("event", "?")
        text = "event " + name if detail is None else "event %s: %s" % (name, readable(detail))
    elif kind == "error":
        text = "error: " + readable(message.get("detail", ""))
    elif kind == "protocol":
        # One line from the Bluetooth client, without its line feed.
        return "client: " + readable(message.get("payload", ""))
    else:
        return "unexpected message: " + json.dumps(message, ensure_ascii=False)
    if "id" in message:
        text += " (answers #%s)" % message["id"]
    return text


class ClientState:
    """Whether a client is connected, from the events that say so."""

    def __init__(self):
        self.connected = 0  # client-connected events not yet matched by a client-disconnected

    def follow(self, message):
        """The new state's description when `message` changes it, else None."""
        before = self.connected > 0
        event = message.get("event") if message.get("kind") == "event" else None
        if event == "client-connected":
            self.connected += 1
        elif event == "client-disconnected":
            self.connected -= 1
        after = self.connected > 0
        if after == before:
            return None
        return "(a client is connected)" if after else "(no client is connected)"


def encode(message):
    """One message as the helper reads it: compact JSON, UTF-8, a line feed.

    json.dumps escapes quotation marks, backslashes and control characters in
    the texts, so a payload can hold anything; separators without spaces keep
    the line compact, and ensure_ascii=False sends non-ASCII text as UTF-8.
    """
    text = json.dumps(message, separators=(",", ":"), ensure_ascii=False)
    return text.encode("utf-8") + b"\n"


class Helper:
    """The helper process and the parent's side of its pipes."""

    def __init__(self, program):
        # start_new_session keeps a Ctrl-C typed at the terminal away from the
        # helper: this program then ends it properly, with "shutdown".
        self.process = subprocess.Popen(
            [program, "--stdio"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            start_new_session=True,
        )
        self.send_lock = threading.Lock()
        self.next_id = 1  # guarded by send_lock

    def send(self, message):
        """Writes one message with the next number as its id; False once the
        helper no longer reads."""
        with self.send_lock:
            message = dict(message, id=self.next_id)
            self.next_id += 1
            try:
                self.process.stdin.write(encode(message))
                self.process.stdin.flush()
                return True
            except (BrokenPipeError, ValueError):
                # The helper has exited (or its input is already closed).
                return False

    def ping(self, detail):
        return self.send({"kind": "command", "command": "ping", "detail": detail,
                          "version": PROTOCOL_VERSION})

    def send_to_client(self, line):
        # The helper appends the line feed when it writes to the client.
        return self.send({"kind": "protocol", "payload": line, "version": PROTOCOL_VERSION})

    def shutdown(self):
        # "shutdown" closes the client's channel and withdraws the service;
        # closing the helper's standard input afterwards would do the same.
        self.send({"kind": "command", "command": "shutdown", "version": PROTOCOL_VERSION})
        with self.send_lock:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass


def print_messages(stream):
    """Prints each line of the helper's standard output as it arrives."""
    clients = ClientState()
    for raw in stream:
        line = raw.decode("utf-8", errors="replace").rstrip("\n")
        try:
            message = json.loads(line)
        except ValueError:
            say("unreadable line from the helper: " + readable(line))
            continue
        if not isinstance(message, dict):
            say("unexpected line: " + line)
            continue
        say(describe(message))
        change = clients.follow(message)
        if change:
            say(change)


def print_diagnostics(stream):
    """Prints the helper's standard error; it writes there only when it fails."""
    for raw in stream:
        say("helper stderr: " + raw.decode("utf-8", errors="replace").rstrip("\n"), sys.stderr)


def forward_input(helper):
    """Sends each typed line to the client; at the end of input, shuts down."""
    for line in sys.stdin:
        if not helper.send_to_client(line.rstrip("\n")):
            return  # the helper is gone; main() reports how it ended
    helper.shutdown()


def exit_status(returncode):
    """The helper's status as a shell reports it (128 + N for signal N)."""
    return returncode if returncode >= 0 else 128 - returncode


def main():
    if len(sys.argv) > 1:
        program = sys.argv[1]
    else:
        program = os.environ.get("HARLO_HELPER", "HarloCompanionHelper")
    # Typed lines are read as UTF-8 whatever the locale; bytes that are not
    # UTF-8 become U+FFFD rather than ending the program.
    sys.stdin.reconfigure(encoding="utf-8", errors="replace")
    sys.stdout.reconfigure(encoding="utf-8", errors="replace")

    try:
        helper = Helper(program)
    except OSError as error:
        say("cannot start %s: %s" % (program, error.strerror), sys.stderr)
        return 127

    readers = [
        threading.Thread(target=print_messages, args=(helper.process.stdout,), daemon=True),
        threading.Thread(target=print_diagnostics, args=(helper.process.stderr,), daemon=True),
    ]
    for reader in readers:
        reader.start()

    # The helper reads its input once it has written "ready"; what is sent
    # before waits in the pipe.
    helper.ping("harlo_parent.py is here")

    # Typed lines are read on a thread of their own, so that a helper that
    # ends by itself (it could not start, say) ends this program too.
    threading.Thread(target=forward_input, args=(helper,), daemon=True).start()

    try:
        returncode = helper.process.wait()
    except KeyboardInterrupt:
        helper.shutdown()
        returncode = helper.process.wait()
    # Every line the helper wrote is printed before its status.
    for reader in readers:
        reader.join()
    say("helper exited with status %d" % exit_status(returncode))
    return exit_status(returncode)


if __name__ == "__main__":
    sys.exit(main())
