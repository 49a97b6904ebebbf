#!/usr/bin/env python3
"""scripts/install-linux.sh, against a pseudo-terminal.

Into a temporary root (DESTDIR):
- the files the unit expects, with their modes; `systemd-analyze --root verify` passes on
  vmds@<instance>.service without a word;
- refusals (a TCP port or serial port another instance has, bad names, ports and devices)
  write nothing;
- a second run keeps an edited vmds.ini.

As root, onto the real paths inside a private mount namespace (copies of /etc, empty /var/lib
and /var/log, no systemd), where the user vmds is made for real:
- owners and modes: program and vmds.ini root's, only the state directory the user vmds's;
- the instance's program copy, run as vmds as the unit runs it, finds its vmds.ini, bridges the
  pseudo-terminal at the unusual bit rate given, logs into its state directory and ends with 0
  on SIGTERM;
- the user vmds, acting before every file command of the script (install, chmod, chown, mv,
  mktemp, cat, dd, awk), replaces every name it can in the instances' directories with a
  symbolic link to a file only root may read (vmds.ini, vmds.log, the temporary file): the file
  keeps its owner, mode and content, and no name in root's directories could be replaced;
- instances of the earlier layout (all in a directory vmds owns) are moved with their settings;
  a vmds.ini there that is a symbolic link or a pipe stops the run before anything is written.

    linux_install_test.py --repo DIR --binary VMDS --shim LIBVMDS_MODEM_SHIM
"""

import argparse
import glob
import os
import pwd
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

SKIPPED = 77


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


def run_install(script, binary, extra, env, expect=0):
    done = subprocess.run(["bash", script, *extra, "--binary", binary], env=env,
                          capture_output=True, text=True, timeout=120)
    if done.returncode != expect:
        fail(f"install-linux.sh {' '.join(extra)}: exit {done.returncode}, expected "
             f"{expect}\n{done.stdout}{done.stderr}")
    return done.stdout + done.stderr


def into_temporary_root(args, script, unit, device):
    root = tempfile.mkdtemp(prefix="vmds-install.")
    port = free_port()
    try:
        def install(*extra, expect=0):
            return run_install(script, args.binary, extra, {**os.environ, "DESTDIR": root},
                               expect)

        install("lab1", device, str(port), "--bit-rate", "250000")
        program = os.path.join(root, "usr/local/lib/vmds/vmds")
        conf = os.path.join(root, "etc/vmds/lab1")
        state = os.path.join(root, "var/lib/vmds/lab1")
        ini = os.path.join(conf, "vmds.ini")
        unit_copy = os.path.join(root, "etc/systemd/system/vmds@.service")
        expected = {program: 0o755, conf: 0o755, os.path.join(conf, "vmds"): 0o755,
                    ini: 0o640, state: 0o750, unit_copy: 0o644}
        modes = {path: stat.S_IMODE(os.stat(path).st_mode) for path in expected
                 if os.path.exists(path)}
        check(modes == expected, "the program, its instance copy, vmds.ini, the state directory "
              "and the unit are laid out with their modes", str(modes))
        check(read(program) == read(args.binary) == read(os.path.join(conf, "vmds"))
              and read(unit_copy) == read(unit),
              "the copies are the built program and the unit template")
        # A device allow-list (ProtectClock= brings one before systemd 252) refuses serial ports.
        directives = [line.split("=")[0] for line in read(unit).decode().splitlines()]
        check(not {"ProtectClock", "DeviceAllow", "DevicePolicy", "PrivateDevices"}
              & set(directives), "the unit sets no device allow-list", str(directives))
        text = read(ini).decode()
        for line in (f"TCPPort={port}\n", f"COMPort={device}\n", "COMPortBitRate=250000\n",
                     "LogFilename=/var/lib/vmds/lab1/vmds.log\n"):
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
        listing = lambda: [sorted(os.listdir(os.path.join(root, d)))
                           for d in ("etc/vmds", "var/lib/vmds")]
        before = listing()
        for extra, message in refusals:
            out = install(*extra, expect=1)
            check(message in out and listing() == before,
                  f"refused and nothing written: {message}", out)

        edited = read(ini).replace(b"IdleTimeout=120", b"IdleTimeout=300")
        with open(ini, "wb") as f:
            f.write(edited)
        out = install("lab1", device, str(port))
        check(read(ini) == edited and "Kept the existing" in out,
              "a second run keeps the edited vmds.ini")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def owner_and_mode(path):
    st = os.lstat(path)
    return (pwd.getpwuid(st.st_uid).pw_name, st.st_gid, stat.S_IMODE(st.st_mode),
            stat.S_ISREG(st.st_mode))


def onto_the_real_paths(args, script, device, master):
    """Runs inside a private mount namespace, as root."""
    top = tempfile.mkdtemp(prefix="vmds-install-root.")
    try:
        in_namespace(args, script, device, master, top)
    finally:
        # The namespace's mounts end with it; the copy of /etc is the test's own.
        subprocess.run(["umount", "/etc"], timeout=60, stderr=subprocess.DEVNULL)
        shutil.rmtree(top, ignore_errors=True)


