#!/usr/bin/env python3
"""End-to-end checks of the real vmds.exe under Wine.

Runs inside a Wine prefix prepared by vmds_e2e.sh (scripts/wine-env.sh, booted with the modem
shim preloaded so that the services inherit it). This program plays the device (it holds both
ends of a pseudo-terminal pair; COM5 of the prefix is mapped onto the terminal end) and the TCP
clients, installs vmds.exe under a path with blanks, registers it in the service database with a
quoted image path and drives it with `wine sc`.

    vmds_e2e.py SCENARIO --bin-dir DIR --work DIR [--modem-log FILE] [--modem-input FILE]
                [--eventlog-trace FILE]

The eventlog trace is the services' WINEDEBUG=+eventlog output: Wine keeps no event log, it
traces what ReportEvent was given (errors as err:eventlog, information as trace:eventlog).

Scenarios: service-host, missing-port, data-path, stalled-device, client-endings, status-file,
allowed-clients, remote-port-control, tls.
Exit code 0 when every check passed.
Every wait has a deadline; nothing here waits for ever.
"""

import argparse
import datetime
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import termios
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from checking import CheckFailed, check, connect, connect_when_listening, say  # noqa: E402

SERVICE_PREFIX = "Daltrimore_VMDS_"
STARTUP = "STARTUP: Daltrimore Velmora Device Server Ver 4.0 Build 47"
SHUTDOWN = "SHUTDOWN: Daltrimore Velmora Device Server Ver 4.0 Build 47"
NOT_INITIALISED = "Velmora Device Server could not be initialized successfully"
LOG_LINE = re.compile(
    rb"^(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-(\d\d)-(\d{4}) "
    rb"(\d\d):(\d\d):(\d\d) (.*)$")

STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
# A service that stopped by itself reports ERROR_SERVICE_SPECIFIC_ERROR with a code of its own.
SERVICE_SPECIFIC_ERROR = 1066
EXIT_SERIAL_PORT_NOT_OPENED = 11
EXIT_BAD_ACCESS_SETTINGS = 15
EXIT_BAD_PROTOCOL = 16
EXIT_BAD_TLS_SETTINGS = 17




# ---- Wine ----------------------------------------------------------------------------------

def wine(seconds, *args, cwd=None):
    """Runs `wine args` under timeout; a silent instant failure is retried once with error
    tracing on. Returns (exit code, stdout text)."""
    command = ["timeout", "--kill-after=5", str(seconds), "wine", *args]
    for attempt in (1, 2):
        env = dict(os.environ)
        if attempt == 2:
            env["WINEDEBUG"] = "-all,err+all"
        started = time.monotonic()
        done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=seconds + 15)
        out = done.stdout.decode("latin-1")
        err = done.stderr.decode("latin-1")
        quick = time.monotonic() - started < 1.5
        if attempt == 1 and done.returncode not in (0, 124) and quick and not out and not err:
            say(f"note: wine {' '.join(args)} exited {done.returncode} at once, retrying")
            continue
        if err.strip():
            say(f"wine {' '.join(args)} stderr: {err.strip()}")
        return done.returncode, out
    raise AssertionError("unreachable")


def sc(seconds, *args):
    return wine(seconds, "sc", *args)


def query_service(name):
    """(state, (win32 exit code, service exit code)) of the service, or (None, None) when the
    query fails."""
    rc, out = sc(30, "query", name)
    state = re.search(r"STATE\s*:\s*(\d+)", out)
    code = re.search(r"WIN32_EXIT_CODE\s*:\s*(\d+)", out)
    specific = re.search(r"SERVICE_EXIT_CODE\s*:\s*(\d+)", out)
    if rc != 0 or not state or not code or not specific:
        return None, None
    return int(state.group(1)), (int(code.group(1)), int(specific.group(1)))


def wait_service_state(name, wanted, seconds):
    deadline = time.monotonic() + seconds
    state = code = None
    while time.monotonic() < deadline:
        state, code = query_service(name)
        if state == wanted:
            return state, code
        time.sleep(0.2)
    raise CheckFailed(f"service {name} did not reach state {wanted} within {seconds} s "
                      f"(last state {state}, exit code {code})")


class Installation:
    """vmds.exe copied to C:\\Program Files\\<folder>\\, registered under a quoted path."""

    def __init__(self, bin_dir, folder, service):
        self.drive_c = os.path.join(os.environ["WINEPREFIX"], "drive_c")
        self.dir = os.path.join(self.drive_c, "Program Files", folder)
        self.win_dir = "C:\\Program Files\\" + folder
        self.win_exe = self.win_dir + "\\vmds.exe"
        self.service = service
        os.makedirs(self.dir, exist_ok=True)
        shutil.copy(os.path.join(bin_dir, "vmds.exe"), os.path.join(self.dir, "vmds.exe"))
        self.log = LogFile(os.path.join(self.dir, "vmds.log"))

    def write_ini(self, com_port, tcp_port, debug=True, drop_dtr=False, drop_rts=False,
                  idle=0, max_connect=0, extra=()):
        name = self.service[len(SERVICE_PREFIX):]
        lines = [
            f"[Daltrimore Velmora Device Server - Instance Manager - Instance - {name}]",
            " ",
            "# DO NOT CHANGE THE NEXT FIVE VARIABLES - THEY ARE UNDER PROGRAM CONTROL",
            f"InstallDir={self.win_dir}",
            "MasterInstance=False",
            f"InstanceName={name}",
            f"ServiceName={self.service}",
            f"ServiceDisplayName=Daltrimore VMDS {name}",
            " ",
            " ",
            f"DebugEnabled={'Yes' if debug else 'No'}",
            "LogFilename=.\\vmds.log",
            f"TCPPort={tcp_port}",
            f"COMPort={com_port}",
            "COMPortBitRate=9600",
            "COMPortDataBits=8",
            "COMPortParity=NOPARITY",
            "COMPortStopBits=ONESTOPBIT",
            f"DropDTRonSocketClose={'Yes' if drop_dtr else 'No'}",
            f"DropRTSonSocketClose={'Yes' if drop_rts else 'No'}",
            f"MaxConnectTime={max_connect}",
            f"IdleTimeout={idle}",
            *extra,
        ]
        with open(os.path.join(self.dir, "vmds.ini"), "wb") as f:
            f.write("".join(line + "\r\n" for line in lines).encode("ascii"))

    def register(self):
        quoted = '"' + self.win_exe + '"'
        rc, out = sc(60, "create", self.service, "binPath=", quoted, "start=", "demand",
                     "DisplayName=", "Daltrimore VMDS " + self.service[len(SERVICE_PREFIX):])
        check(rc == 0, f"service {self.service} created", f"sc create: {rc} {out.strip()}")
        rc, out = wine(30, "reg", "query",
                       "HKLM\\System\\CurrentControlSet\\Services\\" + self.service,
                       "/v", "ImagePath")
        match = re.search(r"ImagePath\s+REG_(?:EXPAND_)?SZ\s+(.*)", out)
        image = match.group(1).strip() if match else None
        check(image == quoted, f"ImagePath is the quoted path {quoted} (got {image!r})")

    def start(self):
        rc, out = sc(60, "start", self.service)
        check(rc == 0, f"sc start {self.service} succeeded", f"rc {rc} {out.strip()}")

    def stop(self):
        rc, out = sc(60, "stop", self.service)
        check(rc == 0, f"sc stop {self.service} accepted", f"rc {rc} {out.strip()}")

    def expect_stopped_cleanly(self, seconds=30):
        self.expect_stopped_with((0, 0), seconds)

    def expect_stopped_with(self, codes, seconds=30):
        """Waits for STOPPED; `codes` is (WIN32_EXIT_CODE, SERVICE_EXIT_CODE)."""
        state, got = wait_service_state(self.service, STOPPED, seconds)
        check(got == codes, f"service {self.service} STOPPED with WIN32_EXIT_CODE / "
              f"SERVICE_EXIT_CODE {codes} (got {got})")

    def delete(self):
        sc(30, "delete", self.service)


