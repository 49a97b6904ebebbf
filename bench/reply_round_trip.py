#!/usr/bin/python3
"""Request/reply round trips through a bridge, as a polling client sees them.

The client is pyserial's socket:// handler (a client this project did not write); the device sits
on the master side of a pseudo-terminal and answers every 8-byte request with a reply of the given
size. Prints the median and 99th percentile per reply size for each bridge named:

    /usr/bin/python3 bench/reply_round_trip.py --vmds build/linux/bin/vmds [--vmds OTHER] [--socat]
        [--rfc2217] [--shim build/linux/tests/support/libvmds_modem_shim.so] [--sizes 64,65,255]
        [--trips 50]

With --rfc2217 every vmds also runs with Protocol=RFC2217, measured through pyserial's
rfc2217:// handler.

A benchmark: it prints figures and never judges them.
"""
import argparse, os, select, shutil, signal, socket, statistics, subprocess, sys, tempfile, time, tty
import serial  # python3-serial


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, deadline):
    # Read from the kernel's socket table: a probe connection would be a session of its own.
    while time.monotonic() < deadline:
        with open("/proc/net/tcp") as table:
            for line in table.readlines()[1:]:
                fields = line.split()
                if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                    return True
        time.sleep(0.02)
    return False


def start_vmds(binary, shim, tty_path, port, work, protocol="Raw"):
    os.makedirs(work, exist_ok=True)
    shutil.copy(binary, os.path.join(work, "vmds"))
    ini = ("[Daltrimore Velmora Device Server - Instance Manager - Master]\n \nDebugEnabled=No\n"
           "LogFilename=.\\vmds.log\nTCPPort=%d\nCOMPort=%s\nCOMPortBitRate=115200\n"
           "COMPortDataBits=8\nCOMPortParity=NOPARITY\nCOMPortStopBits=ONESTOPBIT\n"
           "DropDTRonSocketClose=No\nDropRTSonSocketClose=No\nMaxConnectTime=0\nIdleTimeout=0\n"
           "Protocol=%s\n" % (port, tty_path, protocol))
    with open(os.path.join(work, "vmds.ini"), "w", newline="\r\n") as f:
        f.write(ini)
    env = dict(os.environ)
    if shim:
        env["LD_PRELOAD"] = os.path.abspath(shim)
    # The copy is run by its own path: vmds reads the vmds.ini beside its program.
    return subprocess.Popen([os.path.join(work, "vmds")], cwd=work, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start_socat(tty_path, port):
    return subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port,
                             "FILE:%s,raw,echo=0" % tty_path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def measure(port, master, sizes, trips, scheme="socket"):
    client = serial.serial_for_url("%s://127.0.0.1:%d" % (scheme, port), timeout=5)
    results = {}
    try:
        for size in sizes:
            reply = bytes((i * 7 + 1) % 256 for i in range(size))
            times = []
            for n in range(trips + 3):
                start = time.perf_counter()
                client.write(b"READ%04d" % n)
                got = b""
                while len(got) < 8:  # the device reads the request ...
                    r, _, _ = select.select([master], [], [], 5)
                    if not r:
                        raise RuntimeError("the request did not reach the device")
                    got += os.read(master, 8 - len(got))
                os.write(master, reply)  # ... and answers at once
                answer = client.read(size)
                if answer != reply:
                    raise RuntimeError("reply of %d bytes arrived as %d bytes" % (size, len(answer)))
                if n >= 3:  # the first trips warm up
                    times.append((time.perf_counter() - start) * 1000.0)
            times.sort()
            results[size] = (statistics.median(times), times[min(len(times) - 1, int(len(times) * 0.99))])
    finally:
        client.close()
    return results


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vmds", action="append", default=[])
    ap.add_argument("--shim", default="")
    ap.add_argument("--socat", action="store_true")
    ap.add_argument("--rfc2217", action="store_true")
    ap.add_argument("--sizes", default="64,65,255")
    ap.add_argument("--trips", type=int, default=50)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    bridges = [("vmds " + b, b, "Raw") for b in args.vmds]
    if args.rfc2217:
        bridges += [("vmds RFC2217 " + b, b, "RFC2217") for b in args.vmds]
    bridges += [("socat", None, "Raw")] if args.socat else []
    rows = []
    for name, binary, protocol in bridges:
        master, slave = os.openpty()
        tty.setraw(slave)
        tty_path = os.ttyname(slave)
        port = free_port()
        work = tempfile.mkdtemp(prefix="rt-")
        proc = (start_vmds(binary, args.shim, tty_path, port, work, protocol) if binary
                else start_socat(tty_path, port))
        try:
            if not wait_listening(port, time.monotonic() + 10):
                print("%s did not listen" % name, file=sys.stderr)
                continue
            scheme = "rfc2217" if protocol == "RFC2217" else "socket"
            rows.append((name, measure(port, master, sizes, args.trips, scheme)))
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
            os.close(master)
            os.close(slave)
            shutil.rmtree(work, ignore_errors=True)
    print("request of 8 bytes, reply of N bytes; round trip in ms, median / p99 over %d trips" % args.trips)
    print("%-50s" % "bridge" + "".join("%18s" % ("N=%d" % s) for s in sizes))
    for name, res in rows:
        print("%-50s" % name[-50:] + "".join("%18s" % ("%.2f / %.2f" % res[s]) for s in sizes))


if __name__ == "__main__":
    main()
