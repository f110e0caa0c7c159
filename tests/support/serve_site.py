"""A simulated site for the serve tests: two metersim lines, three meters (one silent), the site
file naming them, and `vpihost serve` on a free loopback port; everything stopped by its own
process id when the test ends. Also the checks those tests count and their closing line."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

# Pinned values: (line, meter, gate, index) -> value, as metersim is told them.
PINNED = {
    ("A", "one", "0101", 0): 1250.0,
    ("A", "one", "0101H2", 5): 11.5,
    ("B", "two", "0201", 0): 2300.0,
    ("B", "two", "0201", 16): 50.0,
}

SITE = """site = "test site"
backoff_max = "4s"
[[line]]
name = "A"
port = "{link_a}"
timeout = "100ms"
[[line.meter]]
name = "one"
address = 1
gates = [{{ gate = "0101", interval = "1s" }}, {{ gate = "0101H2", interval = "2s" }}]
plain.0 = {{ name = "voltage L1", unit = "V" }}
[[line]]
name = "B"
port = "{link_b}"
timeout = "100ms"
interval = "1s"
[[line.meter]]
name = "two"
address = 2
gates = ["0201"]
plain.16 = {{ name = "mains \\"f\\" \\\\ 50\\nHz", unit = "Hz" }}
[[line.meter]]
name = "three"
address = 3
gates = ["0301"]
"""

# The name plain.16 of meter two has in the site file: a double quote, a backslash and a line
# feed, each of which a label value must escape.
ESCAPED_NAME = 'mains "f" \\ 50\nHz'

# Requests to the servers started here go straight to them, never through a proxy.
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def terminate(process, timeout=10):
    """SIGTERM, then SIGKILL when it has not ended within `timeout` seconds."""
    if process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def get(url, timeout=5):
    with OPENER.open(url, timeout=timeout) as response:
        return response.status, response.read().decode()


class Site:
    """Starts the lines and serve; stop() (or leaving a `with`) ends them all. `site` is the
    site file with {link_a} and {link_b} for the lines' ports (SITE unless given); `serve_args`
    go on serve's command line after the site file and the address."""

    def __init__(self, vpihost, metersim, site=SITE, serve_args=()):
        self.dir = tempfile.mkdtemp(prefix="serve-test-")
        self.processes = []
        self.sims = []
        tag = str(os.getpid() % 100000)
        self.link_a, self.link_b = "/tmp/A" + tag, "/tmp/B" + tag
        pins_a = self.write("pins-a.txt", "01:plain.0 = 1250\n01:h2.5 = 11.5\n")
        pins_b = self.write("pins-b.txt", "02:plain.0 = 2300\n02:plain.16 = 50\n")
        self.sim(metersim, ["--meter", "01", "--link", self.link_a, "--values", pins_a])
        self.sim(metersim, ["--meter", "02", "--meter", "03", "--link", self.link_b,
                            "--values", pins_b, "--fault", "silent:meter=03"])
        self.config = self.write("site.toml", site.format(link_a=self.link_a, link_b=self.link_b))
        self.serve = subprocess.Popen(
            [vpihost, "--quiet", "serve", "--config", self.config, "--listen", "127.0.0.1:0"]
            + list(serve_args),
            stdout=subprocess.PIPE, stderr=open(os.path.join(self.dir, "serve.err"), "w"),
            text=True)
        self.processes.append(self.serve)
        first = self.serve.stdout.readline()
        if "serving" not in first:
            self.stop()
            raise RuntimeError("vpihost serve did not start: " + first)
        self.url = first.strip().split(" on ")[-1].rstrip("/")

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def sim(self, metersim, args):
        process = subprocess.Popen([metersim] + args, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        self.processes.append(process)
        self.sims.append(process)
        line = process.stdout.readline()
        if "listening" not in line:
            self.stop()
            raise RuntimeError("metersim did not start: " + line)

    def unplug(self, index):
        """Ends simulator `index` (0: line A): its pseudo-terminal and link go, as a removed
        adapter's device does."""
        sim = self.sims[index]
        sim.send_signal(signal.SIGTERM)
        sim.wait(10)

    def errors(self):
        """What serve has written on stderr so far."""
        with open(os.path.join(self.dir, "serve.err")) as f:
            return f.read()

    def stop_serve(self, timeout=20):
        """SIGTERM to serve; its exit status, or None when it did not end in time."""
        self.serve.send_signal(signal.SIGTERM)
        try:
            return self.serve.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        for p in reversed(self.processes):
            terminate(p)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def wait_for(check, limit, step=0.25):
    """Calls check() until it returns something true or `limit` seconds pass; its last result."""
    end = time.monotonic() + limit
    result = check()
    while not result and time.monotonic() < end:
        time.sleep(step)
        result = check()
    return result


failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def finish():
    """The closing line; the exit status: 1 when any check failed, else 0."""
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0
