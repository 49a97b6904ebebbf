"""Remote port control checks against a running device server, with pyserial's rfc2217:// client.

Shared by the native test (tests/integration/rfc2217_client_test.py) and the Wine scenario
(tests/wine/server/vmds_e2e.py). The caller starts the server on a pseudo-terminal with
Protocol=RFC2217 under the modem-line shim, configured 9600 bits/s, 8 data bits, no parity, one
stop bit, and hands in:

    device       the controller end of the pseudo-terminal (.master, .write, .read_exactly)
    modem_log    the shim's VMDS_MODEM_LOG file (DTR/RTS and break changes)
    modem_input  the shim's VMDS_MODEM_INPUT file (the device side's CTS, DSR, RI, DCD)
    wait_log     wait_log(text, seconds, start) -> index of the server's log line `text`
    messages     messages() -> the server's log lines so far
"""

import os
import random
import termios
import threading
import time

import serial  # pyserial (Debian: python3-serial)


from checking import CheckFailed, check, say  # noqa: F401 (used by the tests too)


def wait_until(predicate, seconds, what):
    """Looks at state another party changes (the device's terminal, pyserial's cached lines)
    until it holds; bounded."""
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() >= deadline:
            raise CheckFailed(f"{what} not seen within {seconds} s")
        time.sleep(0.02)


