"""The Linux vmds run from an instance directory of its own, for the python integration tests.

The program is copied into the directory with a vmds.ini (debug on, the log beside it, the
serial device a pseudo-terminal, DTR and RTS dropped after a session, no time limits) and runs
under the modem-line shim (VMDS_MODEM_LOG shows DTR, RTS and break; VMDS_MODEM_INPUT sets CTS,
DSR, RI and DCD).
"""

import os
import shutil
import signal
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine",
                                "server"))

from checking import CheckFailed, say  # noqa: E402
from vmds_e2e import LogFile  # noqa: E402


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class NativeInstance:
    def __init__(self, vmds, shim, folder, device_path, port, protocol, extra=()):
        self.dir = folder
        shutil.copy(vmds, os.path.join(folder, "vmds"))
        lines = [
            "[Daltrimore Velmora Device Server]", " ", "DebugEnabled=Yes",
            "LogFilename=./vmds.log", f"TCPPort={port}", f"COMPort={device_path}",
            "COMPortBitRate=9600", "COMPortDataBits=8", "COMPortParity=NOPARITY",
            "COMPortStopBits=ONESTOPBIT", "DropDTRonSocketClose=Yes", "DropRTSonSocketClose=Yes",
            "MaxConnectTime=0", "IdleTimeout=0", f"Protocol={protocol}", *extra,
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
            if marker in output:
                raise CheckFailed(f"{marker!r} in the program's output: {output[-2000:]}")
        return code


def report_failure(failure, instance):
    """Says why a test failed, with the end of the log of the instance still running (which is
    stopped); returns the exit code of a failed test."""
    say(f"FAILED: {type(failure).__name__}: {failure}")
    if instance:
        tail = "\n  ".join(instance.log.messages()[-30:])
        say(f"log ends:\n  {tail}")
        instance.stop()
    return 1
