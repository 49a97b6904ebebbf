#!/usr/bin/env python3
"""The Linux vmds with Protocol=RFC2217 against pyserial's rfc2217:// client.

    rfc2217_client_test.py --vmds PATH --shim LIBVMDS_MODEM_SHIM [--size BYTES]

The program is copied into a temporary instance directory with its vmds.ini; its serial device
is a pseudo-terminal this test holds, under the modem-line shim (VMDS_MODEM_LOG shows DTR, RTS
and break; VMDS_MODEM_INPUT sets CTS, DSR, RI and DCD). Also checks that a bad Protocol value
stops the start with exit code 16. Every wait is bounded. Exit code 0 when every check passed.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
sys.path.insert(0, os.path.join(here, "..", "wine", "server"))

import rfc2217_checks  # noqa: E402
from rfc2217_checks import CheckFailed, check, say  # noqa: E402
from vmds_e2e import LogFile, PtyDevice  # noqa: E402

EXIT_BAD_PROTOCOL = 16


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class NativeInstance:
    def __init__(self, vmds, shim, folder, device_path, port, protocol):
        self.dir = folder
        shutil.copy(vmds, os.path.join(folder, "vmds"))
        lines = [
            "[Daltrimore Velmora Device Server]", " ", "DebugEnabled=Yes",
            "LogFilename=./vmds.log", f"TCPPort={port}", f"COMPort={device_path}",
            "COMPortBitRate=9600", "COMPortDataBits=8", "COMPortParity=NOPARITY",
            "COMPortStopBits=ONESTOPBIT", "DropDTRonSocketClose=Yes", "DropRTSonSocketClose=Yes",
            "MaxConnectTime=0", "IdleTimeout=0", f"Protocol={protocol}",
        ]
        with open(os.path.join(folder, "vmds.ini"), "wb") as f:
            f.write("".join(line + "\r\n" for line in lines).encode("ascii"))
        self.log = LogFile(os.path.join(folder, "vmds.log"))
        self.modem_log = os.path.join(folder, "modem.log")
        self.modem_input = os.path.join(folder, "modem-input.txt")
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "JOURNAL_STREAM")}
        env.update(LD_PRELOAD=shim, VMDS_MODEM_LOG=self.modem_log,
                   VMDS_MODEM_INPUT=self.modem_input,
                   ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:"
                   + os.environ.get("ASAN_OPTIONS", ""))
        self.output = open(os.path.join(folder, "output.txt"), "wb")
        self.process = subprocess.Popen(["./vmds"], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(30)
        self.output.close()
        with open(os.path.join(self.dir, "output.txt"), "rb") as f:
            output = f.read().decode("latin-1")
        for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
            check(marker not in output, f"no {marker!r} in the program's output", output[-2000:])
        return code


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vmds", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--size", type=int, default=1 << 20)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="vmds-rfc2217.")
    device = PtyDevice()
    instance = None
    try:
        os.makedirs(os.path.join(work, "good"))
        port = free_tcp_port()
        instance = NativeInstance(args.vmds, args.shim, os.path.join(work, "good"), device.path,
                                  port, "RFC2217")
        instance.log.wait_for("Waiting for connection", 30)
        rfc2217_checks.run_checks(port, device, instance.modem_log, instance.modem_input,
                                  instance.log.wait_for, instance.log.messages, args.size)
        check(instance.stop() == 0, "the service stops cleanly")
        instance = None

        os.makedirs(os.path.join(work, "bad"))
        bad = NativeInstance(args.vmds, args.shim, os.path.join(work, "bad"), device.path,
                             free_tcp_port(), "Telnet")
        code = bad.process.wait(30)
        bad.stop()
        check(code == EXIT_BAD_PROTOCOL, f"a bad Protocol value stops the start with exit code "
              f"{EXIT_BAD_PROTOCOL} (got {code})")
        bad.log.expect_in_order(['Protocol "Telnet" is not Raw or RFC2217',
                                 "Velmora Device Server could not be initialized successfully"])
        check(not any("Serial port" in m for m in bad.log.messages()),
              "the serial port was not opened for a bad Protocol value")
    except (CheckFailed, Exception) as failure:  # noqa: B902 (pyserial raises its own kinds)
        say(f"FAILED: {type(failure).__name__}: {failure}")
        if instance:
            tail = "\n  ".join(instance.log.messages()[-30:])
            say(f"log ends:\n  {tail}")
            instance.stop()
        return 1
    finally:
        device.close()
        shutil.rmtree(work, ignore_errors=True)
    say("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
