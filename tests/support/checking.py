"""What the python tests here share: a check that says what it saw and its failure, and a
loopback client that waits for the server's listener."""

import socket
import time


class CheckFailed(Exception):
    pass


def say(text):
    print(text, flush=True)


def check(condition, text, detail=""):
    if not condition:
        raise CheckFailed(text + (f" ({detail})" if detail else ""))
    say("ok: " + text)


def connect(port, seconds=10):
    sock = socket.create_connection(("127.0.0.1", port), timeout=seconds)
    sock.settimeout(seconds)
    return sock


def connect_when_listening(port, seconds=10):
    """Connects once the server listens again: its listener is closed while it serves a client
    (also during a TLS handshake), and with debug mode off no log line says when it is back, so a
    refused connect is tried again until the deadline."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return connect(port, seconds)
        except ConnectionRefusedError:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.02)
