#!/usr/bin/python3
"""Request/reply round trips through a bridge, as a polling client sees them.

The client is pyserial's socket:// handler (a client this project did not write); the device sits
on the master side of a pseudo-terminal and answers every 8-byte request with a reply of the given
size. Prints the median and 99th percentile per reply size for each bridge named:

    /usr/bin/python3 bench/reply_round_trip.py --vmds build/linux/bin/vmds [--vmds OTHER] [--socat]
        [--rfc2217] [--shim build/linux/tests/support/libvmds_modem_shim.so] [--sizes 64,65,255]
        [--trips 50] [--tls] [--flood-mb 8]

With --rfc2217 every vmds also runs with Protocol=RFC2217, measured through pyserial's
rfc2217:// handler. With --tls every vmds also runs with TLS (a self-signed EC P-256 certificate
made with the openssl command), measured through Python's ssl module. It then also runs raw
through a plain Python socket, the same client without TLS. With --flood-mb N (and --tls) those
two also move N MB client -> device and then N MB device -> client, and the vmds process's CPU
time (utime + stime of /proc/PID/stat) per MB is printed, with the ratio of TLS to raw.

A benchmark: it prints figures and never judges them.
"""
import argparse, os, select, shutil, signal, socket, ssl, statistics, subprocess, sys, tempfile, time
import tty
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


def make_certificate(work):
    """A self-signed server certificate for 127.0.0.1 and its key; returns (certificate, key)."""
    cert, key = os.path.join(work, "server.pem"), os.path.join(work, "server.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert, "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "2"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    return cert, key


def cpu_seconds(pid):
    """utime + stime of the process (all its threads), in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class SslClient:
    """A client with pyserial's write/read(size) calls (read waits up to 5 s for size): TLS, or
    with no certificate a plain socket, the TLS rows' raw counterpart."""

    def __init__(self, port, cert):
        sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = sock
        if cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.load_verify_locations(cert)
            self.sock = context.wrap_socket(sock, server_hostname="127.0.0.1")

    def write(self, data):
        self.sock.sendall(data)

    def read(self, size):
        got = b""
        while len(got) < size:
            piece = self.sock.recv(size - len(got))
            if not piece:
                break
            got += piece
        return got

    def close(self):
        self.sock.close()


def flood(pid, port, master, megabytes, cert):
    """CPU ms per MB of the bridge for `megabytes` MB client -> device, then device -> client."""
    size = megabytes << 20
    block = bytes(range(256)) * 64
    client = SslClient(port, cert).sock
    client.setblocking(False)
    os.set_blocking(master, False)
    results = []
    try:
        for way in ("up", "down"):
            before = cpu_seconds(pid)
            sent = got = 0
            deadline = time.monotonic() + 120
            while got < size and time.monotonic() < deadline:
                try:
                    if way == "up":
                        if sent < size:
                            sent += client.send(block[:min(len(block), size - sent)])
                    elif sent < size:
                        sent += os.write(master, block[:min(4096, size - sent)])
                except (BlockingIOError, ssl.SSLWantWriteError, ssl.SSLWantReadError):
                    pass
                try:
                    if way == "up":
                        got += len(os.read(master, 65536))
                    else:
                        piece = client.recv(65536)
                        got += len(piece)
                        while cert and client.pending():
                            got += len(client.recv(65536))
                except (BlockingIOError, ssl.SSLWantReadError, ssl.SSLWantWriteError):
                    pass
                source = master if way == "up" else client
                sink = client if way == "up" else master
                select.select([source], [sink] if sent < size else [], [], 0.05)
            if got < size:
                raise RuntimeError("flood %s: %d of %d bytes arrived" % (way, got, size))
            results.append((cpu_seconds(pid) - before) * 1000.0 / megabytes)
    finally:
        os.set_blocking(master, True)
        client.close()
    return results


def start_vmds(binary, shim, tty_path, port, work, protocol="Raw", tls=None):
    os.makedirs(work, exist_ok=True)
    shutil.copy(binary, os.path.join(work, "vmds"))
    ini = ("[Daltrimore Velmora Device Server - Instance Manager - Master]\n \nDebugEnabled=No\n"
           "LogFilename=.\\vmds.log\nTCPPort=%d\nCOMPort=%s\nCOMPortBitRate=115200\n"
           "COMPortDataBits=8\nCOMPortParity=NOPARITY\nCOMPortStopBits=ONESTOPBIT\n"
           "DropDTRonSocketClose=No\nDropRTSonSocketClose=No\nMaxConnectTime=0\nIdleTimeout=0\n"
           "Protocol=%s\n" % (port, tty_path, protocol))
    if tls:
        ini += "TLSCertificate=%s\nTLSKey=%s\n" % tls
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


def measure(port, master, sizes, trips, scheme="socket", cert=None):
    if cert is not None:
        client = SslClient(port, cert)
    else:
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
    ap.add_argument("--tls", action="store_true")
    ap.add_argument("--flood-mb", type=int, default=0)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    bridges = [("vmds " + b, b, "Raw") for b in args.vmds]
    if args.rfc2217:
        bridges += [("vmds RFC2217 " + b, b, "RFC2217") for b in args.vmds]
    if args.tls:
        # Raw and TLS through the same Python client, a plain socket and an ssl one.
        bridges += [("vmds raw, python socket " + b, b, "RawSocket") for b in args.vmds]
        bridges += [("vmds TLS, python ssl " + b, b, "TLS") for b in args.vmds]
    bridges += [("socat", None, "Raw")] if args.socat else []
    certificates = tempfile.mkdtemp(prefix="rt-tls-")
    tls = make_certificate(certificates) if args.tls else None
    rows = []
    cpu = {}
    for name, binary, protocol in bridges:
        master, slave = os.openpty()
        tty.setraw(slave)
        tty_path = os.ttyname(slave)
        port = free_port()
        work = tempfile.mkdtemp(prefix="rt-")
        proc = (start_vmds(binary, args.shim, tty_path, port, work,
                           "RFC2217" if protocol == "RFC2217" else "Raw",
                           tls if protocol == "TLS" else None) if binary
                else start_socat(tty_path, port))
        try:
            if not wait_listening(port, time.monotonic() + 10):
                print("%s did not listen" % name, file=sys.stderr)
                continue
            scheme = "rfc2217" if protocol == "RFC2217" else "socket"
            cert = tls[0] if protocol == "TLS" else "" if protocol == "RawSocket" else None
            rows.append((name, measure(port, master, sizes, args.trips, scheme, cert)))
            if args.flood_mb and binary and protocol in ("RawSocket", "TLS"):
                if not wait_listening(port, time.monotonic() + 10):
                    raise RuntimeError("%s did not listen again" % name)
                cpu[(binary, protocol)] = flood(proc.pid, port, master, args.flood_mb, cert)
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
    shutil.rmtree(certificates, ignore_errors=True)
    if not cpu:
        return
    print()
    print("CPU of the vmds process per MB moved (%d MB each way; ms per MB)" % args.flood_mb)
    print("%-50s%18s%18s" % ("bridge", "client->device", "device->client"))
    for (binary, protocol), (up, down) in cpu.items():
        kind = "raw" if protocol == "RawSocket" else protocol
        print("%-50s%18.1f%18.1f" % (("vmds %s %s" % (kind, binary))[-50:], up, down))
        raw = cpu.get((binary, "RawSocket"))
        if protocol == "TLS" and raw:
            print("%-50s%17.2fx%17.2fx" % ("  TLS / raw", up / raw[0], down / raw[1]))


if __name__ == "__main__":
    main()
