#!/usr/bin/env python3
"""scripts/install-linux.sh into a temporary root (DESTDIR), against a pseudo-terminal:

- the files the unit expects, with their modes; `systemd-analyze --root verify` passes on
  vmds@<instance>.service without a word;
- refusals (a TCP port or serial port another instance has, bad names, ports and devices)
  write nothing;
- a second run keeps an edited vmds.ini;
- the instance's program copy, started as the unit starts it, finds its vmds.ini, bridges the
  pseudo-terminal at the unusual bit rate given, logs into its directory and ends with 0 on
  SIGTERM.

    linux_install_test.py --repo DIR --binary VMDS --shim LIBVMDS_MODEM_SHIM
"""

import argparse
import glob
import os
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import tty


def fail(text):
    print("FAILED: " + text, flush=True)
    sys.exit(1)


def check(condition, text, detail=""):
    if not condition:
        fail(text + (f" ({detail})" if detail else ""))
    print("ok: " + text, flush=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repo", required=True)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--shim", required=True)
    args = parser.parse_args()
    script = os.path.join(args.repo, "scripts", "install-linux.sh")
    unit = os.path.join(args.repo, "packaging", "linux", "vmds@.service")

    master, slave = os.openpty()
    tty.setraw(slave)
    device = os.ttyname(slave)
    root = tempfile.mkdtemp(prefix="vmds-install.")
    port = free_port()
    try:
        def install(*extra, expect=0):
            done = subprocess.run(["bash", script, *extra, "--binary", args.binary],
                                  env={**os.environ, "DESTDIR": root}, capture_output=True,
                                  text=True, timeout=120)
            if done.returncode != expect:
                fail(f"install-linux.sh {' '.join(extra)}: exit {done.returncode}, expected "
                     f"{expect}\n{done.stdout}{done.stderr}")
            return done.stdout + done.stderr

        install("lab1", device, str(port), "--bit-rate", "250000")
        program = os.path.join(root, "usr/local/lib/vmds/vmds")
        instance = os.path.join(root, "var/lib/vmds/lab1")
        ini = os.path.join(instance, "vmds.ini")
        expected = {program: 0o755, os.path.join(instance, "vmds"): 0o755, ini: 0o640,
                    instance: 0o750, os.path.join(root, "etc/systemd/system/vmds@.service"): 0o644}
        modes = {path: stat.S_IMODE(os.stat(path).st_mode) for path in expected
                 if os.path.exists(path)}
        check(modes == expected, "the program, its instance copy, vmds.ini and the unit are laid "
              "out with their modes", str(modes))
        check(read(program) == read(args.binary) == read(os.path.join(instance, "vmds"))
              and read(os.path.join(root, "etc/systemd/system/vmds@.service")) == read(unit),
              "the copies are the built program and the unit template")
        text = read(ini).decode()
        for line in (f"TCPPort={port}\n", f"COMPort={device}\n", "COMPortBitRate=250000\n"):
            check(line in text, f"vmds.ini has {line.strip()}")

        # systemd checks the unit as it would load vmds@lab1 on that root; the root needs the
        # targets the unit's default dependencies name.
        targets = os.path.join(root, "usr/lib/systemd/system")
        os.makedirs(targets)
        for target in glob.glob("/lib/systemd/system/*.target"):
            shutil.copy(target, targets)
        done = subprocess.run(["systemd-analyze", f"--root={root}", "verify",
                               "vmds@lab1.service"], capture_output=True, text=True, timeout=60)
        check(done.returncode == 0 and not (done.stdout + done.stderr).strip(),
              "systemd-analyze verify passes on vmds@lab1.service without a remark",
              done.stdout + done.stderr)

        refusals = [
            (["lab2", device, str(port)], "TCP port %d is already used by the instance 'lab1'"
             % port),
            (["lab2", device, str(port + 1)], "serial port %s is already used by the instance "
             "'lab1'" % device),
            (["../etc", "/dev/null", str(port + 1)], "instance name '../etc'"),
            ([".hidden", "/dev/null", str(port + 1)], "instance name '.hidden'"),
            (["lab2", "/dev/null", "70000"], "TCP port '70000'"),
            (["lab2", "/dev/no-such-tty", str(port + 1)], "is not a character device"),
            (["lab2", "ttyS0", str(port + 1)], "serial port 'ttyS0'"),
            (["lab2", "/dev/null", str(port + 1), "--bit-rate", "fast"], "bit rate 'fast'"),
        ]
        before = sorted(os.listdir(os.path.join(root, "var/lib/vmds")))
        for extra, message in refusals:
            out = install(*extra, expect=1)
            check(message in out and sorted(os.listdir(os.path.join(root, "var/lib/vmds")))
                  == before, f"refused and nothing written: {message}", out)

        edited = read(ini).replace(b"IdleTimeout=120", b"IdleTimeout=300")
        with open(ini, "wb") as f:
            f.write(edited)
        out = install("lab1", device, str(port))
        check(read(ini) == edited and "Kept the existing" in out,
              "a second run keeps the edited vmds.ini")

        # The instance as the unit runs it: its own copy, from its own directory.
        env = {**os.environ, "LD_PRELOAD": args.shim,
               "VMDS_MODEM_LOG": os.path.join(root, "modem.log"),
               "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=1"}
        server = subprocess.Popen([os.path.join(instance, "vmds")], cwd=instance, env=env,
                                  stdin=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while True:
                try:
                    client = socket.create_connection(("127.0.0.1", port), timeout=10)
                    break
                except ConnectionRefusedError:
                    if time.monotonic() > deadline or server.poll() is not None:
                        fail(f"the instance does not listen on {port} (exit {server.poll()})")
                    time.sleep(0.05)  # asks again while the server starts
            with client:
                client.sendall(b"ping")
                got = b""
                deadline = time.monotonic() + 15
                while len(got) < 4 and time.monotonic() < deadline:
                    ready, _, _ = select.select([master], [], [], deadline - time.monotonic())
                    if ready:
                        got += os.read(master, 4 - len(got))
                check(got == b"ping", "the installed instance bridges its pseudo-terminal")
            server.send_signal(signal.SIGTERM)
            check(server.wait(timeout=30) == 0, "SIGTERM ends it with exit code 0")
        finally:
            if server.poll() is None:
                server.kill()
                server.wait()
        log = read(os.path.join(instance, "vmds.log"))
        check(b" STARTUP: " in log and b" SHUTDOWN: " in log, "it logs into its own directory")
    finally:
        os.close(master)
        os.close(slave)
        shutil.rmtree(root, ignore_errors=True)
    print("linux install test passed", flush=True)


if __name__ == "__main__":
    main()
