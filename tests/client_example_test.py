#!/usr/bin/env python3
"""examples/harlo_client.py's line handling, run on socket pairs whose other
end plays the helper, the example run by a Python without Bluetooth sockets,
and the client guide's copy of the example.

Usage: client_example_test.py CLIENT_EXAMPLE CLIENT_GUIDE
"""

import importlib.util
import queue
import socket
import subprocess
import sys
import threading
import unittest

# The longest any single wait may take, in seconds.
BOUND = 10


def load_module(path):
    spec = importlib.util.spec_from_file_location("harlo_client", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Session(unittest.TestCase):
    """run() on one end of a stream socket pair; the test is the helper."""

    def setUp(self):
        self.client_end, self.helper = socket.socketpair()
        self.helper.settimeout(BOUND)
        self.typed = queue.Queue()  # None ends the typed input
        self.shown = queue.Queue()
        self.session = threading.Thread(
            target=client.run,
            args=(self.client_end, iter(self.typed.get, None), self.shown.put),
            daemon=True,
        )
        self.session.start()

    def tearDown(self):
        self.typed.put(None)
        self.helper.close()
        self.session.join(BOUND)
        self.client_end.close()

    def read_to_end(self):
        """Everything the client sends until it shuts the connection down."""
        received = bytearray()
        while chunk := self.helper.recv(4096):
            received += chunk
        return bytes(received)

    def expect_shown(self, *lines):
        for line in lines:
            self.assertEqual(self.shown.get(timeout=BOUND), line)

    def test_hello_first_then_typed_lines_until_input_ends(self):
        self.helper.sendall((client.HELLO_ACK + "\nfor the client\n").encode("utf-8"))
        self.expect_shown(client.HELLO_ACK, "for the client")
        for line in ["hi parent", "gr\u00fc\u00dfe \u2713", 'say "hi" \\o/']:
            self.typed.put(line)
        self.typed.put(None)
        self.assertEqual(
            self.read_to_end(),
            '{"type":"hello"}\nhi parent\ngr\u00fc\u00dfe \u2713\nsay "hi" \\o/\n'.encode("utf-8"),
        )
        self.session.join(BOUND)
        self.assertFalse(self.session.is_alive(), "the session outlived its input")

    def test_helper_closing_ends_the_session_while_input_is_open(self):
        hello = b'{"type":"hello"}\n'
        self.assertEqual(self.helper.recv(len(hello), socket.MSG_WAITALL), hello)
        self.helper.sendall(client.HELLO_ACK.encode("utf-8") + b"\nunfinished")
        self.helper.shutdown(socket.SHUT_RDWR)
        self.session.join(BOUND)
        self.assertFalse(self.session.is_alive(), "the session outlived the connection")
        self.expect_shown(client.HELLO_ACK)
        self.assertTrue(self.shown.empty(), "a line without its line feed was shown")


class LineSplitting(unittest.TestCase):
    """receive_lines() on a packet socket pair, where each send arrives as one
    recv(): the pieces below reach the client exactly as cut."""

    def test_lines_cut_anywhere_arrive_whole(self):
        client_end, helper = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        with client_end, helper:
            pieces = [
                b'{"type":"hello_ack"',
                b',"version":1,"platform":"Darwin"}\ngr\xc3',  # inside the u-umlaut
                b"\xbc\xc3\x9fe\nfirst\nsec",
                b"ond\n\ncarriage\rreturn\nbad \xff\xfe bytes\nno line feed",
            ]
            for piece in pieces:
                helper.sendall(piece)
            helper.shutdown(socket.SHUT_RDWR)
            client_end.settimeout(BOUND)
            self.assertEqual(
                list(client.receive_lines(client_end)),
                [
                    client.HELLO_ACK,
                    "gr\u00fc\u00dfe",
                    "first",
                    "second",
                    "",
                    "carriage\rreturn",
                    "bad \ufffd\ufffd bytes",
                ],
            )


class PythonWithoutBluetooth(unittest.TestCase):
    """The example as a pyenv Python runs it: socket.AF_BLUETOOTH missing."""

    def test_says_which_python_to_use_and_fails(self):
        without_bluetooth = (
            "import runpy, socket, sys\n"
            "vars(socket).pop('AF_BLUETOOTH', None)\n"
            "sys.argv = sys.argv[1:]\n"
            "runpy.run_path(sys.argv[0], run_name='__main__')\n"
        )
        ran = subprocess.run(
            [sys.executable, "-c", without_bluetooth, client_path, "00:11:22:33:44:55"],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=BOUND,
        )
        self.assertEqual(ran.returncode, 1, ran.stderr)
        self.assertEqual(ran.stdout, "")
        self.assertIn("no Bluetooth sockets (socket.AF_BLUETOOTH)", ran.stderr)
        self.assertIn("/usr/bin/python3 %s 00:11:22:33:44:55" % client_path, ran.stderr)
        self.assertNotIn("Traceback", ran.stderr)


class Guide(unittest.TestCase):
    def test_guide_shows_the_example_as_it_is(self):
        with open(client_path, encoding="utf-8") as example, open(guide_path, encoding="utf-8") as guide:
            self.assertIn("```python\n" + example.read() + "```\n", guide.read())


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    client_path, guide_path = sys.argv[1], sys.argv[2]
    client = load_module(client_path)
    unittest.main(argv=sys.argv[:1], verbosity=2)