SPEEDS = {getattr(termios, f"B{rate}"): rate for rate in
          (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}


def line_settings(device):
    """(bits per second, data bits, parity letter, stop bits, flow) as the device side's terminal
    holds them (the controller end reads the terminal end's settings)."""
    iflag, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(device.master)
    size = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
    parity = "N"
    if cflag & termios.PARENB:
        mark_space = cflag & getattr(termios, "CMSPAR", 0o10000000000)
        if mark_space:
            parity = "M" if cflag & termios.PARODD else "S"
        else:
            parity = "O" if cflag & termios.PARODD else "E"
    flow = "hardware" if cflag & termios.CRTSCTS else "xonxoff" if iflag & termios.IXON else "none"
    return (SPEEDS.get(ospeed, ospeed), size, parity, 2 if cflag & termios.CSTOPB else 1, flow)


def modem_lines(path):
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def wait_modem_line(path, line, start, seconds=10):
    wait_until(lambda: line in modem_lines(path)[start:], seconds, f"modem log line {line!r}")


def set_input_lines(path, cts, dsr, ri, dcd):
    temp = path + ".tmp"
    with open(temp, "w") as f:
        f.write(f"CTS={int(cts)} DSR={int(dsr)} RI={int(ri)} DCD={int(dcd)}\n")
    os.replace(temp, path)


def pty_takes_parity():
    """Whether this kernel's pseudo-terminals keep a parity setting (some refuse it with EINVAL,
    older ones drop it quietly)."""
    master, slave = os.openpty()
    try:
        attrs = termios.tcgetattr(slave)
        attrs[2] |= termios.PARENB
        try:
            termios.tcsetattr(slave, termios.TCSANOW, attrs)
        except termios.error:
            return False
        return bool(termios.tcgetattr(master)[2] & termios.PARENB)
    finally:
        os.close(master)
        os.close(slave)


def open_client(port, **settings):
    # pyserial waits for the server to agree to the option and to answer every setting, and
    # raises when an answer holds another value than the one asked for.
    return serial.serial_for_url(f"rfc2217://127.0.0.1:{port}?timeout=10", timeout=10,
                                 **settings)


def test_bytes(size, seed):
    """Random bytes, a quarter of them 0xFF (the Telnet escape)."""
    rng = random.Random(seed)
    return bytes(0xFF if rng.random() < 0.25 else rng.randrange(256) for _ in range(size))


def both_ways(client, device, size, seconds=120):
    """`size` random bytes each way at the same time; both arrive whole and in order."""
    up, down = test_bytes(size, 1), test_bytes(size, 2)
    received = bytearray()
    failure = []

    def client_reads():
        deadline = time.monotonic() + seconds
        try:
            while len(received) < size and time.monotonic() < deadline:
                received.extend(client.read(min(65536, size - len(received))))
        except Exception as error:  # reported by the main thread
            failure.append(error)

    def client_writes():
        try:
            for start in range(0, size, 4096):
                client.write(up[start:start + 4096])
        except Exception as error:
            failure.append(error)

    threads = [threading.Thread(target=client_reads), threading.Thread(target=client_writes)]
    for thread in threads:
        thread.start()
    got = bytearray()
    deadline = time.monotonic() + seconds
    sent = 0
    while (len(got) < size or sent < size) and time.monotonic() < deadline and not failure:
        if sent < size:
            device.write(down[sent:sent + 4096])
            sent = min(size, sent + 4096)
        got += device.read_exactly(size - len(got), 0.01 if sent < size else 1) \
            if len(got) < size else b""
    for thread in threads:
        thread.join(seconds)
    check(not failure, "pyserial moved the data without an error", f"{failure}")
    check(bytes(got) == up, f"{size} bytes with {up.count(0xFF)} IACs reached the device intact",
          f"got {len(got)} bytes")
    check(bytes(received) == down, f"{size} bytes with {down.count(0xFF)} IACs reached the client "
          "intact", f"got {len(received)} bytes")


def run_checks(port, device, modem_log, modem_input, wait_log, messages, size=1 << 20):
    set_input_lines(modem_input, cts=1, dsr=1, ri=0, dcd=1)
    mark = len(messages())
    modem_mark = len(modem_lines(modem_log))

    # Open: the option is agreed and the client's settings are in force on the device side.
    client = open_client(port, baudrate=19200)
    wait_until(lambda: line_settings(device)[:4] == (19200, 8, "N", 1), 10,
               "19200 bits/s, 8 data bits, no parity on the device side")
    say("ok: the settings of pyserial's open reach the device side")
    client.baudrate = 57600
    client.stopbits = serial.STOPBITS_TWO
    check(line_settings(device)[:4] == (57600, 8, "N", 2),
          "a bit rate and stop bits change reaches the device side once answered",
          f"{line_settings(device)}")
    client.rtscts = True
    check(line_settings(device)[4] == "hardware", "hardware flow control reaches the device side")
    client.rtscts = False
    check(line_settings(device)[4] == "none", "flow control off again")

    # DTR, RTS and break, as the device side sees them.
    client.dtr = False
    wait_modem_line(modem_log, "DTR=0 RTS=1", modem_mark)
    client.rts = False
    wait_modem_line(modem_log, "DTR=0 RTS=0", modem_mark)
    client.dtr = True
    client.rts = True
    wait_modem_line(modem_log, "DTR=1 RTS=1", modem_mark)
    say("ok: DTR and RTS follow the client")
    client.break_condition = True
    wait_modem_line(modem_log, "BREAK=1", modem_mark)
    client.break_condition = False
    wait_modem_line(modem_log, "BREAK=0", modem_mark)
    say("ok: break on and off reach the device side")

    # The device side's lines reach the client without being asked for.
    wait_until(lambda: client.cts and client.dsr and client.cd and not client.ri, 10,
               "the first modem state (CTS, DSR, DCD high, RI low)")
    set_input_lines(modem_input, cts=0, dsr=1, ri=1, dcd=0)
    wait_until(lambda: not client.cts and client.dsr and client.ri and not client.cd, 10,
               "CTS low, RI high, DCD low at the client")
    set_input_lines(modem_input, cts=1, dsr=0, ri=0, dcd=1)
    wait_until(lambda: client.cts and not client.dsr and not client.ri and client.cd, 10,
               "CTS high, DSR low, RI low, DCD high at the client")
    say("ok: modem-state changes on the device side are reported to the client")

    # Data with many IACs, both ways at once.
    both_ways(client, device, size)

    # Purge: answered, and the session goes on.
    client.reset_input_buffer()
    client.reset_output_buffer()
    client.write(b"after purge")
    check(device.read_exactly(11, 10) == b"after purge", "bytes after a purge reach the device")
    device.write(b"\xffreply\xff")
    check(client.read(7) == b"\xffreply\xff", "device bytes after a purge reach the client")

    # Parity: where the terminal takes it, the device side shows it; where the kernel refuses it,
    # the answer holds the parity still in force (pyserial then reports the refusal), the refusal
    # is logged, and the session goes on.
    mark = len(messages())
    if pty_takes_parity():
        client.parity = serial.PARITY_ODD
        check(line_settings(device)[2] == "O", "odd parity reaches the device side")
    else:
        try:
            client.parity = serial.PARITY_EVEN
            refused = False
        except (ValueError, serial.SerialException) as error:
            refused = "rejected" in str(error)
        check(refused, "even parity, which this kernel's terminals refuse, is answered with the "
              "parity in force")
        wait_log("127.0.0.1 RFC 2217 SET-PARITY 3, answered 1", 10, mark)
        check(any(m.startswith("127.0.0.1 asked for parity even on ") and m.endswith("kept none")
                  for m in messages()[mark:]), "the refused parity is logged")
        check(line_settings(device)[:4] == (57600, 8, "N", 2),
              "the settings in force stay as they were")
        client.write(b"still here")
        check(device.read_exactly(10, 10) == b"still here", "the session goes on after a refusal")

    # The close command, as a run of data of its own.
    mark = len(messages())
    client.write(b"SSSP=0")
    wait_log("127.0.0.1 issued SSSP=0, closing session", 10, mark)
    client.close()

    # The next session starts from the instance's settings.
    wait_until(lambda: line_settings(device) == (9600, 8, "N", 1, "none"), 10,
               "the configured 9600 8N1 without flow control back on the device side")
    say("ok: the port went back to the configured settings after the session")
    modem_mark = len(modem_lines(modem_log))
    client = open_client(port)
    check(line_settings(device) == (9600, 8, "N", 1, "none"),
          "the next client starts from the configured settings")
    client.write(b"next")
    check(device.read_exactly(4, 10) == b"next", "the next session moves data")
    client.close()
