#!/usr/bin/env python3
"""vpihost serve's Modbus TCP face against clients we did not write (Debian's python3-pymodbus
and mbpoll): the pinned metersim values read from the registers `vpihost modbus-map --csv` gives,
with functions 3 and 4 alike; the documented exceptions (a unit no meter has, a silent meter, a
meter whose line's simulator stopped, an address the map does not have, a count out of range);
16 clients at once while the lines poll, without the lines' lag or missed slots growing; clients
that send garbage, half a frame or nothing dropped (and counted in /metrics) while the others
are served; a write to a gate the site file enables reaching metersim (read back through the
line), writes anywhere else refused.
Usage: serve_modbus.py VPIHOST METERSIM WORKDIR. Exit 0 pass, 1 fail, 77 no pymodbus/mbpoll."""
import csv
import io
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402

try:
    from pymodbus.client import ModbusTcpClient
except ImportError:
    print("skipped: python3-pymodbus is not installed (tools/install-deps.sh --serve)")
    sys.exit(77)
if shutil.which("mbpoll") is None:
    print("skipped: mbpoll is not installed (tools/install-deps.sh --serve)")
    sys.exit(77)

SITE = """site = "modbus test"
backoff_max = "2s"
[modbus_tcp]
listen = "127.0.0.1:0"
idle_timeout = "2s"
max_clients = 40
[[line]]
name = "A"
port = "{link_a}"
timeout = "100ms"
interval = "3s"
[[line.meter]]
name = "one"
address = 1
gates = ["0101", {{ gate = "01EX1001:4", modbus_write = true }}, "01EX1005:2"]
plain.0 = {{ name = "voltage L1", unit = "V" }}
[[line.meter]]
name = "silent"
address = 2
gates = ["0201"]
[[line]]
name = "B"
port = "{link_b}"
timeout = "100ms"
interval = "1s"
[[line.meter]]
name = "three"
address = 3
modbus_unit = 30
gates = ["0301"]
"""


