#!/usr/bin/env python3
"""The Linux vmds with TLS against `openssl s_client` and Python's ssl module.

    tls_client_test.py --vmds PATH --shim LIBVMDS_MODEM_SHIM [--size BYTES]

The program runs from a temporary instance directory on a pseudo-terminal this test holds,
under the modem-line shim, with the TLS lines (relative paths) and a client CA: the shared checks
of tests/support/tls_checks.py (1 MB both ways with each client, refused handshakes, a plain TCP
client, a stalled handshake, a stop during a handshake). Then remote port control (RFC 2217)
inside TLS without a client CA, and start-ups that TLS settings refuse (exit code 17, the log
line, the serial port untouched). Every wait is bounded. Exit code 0 when every check passed.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
sys.path.insert(0, os.path.join(here, "..", "wine", "server"))

import tls_checks  # noqa: E402
from native_instance import NativeInstance, free_tcp_port, report_failure  # noqa: E402
from checking import check, say  # noqa: E402
from vmds_e2e import PtyDevice, wait_for_prefix  # noqa: E402

EXIT_BAD_TLS_SETTINGS = 17
NOT_INITIALISED = "Velmora Device Server could not be initialized successfully"


def instance_dir(work, name, certs=None):
    folder = os.path.join(work, name)
    os.makedirs(folder)
    for path in (certs or {}).values():
        shutil.copy(path, folder)
    return folder


def rfc2217_inside_tls(args, work, certs, device):
    """Protocol=RFC2217 with TLS (no client CA: any client that completes the handshake): the
    Telnet offers and IAC doubling travel inside the records."""
    folder = instance_dir(work, "rfc2217", certs)
    port = free_tcp_port()
    instance = NativeInstance(args.vmds, args.shim, folder, device.path, port, "RFC2217",
                              tls_checks.startup_lines(client_ca=False))
    try:
        instance.log.wait_for("Waiting for connection", 30)
        context = tls_checks.client_context(certs, with_certificate=False)
        with tls_checks.tls_connect(port, context) as tls:
            offers = tls.recv(64)
            check(offers[:1] == b"\xff" and len(offers) >= 3,
                  "RFC 2217 inside TLS: the server's Telnet offers come first", offers.hex())
            tls.sendall(b"a\xff\xffb")
            check(device.read_exactly(3, 10) == b"a\xffb",
                  "RFC 2217 inside TLS: the client's doubled IAC reaches the device once")
            device.write(b"\xff")
            got = b""
            deadline = time.monotonic() + 10
            while b"\xff\xff" not in got and time.monotonic() < deadline:
                got += tls.recv(64)
            check(got.endswith(b"\xff\xff"),
                  "RFC 2217 inside TLS: the device's IAC reaches the client doubled", got.hex())
        check(instance.stop() == 0, "the RFC 2217 instance stops cleanly")
    except BaseException:
        instance.stop()
        raise


def client_leaves_stalled_device(args, work, certs, device):
    """tls_checks.client_leaves_stalled_device on an instance with debug mode off (its dump of
    every dropped byte would be the slow part)."""
    folder = instance_dir(work, "stalled", certs)
    port = free_tcp_port()
    instance = NativeInstance(args.vmds, args.shim, folder, device.path, port, "Raw",
                              [*tls_checks.startup_lines(client_ca=False), "DebugEnabled=No"])
    try:
        wait_for_prefix(instance.log, "STARTUP: ", 30)
        tls_checks.client_leaves_stalled_device(port, device, certs, instance.log.path)
        check(instance.stop() == 0, "the instance stops cleanly")
    except BaseException:
        instance.stop()
        raise


def refused_startups(args, work, certs, device):
    """One table: TLS settings that stop the start with exit code 17 and their log line."""
    cert, key = f"TLSCertificate={certs['server.pem']}", f"TLSKey={certs['server.key']}"
    cases = [
        # name, TLS lines, (what the log line starts with, with {dir} the instance directory)
        ("a missing file", ["TLSCertificate=missing.pem", key],
         'TLSCertificate file "{dir}/missing.pem" cannot be used: the file does not exist'),
        ("a key that is no key", [cert, f"TLSKey={certs['garbage.key']}"],
         f'TLSKey file "{certs["garbage.key"]}" holds no valid private key: '),
        ("a key that does not match", [cert, f"TLSKey={certs['unrelated.key']}"],
         f'TLSKey file "{certs["unrelated.key"]}" does not match the certificate in '
         f'"{certs["server.pem"]}"'),
        ("client CAs that are no certificates", [cert, key, f"TLSClientCA={certs['server.key']}"],
         f'TLSClientCA file "{certs["server.key"]}" holds no valid certificate: '),
        ("a key without a certificate", [key], "TLSKey is set but TLSCertificate is not"),
        ("a certificate without a key", [cert], "TLSCertificate is set but TLSKey is not"),
        ("client CAs without a certificate", [f"TLSClientCA={certs['ca.pem']}"],
         "TLSClientCA is set but TLSCertificate is not"),
        ("a line cut at the line limit", ["TLSCertificate=" + "c" * 150 + ".pem", key],
         "TLSCertificate is longer than a line of the startup file may be"),
    ]
    with open(certs["server.key"]) as f:
        key_body = [line for line in f.read().splitlines() if not line.startswith("-----")]
    for number, (name, lines, expected) in enumerate(cases):
        folder = instance_dir(work, f"bad-{number}")
        expected = expected.replace("{dir}", folder)
        instance = NativeInstance(args.vmds, args.shim, folder, device.path, free_tcp_port(),
                                  "Raw", lines)
        code = instance.process.wait(30)
        instance.stop()
        check(code == EXIT_BAD_TLS_SETTINGS,
              f"{name}: the start ends with exit code {EXIT_BAD_TLS_SETTINGS} (got {code})")
        messages = instance.log.messages()
        index = next((i for i, m in enumerate(messages) if m.startswith(expected)), None)
        check(index is not None, f"{name}: logged {expected!r}...", f"log: {messages}")
        check(NOT_INITIALISED in messages[index:], f"{name}: the start is refused after it")
        check(not any("Serial port" in m for m in messages),
              f"{name}: the serial port was not opened")
        text = "\n".join(messages)
        check("-----BEGIN" not in text and not any(part in text for part in key_body)
              and "this is no key" not in text, f"{name}: no key material in the log")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vmds", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--size", type=int, default=1 << 20)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="vmds-tls.")
    device = PtyDevice()
    instance = None
    try:
        certs_dir = os.path.join(work, "certs")
        os.makedirs(certs_dir)
        certs = tls_checks.make_certificates(certs_dir)

        folder = instance_dir(work, "good", certs)
        port = free_tcp_port()
        instance = NativeInstance(args.vmds, args.shim, folder, device.path, port, "Raw",
                                  tls_checks.startup_lines())
        instance.log.wait_for("Waiting for connection", 30)

        def stop():
            check(instance.stop() == 0, "the service stops cleanly")

        tls_checks.run_checks(port, device, certs, instance.log.path, stop, args.size,
                              work=folder)
        instance = None

        rfc2217_inside_tls(args, work, certs, device)
        client_leaves_stalled_device(args, work, certs, device)
        refused_startups(args, work, certs, device)
    except Exception as failure:  # noqa: B902 (ssl and subprocess raise their own)
        return report_failure(failure, instance)
    finally:
        device.close()
        shutil.rmtree(work, ignore_errors=True)
    say("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
