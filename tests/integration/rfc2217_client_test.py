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
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
sys.path.insert(0, os.path.join(here, "..", "wine", "server"))

import rfc2217_checks  # noqa: E402
from checking import check, say  # noqa: E402
from native_instance import NativeInstance, free_tcp_port, report_failure  # noqa: E402
from vmds_e2e import PtyDevice  # noqa: E402

EXIT_BAD_PROTOCOL = 16


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
    except Exception as failure:  # noqa: B902 (pyserial raises its own kinds)
        return report_failure(failure, instance)
    finally:
        device.close()
        shutil.rmtree(work, ignore_errors=True)
    say("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