class Face(serve_site.Site):
    """metersim on two lines, serve with its Modbus TCP face; stopped by process id. Its own
    lines and pins; writing files and starting simulators as the test site does."""

    def __init__(self, vpihost, metersim, workdir):
        self.dir = tempfile.mkdtemp(prefix="modbus-", dir=workdir)
        self.processes = []
        self.sims = []
        tag = str(os.getpid() % 100000)
        # Port names hold 11 characters at most.
        self.link_a, self.link_b = "/tmp/Q" + tag, "/tmp/R" + tag
        pins_a = self.write("pins-a.txt", "01:plain.0 = 1250\n01:plain.16 = 50\n01:ex.10.1 = 42\n"
                            "01:ex.10.5 = 7\n")
        pins_b = self.write("pins-b.txt", "03:plain.0 = 2300\n")
        self.sim(metersim, ["--meter", "01", "--meter", "02", "--link", self.link_a, "--values",
                            pins_a, "--fault", "silent:meter=02"])
        self.sim(metersim, ["--meter", "03", "--link", self.link_b, "--values", pins_b])
        self.config = self.write("site.toml", SITE.format(link_a=self.link_a, link_b=self.link_b))
        self.vpihost = vpihost
        self.serve = subprocess.Popen(
            [vpihost, "--quiet", "serve", "--config", self.config, "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, stderr=open(os.path.join(self.dir, "serve.err"), "w"),
            text=True)
        self.processes.append(self.serve)
        first = self.serve.stdout.readline()
        second = self.serve.stdout.readline()
        if "serving" not in first or "Modbus TCP on" not in second:
            self.stop()
            raise RuntimeError("vpihost serve did not start: " + first + second)
        self.url = first.strip().split(" on ")[-1].rstrip("/")
        self.port = int(second.strip().rsplit(":", 1)[1])

    def stop(self):
        # The suite's folder is kept for a look after a failure.
        for p in reversed(self.processes):
            serve_site.terminate(p)

    def status(self):
        _, body = serve_site.get(self.url + "/api/v1/status")
        return json.loads(body)

    def metric(self, name, label):
        _, body = serve_site.get(self.url + "/metrics")
        for line in body.splitlines():
            if line.startswith(name + "{" + label + "}"):
                return float(line.split()[-1])
        return None


def client(port, timeout=3):
    c = ModbusTcpClient("127.0.0.1", port=port, timeout=timeout)
    c.connect()
    return c


def floats(registers):
    return [struct.unpack(">f", struct.pack(">HH", registers[i], registers[i + 1]))[0]
            for i in range(0, len(registers), 2)]


def words(value):
    return list(struct.unpack(">HH", struct.pack(">f", value)))


def read_map(face):
    out = subprocess.run([face.vpihost, "modbus-map", "--config", face.config, "--csv"],
                         capture_output=True, text=True, check=True).stdout
    addresses = {}
    for row in csv.DictReader(io.StringIO(out)):
        if row["what"] == "value":
            addresses[(int(row["unit"]), row["key"])] = (int(row["address"]), row["access"])
    return addresses


def value_of(c, unit, address, function=4):
    read = c.read_input_registers if function == 4 else c.read_holding_registers
    r = read(address, 2, slave=unit)
    return None if r.isError() else floats(r.registers)[0]


def exception_of(r):
    return getattr(r, "exception_code", None) if r.isError() else None


def reads(face):
    checked = subprocess.run([face.vpihost, "check-config", face.config], capture_output=True,
                             text=True)
    check(checked.returncode == 0 and "Modbus TCP on 127.0.0.1:0: 3 unit(s)" in checked.stdout,
          "check-config names the face and its units")
    c = client(face.port)
    regs = read_map(face)
    check(serve_site.wait_for(lambda: not c.read_input_registers(0, 1, slave=1).isError() and
                              c.read_input_registers(0, 1, slave=1).registers[0] == 1, 15),
          "unit 1 comes up")
    check(serve_site.wait_for(lambda: value_of(c, 30, regs[(30, "plain.0")][0]) == 2300.0, 15),
          "unit 30 (meter three, line B) reads its pinned plain.0: 2300")
    # Up after its first read; the EX gate is read right after it.
    check(serve_site.wait_for(lambda: value_of(c, 1, regs[(1, "ex.10.1")][0]) == 42.0, 10),
          "ex.10.1 is read")
    for key, want in (("plain.0", 1250.0), ("plain.16", 50.0), ("ex.10.1", 42.0)):
        address = regs[(1, key)][0]
        check(value_of(c, 1, address, 4) == want, "function 4: %s at %d is %g" % (key, address, want))
        check(value_of(c, 1, address, 3) == want, "function 3: %s at %d is %g" % (key, address, want))
    status = c.read_input_registers(0, 4, slave=1).registers
    check(status[0] == 1 and status[2] == 0 and status[3] == 40 + 4 + 2,
          "unit 1's status block: up, no failures, 46 values (%s)" % status)
    age = c.read_input_registers(5000, 1, slave=1).registers[0]
    check(age <= 3, "plain.0's age is a few seconds at most (%d)" % age)
    mbpoll = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(face.port), "-a", "1", "-t", "3:float",
                             "-B", "-0", "-r", str(regs[(1, "plain.0")][0]), "-c", "1", "-1",
                             "127.0.0.1"], capture_output=True, text=True, timeout=20)
    with open(os.path.join(face.dir, "..", "mbpoll.txt"), "w") as f:
        f.write(mbpoll.stdout)
    check(mbpoll.returncode == 0 and "[1000]: \t1250" in mbpoll.stdout,
          "mbpoll reads plain.0 as 1250 (big-endian float)")
    c.close()
    return regs