# ---- Log file ------------------------------------------------------------------------------

class LogFile:
    def __init__(self, path):
        self.path = path

    def raw(self):
        try:
            with open(self.path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def messages(self):
        """Messages of all complete lines, checking the line format on the way."""
        data = self.raw()
        end = data.rfind(b"\r\n")
        if end < 0:
            return []
        result = []
        for line in data[:end].split(b"\r\n"):
            match = LOG_LINE.match(line)
            if not match:
                raise CheckFailed(f"log line not in 'Mon-DD-YYYY HH:MM:SS message' form: {line!r}")
            if b"\n" in line or b"\r" in line:
                raise CheckFailed(f"stray line break inside a log line: {line!r}")
            stamp = datetime.datetime.strptime(line[:20].decode("ascii"), "%b-%d-%Y %H:%M:%S")
            if abs((datetime.datetime.now() - stamp).total_seconds()) > 600:
                raise CheckFailed(f"log time stamp is not the local time of now: {line!r}")
            result.append(match.group(7).decode("latin-1"))
        return result

    def expect_complete(self):
        """Every line ends with CR LF (checked once the service has stopped)."""
        data = self.raw()
        check(data.endswith(b"\r\n") and data.count(b"\n") == data.count(b"\r\n"),
              "every log line ends with CR LF")
        self.messages()

    def wait_for(self, text, seconds, start=0):
        """Index of the first message at or after `start` that equals `text`."""
        deadline = time.monotonic() + seconds
        while True:
            messages = self.messages()
            for i in range(start, len(messages)):
                if messages[i] == text:
                    return i
            if time.monotonic() >= deadline:
                tail = "\n  ".join(messages[-20:])
                raise CheckFailed(f"log line {text!r} not written within {seconds} s; "
                                  f"log ends:\n  {tail}")
            time.sleep(0.05)

    def expect_in_order(self, texts, start=0):
        messages = self.messages()
        position = start
        for text in texts:
            try:
                position = messages.index(text, position) + 1
            except ValueError:
                tail = "\n  ".join(messages[start:])
                raise CheckFailed(f"log line {text!r} missing or out of order; log:\n  {tail}")
        say(f"ok: log lines in order: {texts}")
        return position


# ---- Device and clients --------------------------------------------------------------------

class PtyDevice:
    """Both ends of a pseudo-terminal pair. The program under test opens the terminal end by its
    path; this side reads and writes the controller end. The terminal end stays open here too so
    that the controller never sees a hang-up while the program re-opens it."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave, termios.TCSANOW)
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)

    def write(self, data):
        view = memoryview(data)
        deadline = time.monotonic() + 10
        while view:
            _, ready, _ = select.select([], [self.master], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise CheckFailed("device: writing to the terminal blocked for 10 s")
            view = view[os.write(self.master, view):]

    def read_exactly(self, count, seconds):
        got = bytearray()
        deadline = time.monotonic() + seconds
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    got += os.read(self.master, 4096)
                except BlockingIOError:
                    pass
        return bytes(got)

    def read_for(self, seconds):
        """Everything that arrives within `seconds` (used to show that nothing arrives)."""
        return self.read_exactly(1 << 30, seconds)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


def recv_exactly(sock, count, seconds):
    got = bytearray()
    deadline = time.monotonic() + seconds
    while len(got) < count:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        sock.settimeout(left)
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        got += chunk
    return bytes(got)


def wait_closed_by_peer(sock, seconds):
    """True when the peer closes (or resets) the connection within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            if sock.recv(4096) == b"":
                return True
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True
    return False


def connect_from(source, port, destination="127.0.0.1", seconds=10):
    """A client bound to the local address `source` (all of 127.0.0.0/8 is loopback here)."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(seconds)
    try:
        sock.bind((source, 0))
        sock.connect((destination, port))
    except OSError:
        sock.close()
        raise
    return sock


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def modem_lines(path):
    """The "DTR=x RTS=y" lines of the shim's log (its other lines, such as a break, left out)."""
    try:
        with open(path) as f:
            return [line for line in f.read().splitlines() if line.startswith("DTR=")]
    except FileNotFoundError:
        return []


def wait_modem_line(path, line, start, seconds):
    deadline = time.monotonic() + seconds
    while True:
        lines = modem_lines(path)
        if line in lines[start:]:
            return lines
        if time.monotonic() >= deadline:
            raise CheckFailed(f"modem log has no {line!r} after entry {start}: {lines}")
        time.sleep(0.05)


def map_com(number, path):
    link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", f"com{number}")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(path, link)


def dump(data):
    return "".join(f"<{b:02X}h>" for b in data)


# ---- Scenarios -----------------------------------------------------------------------------

def scenario_service_host(args):
    device = PtyDevice()
    map_com(5, device.path)
    inst = Installation(args.bin_dir, "Velmora Test", SERVICE_PREFIX + "Velmora_Test")
    port = free_tcp_port()
    inst.write_ini("COM5", port, debug=True)
    inst.register()

    # From the command line the program is no service: it ends with 0 and writes nothing.
    cwd = os.path.join(args.work, "cmdline")
    os.makedirs(cwd, exist_ok=True)
    rc, out = wine(60, inst.win_exe, cwd=cwd)
    check(rc == 0, f"vmds.exe started from the command line exits 0 (got {rc})")
    check(out == "", f"no console output from the command line (got {out!r})")
    check(not os.path.exists(inst.log.path) and os.listdir(cwd) == [],
          "no log file written when started from the command line")

    inst.start()
    first = inst.log.wait_for("Waiting for connection", 30)
    check(wait_service_state(inst.service, RUNNING, 10)[0] == RUNNING, "service RUNNING")
    inst.log.expect_in_order([
        "Startup file read successfully",
        "Serial port initialized",
        "TCP socket initialized",
        STARTUP,
        "--Debug Mode Enabled--",
        "Waiting for connection",
    ])
    check("Some default values may be used due to error reading startup file"
          not in inst.log.messages(), "the startup file in the program's directory was read")
    # The port from vmds.ini is the one listening.
    with connect(port):
        inst.log.wait_for("127.0.0.1 connected to COM5", 10, first)
    inst.log.wait_for("127.0.0.1 closed session", 10, first)
    if args.modem_log:
        # Configuring the port may pass through other levels first (Wine's SetCommState drives
        # the lines as the control block says); from the raise on they stay high.
        lines = modem_lines(args.modem_log)
        raised = lines.index("DTR=1 RTS=1") if "DTR=1 RTS=1" in lines else len(lines)
        check(raised < len(lines) and all(line == "DTR=1 RTS=1" for line in lines[raised:]),
              f"both drop flags clear: DTR and RTS high from start-up on, never dropped ({lines})")

    inst.stop()
    inst.expect_stopped_cleanly()
    inst.log.wait_for(SHUTDOWN, 10)
    inst.log.expect_in_order([STARTUP, "Exit Signalled", SHUTDOWN])
    wait_eventlog(args, "trace", "Instance Velmora_Test started: Daltrimore Velmora Device "
                  "Server Ver 4.0 Build 47")
    wait_eventlog(args, "trace", "Instance Velmora_Test stopped on request")
    for stray in ("windows/system32/vmds.log", "windows/vmds.log", "vmds.log",
                  "Program Files/vmds.log"):
        check(not os.path.exists(os.path.join(inst.drive_c, stray)),
              f"no log written outside the program's directory (C:/{stray})")

    # Started a second time it appends to the same log.
    count = len(inst.log.messages())
    inst.start()
    inst.log.wait_for(STARTUP, 30, count)
    inst.stop()
    inst.expect_stopped_cleanly()
    inst.log.wait_for(SHUTDOWN, 10, count)
    inst.log.expect_complete()
    inst.delete()
    device.close()


# ---- Status file ---------------------------------------------------------------------------

class StatusFile:
    """vmds.prom beside the log, as monitoring tools read it."""

    def __init__(self, inst, instance, com_port, tcp_port):
        self.path = os.path.join(inst.dir, "vmds.prom")
        self.labels = f'instance="{instance}",com_port="{com_port}",tcp_port="{tcp_port}"'

    def raw(self):
        try:
            with open(self.path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def sample(self, name, value, extra=""):
        return f"{name}{{{self.labels}{',' + extra if extra else ''}}} {value}\n"

    def state(self, state):
        return self.sample("vmds_state", 1, f'state="{state}"')

    def wait_for(self, lines, seconds, what):
        """Waits until the file holds every one of `lines`."""
        deadline = time.monotonic() + seconds
        while True:
            text = self.raw().decode("utf-8", "replace")
            missing = [line for line in lines if line not in text]
            if not missing or time.monotonic() >= deadline:
                break
            time.sleep(0.05)
        check(not missing, f"vmds.prom: {what}", f"missing {missing!r} in:\n{text}")
        return text


def promtool_check(path):
    promtool = shutil.which("promtool")
    if promtool is None:
        say("promtool is not installed: the file is not checked with it")
        return
    result = subprocess.run([promtool, "check", "metrics"], stdin=open(path, "rb"),
                            capture_output=True, timeout=30)
    check(result.returncode == 0, "promtool check metrics accepts the file of vmds.exe",
          (result.stdout + result.stderr).decode(errors="replace"))


def scenario_status_file(args):
    device = PtyDevice()
    map_com(5, device.path)
    inst = Installation(args.bin_dir, "Velmora Status", SERVICE_PREFIX + "Status_File")
    port = free_tcp_port()
    inst.write_ini("COM5", port, debug=True)
    inst.register()
    status = StatusFile(inst, "Status_File", "COM5", port)
    inst.start()
    mark = inst.log.wait_for("Waiting for connection", 30)
    status.wait_for([status.state("listening"), status.sample("vmds_sessions_total", 0),
                     status.sample("vmds_build_info", 1, 'version="4.0.47.0"')],
                    10, "listening after the start")
    raw = status.raw()
    check(b"\r" not in raw and raw.endswith(b"\n"), "vmds.prom has LF line ends")

    client = connect(port)
    mark = inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    status.wait_for([status.state("connected"), status.sample("vmds_client_connected", 1),
                     status.sample("vmds_client_info", 1, 'address="127.0.0.1"'),
                     status.sample("vmds_sessions_total", 1)], 10, "a client is connected")
    promtool_check(status.path)

    # Bytes each way, then quiet: the counts reach the file within about a second.
    client.sendall(b"0123456789")
    check(device.read_exactly(10, 10) == b"0123456789", "10 client bytes reach the device")
    device.write(bytes(range(20)))
    check(recv_exactly(client, 20, 10) == bytes(range(20)), "20 device bytes reach the client")
    status.wait_for([status.sample("vmds_device_bytes_total", 10),
                     status.sample("vmds_client_bytes_total", 20)], 10,
                    "the bytes each way are counted")

    client.close()
    mark = inst.log.wait_for("127.0.0.1 closed session", 10, mark)
    status.wait_for([status.state("listening"), status.sample("vmds_client_connected", 0),
                     status.sample("vmds_sessions_ended_total", 1, 'reason="client_closed"')],
                    10, "the session ended by the client is counted")
    text = status.raw().decode()
    check("vmds_client_info{" + status.labels not in text, "no client after the session")

    client = connect(port)
    inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    status.wait_for([status.state("connected"), status.sample("vmds_sessions_total", 2)], 10,
                    "the second session")
    inst.stop()
    check(wait_closed_by_peer(client, 15), "the client is disconnected by the stop request")
    client.close()
    inst.expect_stopped_cleanly()
    status.wait_for([status.state("stopping"),
                     status.sample("vmds_sessions_ended_total", 1, 'reason="stop"')], 10,
                    "stopping, the stopped session counted")
    check(not os.path.exists(status.path + ".tmp"), "no temporary file left beside it")
    promtool_check(status.path)
    inst.log.expect_complete()
    inst.delete()
    device.close()


def wait_eventlog(args, channel_class, text, seconds=10):
    """Waits until the eventlog trace holds a `channel_class` (err, warn, trace) line of
    ReportEvent that contains `text`."""
    check(bool(args.eventlog_trace), "an eventlog trace file was given")
    deadline = time.monotonic() + seconds
    while True:
        try:
            with open(args.eventlog_trace, "rb") as f:
                trace = f.read().decode("latin-1")
        except FileNotFoundError:
            trace = ""
        lines = [line for line in trace.splitlines()
                 if f"{channel_class}:eventlog:" in line and "ReportEvent" in line]
        found = [line for line in lines if text in line]
        if found:
            say(f"ok: eventlog {channel_class}: {found[0].strip()}")
            return
        if time.monotonic() >= deadline:
            raise CheckFailed(f"no {channel_class}:eventlog line with {text!r}; trace:\n"
                              + "\n".join(trace.splitlines()[-20:]))
        time.sleep(0.05)


def scenario_missing_port(args):
    inst = Installation(args.bin_dir, "Velmora Missing Port", SERVICE_PREFIX + "Missing_Port")
    port = free_tcp_port()
    inst.write_ini("COM7", port, debug=True)
    inst.register()
    inst.start()
    # A failure, not a stop: the service database keeps why, for the recovery actions.
    inst.expect_stopped_with((SERVICE_SPECIFIC_ERROR, EXIT_SERIAL_PORT_NOT_OPENED))
    inst.log.wait_for(SHUTDOWN, 10)
    inst.log.expect_in_order(["COM7 does not exist", NOT_INITIALISED, "--Debug Mode Enabled--",
                              SHUTDOWN])
    check(STARTUP not in inst.log.messages(), "no start-up line after a failed initialisation")
    # The Application event log gets the failure: the log line, the instance and the exit code.
    wait_eventlog(args, "err", "Instance Missing_Port stopped after a failure (exit code 11): "
                  "COM7 does not exist")
    status = StatusFile(inst, "Missing_Port", "COM7", port)
    status.wait_for([status.state("failed"), status.sample("vmds_exit_code", 11),
                     status.sample("vmds_failure_info", 1, 'reason="port not opened"')], 10,
                    "the failure, its exit code and reason")
    inst.log.expect_complete()
    inst.delete()


def scenario_data_path(args):
    modem_log = args.modem_log
    device = PtyDevice()
    map_com(5, device.path)
    inst = Installation(args.bin_dir, "Velmora Data Path", SERVICE_PREFIX + "Data_Path")
    port = free_tcp_port()
    inst.write_ini("COM5", port, debug=True, drop_dtr=True, drop_rts=True)
    inst.register()
    inst.start()
    mark = inst.log.wait_for("Waiting for connection", 30)
    if modem_log:
        lines = modem_lines(modem_log)
        check(lines and lines[-1] == "DTR=0 RTS=0",
              f"drop flags set: DTR and RTS low while nobody is connected ({lines})")
        modem_mark = len(lines)

    # Bytes the device sends while nobody is connected never reach the next client.
    device.write(b"stale bytes from before the session")

    client = connect(port)
    mark = inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    if modem_log:
        wait_modem_line(modem_log, "DTR=1 RTS=1", modem_mark, 10)
        say("ok: DTR and RTS raised for the session")

    # One client at a time: the listener is closed while the session runs.
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5):
            refused = False
    except ConnectionRefusedError:
        refused = True
    check(refused, "a second client is refused while a session runs")

    # Client to device: every byte value, unchanged.
    everything = bytes(range(256))
    for start in range(0, 256, 32):
        client.sendall(everything[start:start + 32])
        got = device.read_exactly(32, 10)
        check(got == everything[start:start + 32],
              f"client bytes 0x{start:02X}-0x{start + 31:02X} reach the device unchanged"
              + ("" if got == everything[start:start + 32] else f" (got {got.hex()})"))

    # Device to client: every byte value, unchanged (it may come in several chunks). The stale
    # bytes written before the session would show up in front of the first chunk.
    for start in range(0, 256, 64):
        chunk = everything[start:start + 64]
        device.write(chunk)
        got = recv_exactly(client, len(chunk), 10)
        check(got == chunk, f"device bytes 0x{start:02X}-0x{start + len(chunk) - 1:02X} reach "
              "the client unchanged" + ("" if got == chunk else f" (got {got.hex()})"))
    # A burst of 100 bytes arrives whole, in chunks of at most 64.
    burst = bytes((i * 7) & 0xFF for i in range(100))
    before_burst = len(inst.log.messages())
    device.write(burst)
    got = recv_exactly(client, 100, 10)
    check(got == burst, "a 100-byte burst from the device reaches the client whole")
    # The debug dumps show how it was read: at most 64 bytes per chunk, 100 in all.
    header = re.compile(r"^127\.0\.0\.1 (\d+) bytes arrived from COM5: ")
    chunks = [int(m.group(1)) for m in map(header.match, inst.log.messages()[before_burst:]) if m]
    check(sum(chunks) == 100 and all(0 < n <= 64 for n in chunks),
          f"the burst was read in chunks of at most 64 bytes ({chunks})")

    # The debug dump of a small chunk from the client.
    hello = b"Hello\r"
    client.sendall(hello)
    check(device.read_exactly(6, 10) == hello, "Hello<CR> reaches the device")
    inst.log.wait_for(f"127.0.0.1 sent 6 bytes: {dump(hello)}", 10, mark)
    say("ok: debug dump of the client's bytes as <XXh> items")

    # Client bytes queued behind a pending write reach the device whole and in order, many
    # chunks to a write. (The write of Hello<CR> is reported after its dump: counted before.)
    start = inst.log.wait_for("127.0.0.1 had 6 bytes written to COM5", 10, mark) + 1
    data = bytes((i * 17 + 9) & 0xFF for i in range(40000))
    client.sendall(data)
    sent_line = re.compile(r"^127\.0\.0\.1 sent (\d+) bytes: ")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        got_by_service = sum(int(m.group(1)) for m in map(sent_line.match,
                                                           inst.log.messages()[start:]) if m)
        if got_by_service >= len(data):
            break
        time.sleep(0.05)
    check(got_by_service == len(data), f"the service received all {len(data)} bytes "
          f"(got {got_by_service})")
    got = device.read_exactly(len(data), 30)
    check(got == data, f"40000 client bytes reach the device whole and in order (got {len(got)})")
    written_line = re.compile(r"^127\.0\.0\.1 had (\d+) bytes written to COM5$")
    deadline = time.monotonic() + 10
    while True:
        messages = inst.log.messages()[start:]
        written = [int(m.group(1)) for m in map(written_line.match, messages) if m]
        if sum(written) >= len(data) or time.monotonic() >= deadline:
            break
        time.sleep(0.05)
    first_pending = next((i for i, m in enumerate(messages)
                          if m == "127.0.0.1 serial write pending"), len(messages))
    queued = [int(m.group(1)) for m in map(written_line.match, messages[first_pending:]) if m]
    if sum(written) != len(data):
        say("written: " + " ".join(str(n) for n in written)[:1000])
    check(sum(written) == len(data) and queued and sum(queued) / len(queued) > 512,
          f"every byte in a reported write ({sum(written)} in {len(written)}), the queued ones "
          f"{sum(queued)} bytes in {len(queued)} writes")

    # "SSSP=0" with a line end is ordinary data.
    client.sendall(b"SSSP=0\r\n")
    check(device.read_exactly(8, 10) == b"SSSP=0\r\n",
          "SSSP=0 followed by CR LF is passed to the device as data")

    # Exactly "SSSP=0" closes the session; the device receives nothing.
    client.sendall(b"SSSP=0")
    mark = inst.log.wait_for("127.0.0.1 issued SSSP=0, closing session", 10, mark)
    check(wait_closed_by_peer(client, 10), "the client is disconnected after SSSP=0")
    client.close()
    leaked = device.read_for(0.5)
    check(leaked == b"", f"the device received nothing of SSSP=0 (got {leaked!r})")
    if modem_log:
        lines = wait_modem_line(modem_log, "DTR=0 RTS=0", modem_mark + 1, 10)
        modem_mark = len(lines)
        say("ok: DTR and RTS dropped after the session")

    # The service goes back to waiting; a new client gets a new session. A stop request during
    # the session ends it and the service.
    mark = inst.log.wait_for("Waiting for connection", 10, mark)
    client = connect(port)
    mark = inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    device.write(b"ping")
    check(recv_exactly(client, 4, 10) == b"ping", "the second session carries data")
    inst.stop()
    check(wait_closed_by_peer(client, 15), "the client is disconnected by the stop request")
    client.close()
    inst.expect_stopped_cleanly()
    inst.log.wait_for(SHUTDOWN, 10, mark)
    inst.log.expect_in_order(["Server shutting down from SCM notification.", SHUTDOWN], mark)
    if modem_log:
        lines = wait_modem_line(modem_log, "DTR=0 RTS=0", modem_mark, 10)
        say("ok: DTR and RTS dropped after the stopped session")
    inst.log.expect_complete()
    inst.delete()
    device.close()


def wait_for_prefix(log, prefix, seconds, start=0):
    """Index and text of the first message at or after `start` that begins with `prefix`."""
    deadline = time.monotonic() + seconds
    while True:
        messages = log.messages()
        for i in range(start, len(messages)):
            if messages[i].startswith(prefix):
                return i, messages[i]
        if time.monotonic() >= deadline:
            tail = "\n  ".join(messages[-20:])
            raise CheckFailed(f"no log line starting {prefix!r} within {seconds} s; log ends:\n  {tail}")
        time.sleep(0.05)


def scenario_stalled_device(args):
    """The device reads nothing while the client sends more than the port takes, then goes: the
    session ends with its close line although a serial write is pending, the bytes that did not
    reach the device are counted as dropped, the lines fall and the next client gets in."""
    modem_log = args.modem_log
    device = PtyDevice()
    map_com(5, device.path)
    inst = Installation(args.bin_dir, "Velmora Stalled Device", SERVICE_PREFIX + "Stalled_Device")
    port = free_tcp_port()
    inst.write_ini("COM5", port, debug=True, drop_dtr=True, drop_rts=True)
    inst.register()
    inst.start()
    mark = inst.log.wait_for("Waiting for connection", 30)
    client = connect(port)
    mark = inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    data = bytes((i * 7 + 3) & 0xFF for i in range(64 * 1024))
    client.sendall(data)
    inst.log.wait_for("127.0.0.1 serial write pending", 30, mark)
    if modem_log:
        wait_modem_line(modem_log, "DTR=1 RTS=1", 0, 10)
        modem_mark = len(modem_lines(modem_log))
    client.close()

    closed = inst.log.wait_for("127.0.0.1 closed session", 30, mark)
    drop, line = wait_for_prefix(inst.log, "Dropped ", 30, closed)
    match = re.fullmatch(r"Dropped (\d+) bytes from 127\.0\.0\.1: COM5 took nothing for 1000 ms",
                         line)
    check(match is not None, f"the dropped bytes are counted after the close line ({line!r})")
    dropped = int(match.group(1))
    header = re.compile(r"^127\.0\.0\.1 sent (\d+) bytes: ")
    received = sum(int(m.group(1)) for m in map(header.match, inst.log.messages()) if m)
    check(received == len(data), f"the service took all {len(data)} bytes the client sent before "
          f"it went (got {received})")
    inst.log.wait_for("Waiting for connection", 30, drop)
    if modem_log:
        wait_modem_line(modem_log, "DTR=0 RTS=0", modem_mark, 10)
        say("ok: DTR and RTS dropped after the session")
    delivered = received - dropped
    got = device.read_exactly(delivered, 10)
    check(got == data[:delivered], f"the device got the first {delivered} bytes unchanged "
          f"(got {len(got)})")

    # The next client gets in, and the dropped bytes never come after the delivered ones.
    client = connect(port)
    inst.log.wait_for("127.0.0.1 connected to COM5", 10, drop)
    client.sendall(b"next")
    got = device.read_exactly(4, 10)
    check(got == b"next", f"the next client's bytes are the next the device sees (got {got!r})")
    client.close()
    inst.stop()
    inst.expect_stopped_cleanly()
    inst.log.wait_for(SHUTDOWN, 10, drop)
    inst.log.expect_complete()
    inst.delete()
    device.close()


def round_trip_255(inst, device, port, mark):
    """A request answered by a 255-byte reply (four chunks): no chunk waits for the client's
    delayed acknowledgement of the one before (about 40 ms a round trip)."""
    client = connect_when_listening(port)
    mark = inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    millis = []
    for round_ in range(21):
        request = bytes((i * 3 + round_) & 0xFF for i in range(255))
        reply = bytes((i * 5 + round_) & 0xFF for i in range(255))
        start = time.monotonic()
        client.sendall(request)
        if device.read_exactly(255, 10) != request:
            check(False, f"round trip {round_}: the request reaches the device")
        device.write(reply)
        if recv_exactly(client, 255, 10) != reply:
            check(False, f"round trip {round_}: the reply reaches the client")
        millis.append((time.monotonic() - start) * 1000)
    median = sorted(millis)[len(millis) // 2]
    check(median < 20, f"255-byte request/reply round trip, median {median:.2f} ms (< 20 ms)")
    client.close()
    return inst.log.wait_for("127.0.0.1 closed session", 10, mark)


def send_what_is_taken(sock, data, quiet):
    """Sends as much of `data` as the sockets take until they take nothing for `quiet` seconds."""
    sock.setblocking(False)
    view = memoryview(data)
    sent = 0
    while sent < len(data):
        try:
            sent += sock.send(view[sent:])
        except BlockingIOError:
            _, ready, _ = select.select([], [sock], [], quiet)
            if not ready:
                break
    return sent


# With remote port control the server offers its Telnet options first (five of three bytes).
TELNET_OFFER_SIZE = 15


def client_leaves(inst, device, port, mark, amount, telnet=False):
    """The device reads nothing; the client sends `amount` bytes and leaves: the session ends at
    once, what the service does not keep for the device is dropped and counted, the device gets an
    unchanged beginning and then the next client's bytes. With `telnet` (Protocol=RFC2217) the
    bytes hold no IAC, and each client reads the server's offer before it closes (a close with
    bytes unread would be a reset, which drops what the client sent)."""
    data = bytes(min(0xFE, (i * 11 + 5) & 0xFF) if telnet else (i * 11 + 5) & 0xFF
                 for i in range(amount))
    client = connect_when_listening(port)
    mark = inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    sent = send_what_is_taken(client, data, 0.3)
    check(sent > 64 * 1024, f"the client got {sent} bytes of {amount} out")
    if telnet:
        check(len(recv_exactly(client, TELNET_OFFER_SIZE, 10)) == TELNET_OFFER_SIZE,
              "the client read the server's Telnet offer")
    client.close()
    closed_at = time.monotonic()
    mark = inst.log.wait_for("127.0.0.1 closed session", 10, mark)
    took = time.monotonic() - closed_at
    # Loose: the device may still reply for up to 2 s after a close.
    check(took < 2.5, f"{amount} bytes: the close line came {took:.2f} s after the close")
    drop, line = wait_for_prefix(inst.log, "Dropped ", 10, mark)
    match = re.fullmatch(r"Dropped (\d+) bytes from 127\.0\.0\.1: .*", line)
    check(match is not None, f"the dropped bytes are counted ({line!r})")
    dropped = int(match.group(1))
    nxt = connect_when_listening(port, 3)
    inst.log.wait_for("127.0.0.1 connected to COM5", 3, drop)
    nxt.sendall(b"next")
    got = bytearray()
    deadline = time.monotonic() + 10
    while not got.endswith(b"next") and time.monotonic() < deadline:
        got += device.read_exactly(1, max(0, deadline - time.monotonic()))
        got += device.read_for(0)
    check(got.endswith(b"next"), "the next client's bytes reach the device")
    delivered = len(got) - 4
    check(bytes(got[:delivered]) == data[:delivered] and delivered + dropped == sent,
          f"{amount} bytes: {delivered} delivered unchanged and {dropped} dropped of {sent} sent")
    if telnet:
        recv_exactly(nxt, TELNET_OFFER_SIZE, 10)
    nxt.close()
    return inst.log.wait_for("127.0.0.1 closed session", 10, drop)


def half_close_gets_reply(inst, device, port, mark):
    """A client that shuts its sending side after a request (as `socat -t2` and `nc -N` do) still
    gets the device's reply; then the session ends with the close line."""
    client = connect_when_listening(port)
    mark = inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    client.sendall(b"READ\r\n")
    check(device.read_exactly(6, 10) == b"READ\r\n", "the request reaches the device")
    client.shutdown(socket.SHUT_WR)
    reply = bytes((i * 13 + 1) & 0xFF for i in range(200))
    device.write(reply)
    got = recv_exactly(client, len(reply), 10)
    check(got == reply, f"the half-closed client gets the whole reply (got {len(got)} bytes)")
    mark = inst.log.wait_for("127.0.0.1 closed session", 10, mark)
    check(wait_closed_by_peer(client, 5), "the half-closed client is disconnected afterwards")
    client.close()
    return mark


def scenario_client_endings(args):
    """Debug mode off, as in production: a 255-byte reply without a stall; a half-closed client
    that gets its reply; a client that leaves while the device reads nothing, raw and with
    remote port control."""
    device = PtyDevice()
    map_com(5, device.path)
    inst = Installation(args.bin_dir, "Velmora Client Endings", SERVICE_PREFIX + "Client_Endings")
    port = free_tcp_port()
    inst.write_ini("COM5", port, debug=False)
    inst.register()
    inst.start()
    mark, _ = wait_for_prefix(inst.log, "STARTUP: ", 30)
    mark = round_trip_255(inst, device, port, mark)
    mark = half_close_gets_reply(inst, device, port, mark)
    for amount in (200_000, 8 * 1024 * 1024):
        mark = client_leaves(inst, device, port, mark, amount)
    inst.stop()
    inst.expect_stopped_cleanly()
    mark = inst.log.wait_for(SHUTDOWN, 10, mark)
    # The same with remote port control: the Telnet layer reads on and drops as the raw one.
    inst.write_ini("COM5", port, debug=False, extra=("Protocol=RFC2217",))
    inst.start()
    mark, _ = wait_for_prefix(inst.log, "STARTUP: ", 30, mark + 1)
    mark = client_leaves(inst, device, port, mark, 8 * 1024 * 1024, telnet=True)
    inst.stop()
    inst.expect_stopped_cleanly()
    inst.log.wait_for(SHUTDOWN, 10, mark)
    inst.log.expect_complete()
    inst.delete()
    device.close()


def scenario_allowed_clients(args):
    """AllowedClients and ListenAddress: refused clients are closed at once and leave the device
    alone, an allowed one is served during a stream of refusals and after it, refusal lines are
    few, the listener answers on the listen address only, and a bad value stops the start."""
    modem_log = args.modem_log
    device = PtyDevice()
    map_com(5, device.path)
    inst = Installation(args.bin_dir, "Velmora Allowed", SERVICE_PREFIX + "Allowed")
    port = free_tcp_port()
    inst.write_ini("COM5", port, debug=True, drop_dtr=True, drop_rts=True,
                   extra=("AllowedClients=127.0.0.1, 127.0.1.0/24", "ListenAddress=127.0.0.1"))
    inst.register()
    inst.start()
    mark = inst.log.wait_for("Waiting for connection", 30)
    modem_mark = len(modem_lines(modem_log)) if modem_log else 0

    try:
        with socket.create_connection(("127.0.0.2", port), timeout=5):
            reached = True
    except ConnectionRefusedError:
        reached = False
    check(not reached, "nothing listens on 127.0.0.2: the listener has 127.0.0.1 only")

    # 300 refused connects from 30 addresses outside the list; the allowed client comes in
    # after the first 100 of them.
    refused_sources = [f"127.0.0.{n}" for n in range(2, 32)]
    closed = 0
    for i in range(100):
        with connect_from(refused_sources[i % 30], port) as sock:
            closed += wait_closed_by_peer(sock, 10)
    client = connect_from("127.0.1.9", port)
    mark = inst.log.wait_for("127.0.1.9 connected to COM5", 10, mark)
    for i in range(100, 300):
        try:
            with connect_from(refused_sources[i % 30], port) as sock:
                closed += wait_closed_by_peer(sock, 10)
        except ConnectionRefusedError:
            closed += 1  # the listener is closed while the session runs: refused as before
    client.sendall(b"allowed")
    check(device.read_exactly(7, 10) == b"allowed", "the allowed client's bytes reach the device")
    device.write(b"reply")
    check(recv_exactly(client, 5, 10) == b"reply", "the device's reply reaches the allowed client")
    client.close()
    mark = inst.log.wait_for("127.0.1.9 closed session", 10, mark)
    check(closed == 300, f"every refused client was closed at once ({closed} of 300)")

    # After the refusals: the next allowed client is served at once.
    client = connect_when_listening(port)
    inst.log.wait_for("127.0.0.1 connected to COM5", 10, mark)
    client.close()
    inst.log.wait_for("127.0.0.1 closed session", 10, mark)

    messages = inst.log.messages()
    refusal_lines = [m for m in messages if m.endswith(" refused: not an allowed client")
                     or " refused: not an allowed client (" in m]
    check(30 <= len(refusal_lines) <= 60,
          f"one refusal line per address and minute ({len(refusal_lines)} lines for 30 addresses)")
    unlogged = [source for source in refused_sources
                if f"{source} refused: not an allowed client" not in messages]
    check(not unlogged, "the first refusal of every address is logged", f"missing {unlogged}")
    check(not any(m.startswith("127.0.0.") and " connected to " in m and
                  not m.startswith("127.0.0.1 ") for m in messages),
          "no refused client got a session")
    if modem_log:
        lines = modem_lines(modem_log)[modem_mark:]
        check(lines.count("DTR=1 RTS=1") == 2,
              f"DTR and RTS raised for the two allowed sessions only ({lines})")
    status = StatusFile(inst, "Allowed", "COM5", port)
    status.wait_for([status.state("listening"), status.sample("vmds_sessions_total", 2)], 10,
                    "two sessions counted, refusals not")
    inst.stop()
    inst.expect_stopped_cleanly()
    inst.log.expect_complete()
    inst.delete()

    bad = Installation(args.bin_dir, "Velmora Bad List", SERVICE_PREFIX + "Bad_List")
    bad.write_ini("COM5", free_tcp_port(), debug=True,
                  extra=("AllowedClients=10.1.2.3, 10.1.2.0/33",))
    bad.register()
    bad.start()
    bad.expect_stopped_with((SERVICE_SPECIFIC_ERROR, EXIT_BAD_ACCESS_SETTINGS))
    bad.log.wait_for(SHUTDOWN, 10)
    bad.log.expect_in_order([
        'AllowedClients entry "10.1.2.0/33" is not an IPv4 address or range', NOT_INITIALISED,
        "--Debug Mode Enabled--", SHUTDOWN])
    check("Serial port initialized" not in bad.log.messages(),
          "the serial port was not opened for a bad allow-list")
    bad.log.expect_complete()
    bad.delete()
    device.close()


def scenario_remote_port_control(args):
    """Protocol=RFC2217 with pyserial's rfc2217:// client: settings, DTR/RTS, break and the
    device's lines through Win32 (SetCommState, EscapeCommFunction, WaitCommEvent), 1 MB with
    many IACs both ways, purge, the close command, and the next session from the configured
    settings; then a bad Protocol value stops the start."""
    import rfc2217_checks
    device = PtyDevice()
    map_com(5, device.path)
    inst = Installation(args.bin_dir, "Velmora Remote", SERVICE_PREFIX + "Remote")
    port = free_tcp_port()
    inst.write_ini("COM5", port, debug=True, drop_dtr=True, drop_rts=True,
                   extra=("Protocol=RFC2217",))
    inst.register()
    inst.start()
    inst.log.wait_for("Waiting for connection", 30)
    rfc2217_checks.run_checks(port, device, args.modem_log, args.modem_input,
                              inst.log.wait_for, inst.log.messages)
    inst.stop()
    inst.expect_stopped_cleanly()
    inst.log.expect_complete()
    inst.delete()

    bad = Installation(args.bin_dir, "Velmora Bad Protocol", SERVICE_PREFIX + "Bad_Protocol")
    bad.write_ini("COM5", free_tcp_port(), debug=True, extra=("Protocol=Telnet",))
    bad.register()
    bad.start()
    bad.expect_stopped_with((SERVICE_SPECIFIC_ERROR, EXIT_BAD_PROTOCOL))
    bad.log.wait_for(SHUTDOWN, 10)
    bad.log.expect_in_order(['Protocol "Telnet" is not Raw or RFC2217', NOT_INITIALISED,
                             "--Debug Mode Enabled--", SHUTDOWN])
    bad.delete()
    device.close()


def scenario_tls(args):
    """TLS through the Winsock socket of vmds.exe: the shared checks of tls_checks.py with
    openssl s_client and Python's ssl (1 MB both ways each, refused client certificates, a plain
    TCP client, a stalled handshake, a stop during a handshake), the files named relative to the
    instance directory; a client that leaves a stalled device behind; then a key that does not
    match its certificate stops the start."""
    import tls_checks
    device = PtyDevice()
    map_com(5, device.path)
    inst = Installation(args.bin_dir, "Velmora TLS", SERVICE_PREFIX + "TLS")
    certs = tls_checks.make_certificates(inst.dir)
    port = free_tcp_port()
    inst.write_ini("COM5", port, debug=True, drop_dtr=True, drop_rts=True,
                   extra=tls_checks.startup_lines())
    inst.register()
    inst.start()
    inst.log.wait_for("Waiting for connection", 30)

    def stop():
        inst.stop()
        inst.expect_stopped_cleanly()

    tls_checks.run_checks(port, device, certs, inst.log.path, stop)
    # A client that leaves a stalled device behind, with debug mode off (its dumps of every
    # dropped byte would be the slow part).
    inst.write_ini("COM5", port, debug=False, extra=tls_checks.startup_lines(client_ca=False))
    mark = len(inst.log.messages())
    inst.start()
    wait_for_prefix(inst.log, "STARTUP: ", 30, mark)
    tls_checks.client_leaves_stalled_device(port, device, certs, inst.log.path)
    stop()
    inst.log.expect_complete()
    inst.delete()

    bad = Installation(args.bin_dir, "Velmora Bad TLS", SERVICE_PREFIX + "Bad_TLS")
    for name in ("server.pem", "unrelated.key"):
        shutil.copy(certs[name], bad.dir)
    bad.write_ini("COM5", free_tcp_port(), debug=True,
                  extra=("TLSCertificate=server.pem", "TLSKey=unrelated.key"))
    bad.register()
    bad.start()
    bad.expect_stopped_with((SERVICE_SPECIFIC_ERROR, EXIT_BAD_TLS_SETTINGS))
    bad.log.wait_for(SHUTDOWN, 10)
    bad.log.expect_in_order([
        f'TLSKey file "{bad.win_dir}\\unrelated.key" does not match the certificate in '
        f'"{bad.win_dir}\\server.pem"', NOT_INITIALISED, "--Debug Mode Enabled--", SHUTDOWN])
    check("Serial port initialized" not in bad.log.messages(),
          "the serial port was not opened for a key that does not match")
    bad.log.expect_complete()
    bad.delete()
    device.close()


SCENARIOS = {
    "service-host": scenario_service_host,
    "missing-port": scenario_missing_port,
    "data-path": scenario_data_path,
    "stalled-device": scenario_stalled_device,
    "client-endings": scenario_client_endings,
    "status-file": scenario_status_file,
    "allowed-clients": scenario_allowed_clients,
    "remote-port-control": scenario_remote_port_control,
    "tls": scenario_tls,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--modem-log", default="")
    parser.add_argument("--modem-input", default="")
    parser.add_argument("--eventlog-trace", default="")
    args = parser.parse_args()
    try:
        SCENARIOS[args.scenario](args)
    except CheckFailed as failure:
        say(f"FAILED: {failure}")
        return 1
    except subprocess.TimeoutExpired as failure:
        say(f"FAILED: time-out: {failure}")
        return 1
    except OSError as failure:
        say(f"FAILED: {type(failure).__name__}: {failure}")
        return 1
    say(f"PASSED: {args.scenario}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