def in_namespace(args, script, device, master, top):
    os.chmod(top, 0o755)  # the user vmds reaches the shim and the hook's files
    for command in (["cp", "-a", "/etc", os.path.join(top, "etc")],
                    ["mount", "--bind", os.path.join(top, "etc"), "/etc"],
                    ["mount", "-t", "tmpfs", "tmpfs", "/var/lib"],
                    ["mount", "-t", "tmpfs", "tmpfs", "/var/log"]) + (
                   (["mount", "-t", "tmpfs", "tmpfs", "/run/systemd"],)
                   if os.path.isdir("/run/systemd") else ()):
        subprocess.run(command, check=True, timeout=60)

    # The hook: before each file command the script runs, the user vmds (once it exists)
    # replaces every name it can in the instances' directories with a link to the victim.
    victim = "/etc/vmds-victim"
    with open(victim, "wb") as f:
        f.write(b"only root reads this\n")
    os.chmod(victim, 0o600)
    hooks = os.path.join(top, "hooks")
    os.mkdir(hooks)
    armed = os.path.join(top, "armed")
    planted = os.path.join(top, "planted")
    with open(planted, "w"):
        pass
    os.chmod(planted, 0o666)
    attack = os.path.join(top, "attack.sh")
    with open(attack, "w") as f:
        f.write(f"""#!/bin/sh
[ -e {armed} ] && id vmds >/dev/null 2>&1 || exit 0
setpriv --reuid=vmds --regid=vmds --clear-groups sh -c '
  for dir in /etc/vmds /etc/vmds/* /var/lib/vmds/*; do
    for name in "$dir"/* "$dir"/.[!.]* "$dir/vmds.ini" "$dir/vmds.log" "$dir/vmds"; do
      [ -d "$name" ] && [ ! -L "$name" ] && continue
      ln -sfn {victim} "$name" 2>/dev/null && echo "$name" >>{planted}
    done
  done' || true
""")
    os.chmod(attack, 0o755)
    for name in ("install", "chmod", "chown", "mv", "mktemp", "cat", "dd", "awk"):
        real = shutil.which(name)
        with open(os.path.join(hooks, name), "w") as f:
            f.write(f'#!/bin/sh\n{attack}\nexec {real} "$@"\n')
        os.chmod(os.path.join(hooks, name), 0o755)
    env = {**os.environ, "PREFIX": os.path.join(top, "prefix"),
           "PATH": hooks + ":" + os.environ["PATH"]}
    env.pop("DESTDIR", None)

    def install(*extra, expect=0, attacked=False):
        if attacked:
            open(armed, "w").close()
        try:
            return run_install(script, args.binary, extra, env, expect)
        finally:
            if attacked:
                os.unlink(armed)

    def victim_intact(what):
        check(owner_and_mode(victim) == ("root", 0, 0o600, True)
              and read(victim) == b"only root reads this\n",
              f"{what}: the file behind the planted links keeps its owner, mode and content",
              str(owner_and_mode(victim)))
        with open(planted) as f:
            names = f.read().split()
        check(names and all(n.startswith("/var/lib/vmds/") for n in names),
              f"{what}: the user vmds could replace names in its state directories only", names)

    port = free_port()
    install("lab1", device, str(port), "--bit-rate", "250000")
    vmds_gid = pwd.getpwnam("vmds").pw_gid
    layout = {"/etc/vmds": ("root", 0, 0o755, False), "/etc/vmds/lab1": ("root", 0, 0o755, False),
              "/etc/vmds/lab1/vmds": ("root", 0, 0o755, True),
              "/etc/vmds/lab1/vmds.ini": ("root", vmds_gid, 0o640, True),
              "/var/lib/vmds": ("root", 0, 0o755, False),
              "/var/lib/vmds/lab1": ("vmds", vmds_gid, 0o750, False)}
    got = {path: owner_and_mode(path) for path in layout}
    check(got == layout, "program and vmds.ini are root's; only the state directory is vmds's",
          str(got))

    # The instance as the unit runs it: its own copy, as the user vmds.
    shim = os.path.join(top, "libvmds_modem_shim.so")
    shutil.copy(args.shim, shim)
    os.chown(device, pwd.getpwnam("vmds").pw_uid, -1)
    server_env = {**os.environ, "LD_PRELOAD": shim,
                  "VMDS_MODEM_LOG": "/var/lib/vmds/lab1/modem.log",
                  "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=1"}
    server = subprocess.Popen(["setpriv", "--reuid=vmds", "--regid=vmds", "--init-groups",
                               "/etc/vmds/lab1/vmds"], cwd="/var/lib/vmds/lab1", env=server_env,
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
            check(got == b"ping", "the installed instance, run as vmds, bridges its "
                  "pseudo-terminal")
        server.send_signal(signal.SIGTERM)
        check(server.wait(timeout=30) == 0, "SIGTERM ends it with exit code 0")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    log = read("/var/lib/vmds/lab1/vmds.log")
    check(b" STARTUP: " in log and b" SHUTDOWN: " in log
          and not os.path.exists("/etc/vmds/lab1/vmds.log"), "it logs into its state directory")
    status = read("/var/lib/vmds/lab1/vmds.prom").decode()
    labels = f'instance="lab1",com_port="{device}",tcp_port="{port}"'
    check(f'vmds_state{{{labels},state="stopping"}} 1\n' in status
          and f"vmds_device_bytes_total{{{labels}}} 4\n" in status
          and not os.path.exists("/etc/vmds/lab1/vmds.prom"),
          "its status file vmds.prom is beside the log, labelled with the instance name", status)

    # The update path and a new instance, with vmds planting links before every step: the old
    # vmds.ini place, the log and the temporary file of the new vmds.ini.
    ini = read("/etc/vmds/lab1/vmds.ini")
    out = install("lab1", device, str(port), attacked=True)
    check("Kept the existing /etc/vmds/lab1/vmds.ini" in out
          and read("/etc/vmds/lab1/vmds.ini") == ini, "a second run keeps vmds.ini")
    check(os.path.islink("/var/lib/vmds/lab1/vmds.log"), "the planted log link is in place")
    victim_intact("updating lab1")
    out = install("lab2", "/dev/null", str(free_port()), attacked=True)
    check(owner_and_mode("/etc/vmds/lab2/vmds.ini") == ("root", vmds_gid, 0o640, True)
          and b"TCPPort=" in read("/etc/vmds/lab2/vmds.ini"), "lab2 has its vmds.ini", out)
    victim_intact("installing lab2")

    # Instances of the earlier layout: a directory vmds owns holds the program and vmds.ini.
    vmds = pwd.getpwnam("vmds")

    def earlier_instance(name, content):
        path = os.path.join("/var/lib/vmds", name)
        os.mkdir(path, 0o750)
        os.chown(path, vmds.pw_uid, vmds.pw_gid)
        shutil.copy(args.binary, os.path.join(path, "vmds"))
        if content is not None:
            with open(os.path.join(path, "vmds.ini"), "wb") as f:
                f.write(content)
            os.chmod(os.path.join(path, "vmds.ini"), 0o640)
            os.chown(os.path.join(path, "vmds.ini"), 0, vmds.pw_gid)
        return path

    old_port = free_port()
    old_ini = (f"[Daltrimore Velmora Device Server - Instance Manager - Instance - old1]\r\n"
               f"TCPPort={old_port}\r\nCOMPort=COM7\r\nIdleTimeout=300\r\n"
               f"LogFilename=.\\old1.log\r\nDebugEnabled=No\r\n").encode()
    earlier_instance("old1", old_ini)
    old2 = earlier_instance("old2", None)
    as_vmds = ["setpriv", "--reuid=vmds", "--regid=vmds", "--clear-groups"]
    for make, message in ((["ln", "-s", victim], "is a symbolic link"),
                          (["mkfifo"], "is not a regular file")):
        subprocess.run(as_vmds + make + [os.path.join(old2, "vmds.ini")], check=True, timeout=10)
        before = sorted(os.listdir("/etc/vmds"))
        out = install("lab3", "/dev/zero", str(free_port()), expect=1)
        check(f"/var/lib/vmds/old2/vmds.ini {message}" in out
              and sorted(os.listdir("/etc/vmds")) == before,
              f"an earlier-layout vmds.ini that {message} stops the run before any write", out)
        os.unlink(os.path.join(old2, "vmds.ini"))
    shutil.rmtree(old2)
    out = install("lab3", "/dev/zero", str(old_port), expect=1)
    check(f"TCP port {old_port} is already used by the instance 'old1'" in out,
          "an earlier-layout instance's TCP port is refused", out)
    out = install("lab3", "/dev/zero", str(free_port()))
    moved = old_ini.replace(b".\\old1.log", b"/var/lib/vmds/old1/old1.log")
    check(read("/etc/vmds/old1/vmds.ini") == moved
          and owner_and_mode("/etc/vmds/old1/vmds.ini") == ("root", vmds_gid, 0o640, True)
          and read("/etc/vmds/old1/vmds") == read(args.binary)
          and os.path.exists("/etc/vmds/lab3/vmds.ini"),
          "the earlier-layout instance is moved: its settings, the log where it was", out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repo", required=True)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    args.shim = os.path.abspath(args.shim)
    script = os.path.join(args.repo, "scripts", "install-linux.sh")
    unit = os.path.join(args.repo, "packaging", "linux", "vmds@.service")

    master, slave = os.openpty()
    tty.setraw(slave)
    device = os.ttyname(slave)
    try:
        if args.in_namespace:
            onto_the_real_paths(args, script, device, master)
            print("linux install test passed (real paths)", flush=True)
            return
        into_temporary_root(args, script, unit, device)
    finally:
        os.close(master)
        os.close(slave)
    if os.geteuid() != 0 or not shutil.which("unshare"):
        print("SKIPPED: the real paths need root and unshare", flush=True)
        sys.exit(SKIPPED)
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable,
                           os.path.abspath(__file__), "--in-namespace", "--repo", args.repo,
                           "--binary", args.binary, "--shim", args.shim], timeout=240)
    if done.returncode != 0:
        fail("the install onto the real paths")
    print("linux install test passed", flush=True)


if __name__ == "__main__":
    main()