def exceptions(face, regs):
    c = client(face.port)
    check(exception_of(c.read_input_registers(0, 2, slave=9)) == 0x0A,
          "a unit no meter has: exception 0x0A (gateway path unavailable)")
    check(serve_site.wait_for(lambda: c.read_input_registers(0, 3, slave=2).registers[2] >= 1, 15),
          "the silent meter's status block counts its failures")
    check(exception_of(c.read_input_registers(1000, 2, slave=2)) == 0x0B,
          "the silent meter's values: exception 0x0B (gateway target failed to respond)")
    check(exception_of(c.read_input_registers(200, 2, slave=1)) == 2,
          "an address the map does not have: exception 2")
    last = 1000 + 2 * 46
    check(exception_of(c.read_input_registers(last - 2, 4, slave=1)) == 2,
          "a read past the last value: exception 2")
    check(exception_of(c.read_input_registers(1000, 126, slave=1)) == 3,
          "126 registers in one read: exception 3")
    check(exception_of(c.read_coils(0, 1, slave=1)) == 1, "coils: exception 1")
    c.close()


def load(face):
    """16 clients at once for 6 s; the lines' lag and missed slots before and during."""
    def window(seconds):
        before = face.status()
        time.sleep(seconds)
        after = face.status()
        missed = sum(l["missed_slots"] for l in after["lines"]) - \
            sum(l["missed_slots"] for l in before["lines"])
        # The lag of line B, whose one gate is never due beside another: how late its thread
        # wakes, which is what a busy face could change (line A's lag is mostly its gates
        # waiting for each other).
        b, a = before["lines"][1], after["lines"][1]
        lag = a["lag_ms"]["mean"] * a["reads"] - b["lag_ms"]["mean"] * b["reads"]
        reads = a["reads"] - b["reads"]
        return missed, lag / max(reads, 1), reads

    quiet = window(6)
    stop = threading.Event()
    counts = []

    def worker(n):
        c = client(face.port)
        ok = bad = 0
        while not stop.is_set():
            r = (c.read_input_registers if n % 2 else c.read_holding_registers)(1000, 92, slave=1)
            if r.isError() or len(r.registers) != 92:
                bad += 1
            else:
                ok += 1
        c.close()
        counts.append((ok, bad))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(16)]
    for t in threads:
        t.start()
    time.sleep(0.5)
    busy = window(6)
    stop.set()
    for t in threads:
        t.join(10)
    ok = sum(c[0] for c in counts)
    bad = sum(c[1] for c in counts)
    print("quiet: %d missed, line B's mean lag %.1f ms over %d reads; 16 clients: %d missed, "
          "mean lag "
          "%.1f ms over %d reads; %d requests answered (%.0f/s), %d errors" %
          (quiet[0], quiet[1], quiet[2], busy[0], busy[1], busy[2], ok, ok / 6.5, bad))
    check(len(counts) == 16 and all(c[0] > 0 for c in counts) and bad == 0,
          "16 clients at once, each answered every time")
    check(busy[0] <= quiet[0], "no more slots missed while they read (%d, %d without)" %
          (busy[0], quiet[0]))
    check(busy[2] >= quiet[2] - 2, "the lines read as often as without them")
    check(busy[1] < quiet[1] + 50, "the lines' mean lag does not grow (%.1f ms, %.1f without)" %
          (busy[1], quiet[1]))


def misbehaving(face):
    dropped = lambda reason: face.metric("vpi_modbus_clients_dropped_total",  # noqa: E731
                                         'reason="%s"' % reason) or 0
    garbage_before, idle_before = dropped("garbage"), dropped("idle")
    garbage = socket.create_connection(("127.0.0.1", face.port), timeout=5)
    half = socket.create_connection(("127.0.0.1", face.port), timeout=5)
    silent = socket.create_connection(("127.0.0.1", face.port), timeout=5)
    garbage.sendall(b"GET / HTTP/1.1\r\n\r\n")
    half.sendall(b"\x00\x01\x00")
    started = time.monotonic()
    c = client(face.port)
    r = c.read_input_registers(1000, 2, slave=1)
    check(not r.isError() and floats(r.registers)[0] == 1250.0 and
          time.monotonic() - started < 1.5,
          "a client is answered at once beside a garbage, a half-frame and a silent one")
    check(garbage.recv(100) == b"", "the garbage client is dropped")
    for sock, what in ((half, "half a frame"), (silent, "nothing")):
        try:
            sock.settimeout(6)
            gone = sock.recv(100) == b""
        except socket.timeout:
            gone = False
        check(gone, "a client that sends %s is dropped after the idle time-out" % what)
        sock.close()
    garbage.close()
    check(dropped("garbage") >= garbage_before + 1, "/metrics counts the garbage drop")
    check(dropped("idle") >= idle_before + 2, "/metrics counts the idle drops")
    c.close()
    c = client(face.port)
    r = c.read_input_registers(1000, 2, slave=1)
    check(not r.isError(), "a new client is served after the drops")
    c.close()


def writes(face, regs):
    c = client(face.port, timeout=8)
    address, access = regs[(1, "ex.10.2")]
    check(access == "read/write", "the map marks the enabled gate's values read/write")
    r = c.write_registers(address, words(1234.0), slave=1)
    check(not r.isError(), "a write to an enabled gate (ex.10.2) is acknowledged")
    check(serve_site.wait_for(lambda: value_of(c, 1, address) == 1234.0, 10),
          "metersim took it: the line reads 1234 back from the meter")
    first = regs[(1, "ex.10.1")][0]
    r = c.write_registers(first, words(-5.0) + words(99.0), slave=1)
    check(not r.isError(), "a write of two values of the gate is acknowledged")
    check(serve_site.wait_for(lambda: value_of(c, 1, first) == -5.0 and
                              value_of(c, 1, first + 2) == 99.0, 10),
          "both reach metersim")
    ro, ro_access = regs[(1, "ex.10.5")]
    check(ro_access == "read", "a gate without modbus_write is read-only in the map")
    check(exception_of(c.write_registers(ro, words(1.0), slave=1)) == 2,
          "a write to a gate not enabled: exception 2")
    check(exception_of(c.write_registers(regs[(1, "plain.0")][0], words(1.0), slave=1)) == 2,
          "a write to a plain value: exception 2")
    check(exception_of(c.write_registers(address, words(2.5), slave=1)) == 3,
          "a fraction to an EX register: exception 3")
    check(exception_of(c.write_register(address, 1, slave=1)) == 1,
          "function 6 (half a float): exception 1")
    time.sleep(1.5)
    check(value_of(c, 1, ro) == 7.0 and value_of(c, 1, address) == 99.0,
          "the refused writes changed nothing on the meter")
    c.close()


def port_gone(face):
    c = client(face.port)
    face.sims[1].terminate()
    face.sims[1].wait(10)
    check(serve_site.wait_for(lambda: exception_of(c.read_input_registers(1000, 2, slave=30))
                              == 0x0B, 15),
          "line B's simulator stopped: unit 30's values get exception 0x0B")
    r = c.read_input_registers(0, 1, slave=30)
    check(not r.isError() and r.registers[0] == 0, "its status block says down")
    c.close()


def main():
    vpihost, metersim, workdir = sys.argv[1:4]
    os.makedirs(workdir, exist_ok=True)
    face = Face(vpihost, metersim, workdir)
    try:
        regs = reads(face)
        exceptions(face, regs)
        load(face)
        misbehaving(face)
        writes(face, regs)
        port_gone(face)
    finally:
        face.stop()
        with open(os.path.join(face.dir, "serve.err")) as f:
            log = f.read()
        print("serve's log (its last lines):\n" + "\n".join(log.splitlines()[-8:]))
        shutil.rmtree(face.dir, ignore_errors=True)
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
