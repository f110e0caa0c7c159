#!/usr/bin/env python3
"""vpihost serve under idle, slow and half-sent connections while a real Prometheus scrapes it
at 1 s: 64 idle, 64 half-sent and 64 busy keep-alive connections, first all from the address the
scrapes come from, then each kind from addresses of their own (the whole of 127.0.0.0/8 is
loopback) with more of them than the total bound. Every scrape answers (a timed one within
1 s), no Prometheus scrape fails, the bounds close the longest-waiting connections and count
it, a request whose headers drip in is cut off at its deadline, and the lines keep their rate.
Usage: serve_load.py VPIHOST METERSIM WORKDIR. Exit 0 pass, 1 fail, 77 no Prometheus."""
import http.client
import os
import re
import shutil
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402
from serve_prometheus import query, start_prometheus  # noqa: E402

# What serve allows (docs/serve.md): per client address, in all, and the time to a whole request.
PER_ADDRESS = 64
TOTAL = 256
REQUEST_SECONDS = 10


class Load:
    """Connections held open against serve from `address`; close() ends them all."""

    def __init__(self, site, address):
        host, port = site.url.split("//")[1].split(":")
        self.target = (host, int(port))
        self.address = address
        self.sockets = []
        self.running = True
        self.threads = []
        self.answers = 0

    def connect(self):
        return socket.create_connection(self.target, timeout=5, source_address=(self.address, 0))

    def idle(self, count):
        for _ in range(count):
            self.sockets.append(self.connect())

    def half_sent(self, count):
        for _ in range(count):
            s = self.connect()
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: serve\r\nAccept: */*\r\n")
            self.sockets.append(s)

    def keep_alive(self, count):
        """`count` connections each asking for /healthz over and over, a new connection when
        serve closes one (as a browser or Prometheus does)."""
        def run():
            connections = [None] * count
            while self.running:
                for i in range(count):
                    try:
                        if connections[i] is None:
                            connections[i] = http.client.HTTPConnection(
                                *self.target, timeout=5, source_address=(self.address, 0))
                        connections[i].request("GET", "/healthz")
                        connections[i].getresponse().read()
                        self.answers += 1
                    except (OSError, http.client.HTTPException):
                        connections[i].close()
                        connections[i] = None
                time.sleep(0.05)
            for c in connections:
                if c is not None:
                    c.close()
        thread = threading.Thread(target=run)
        thread.start()
        self.threads.append(thread)

    def close(self):
        self.running = False
        for thread in self.threads:
            thread.join()
        for s in self.sockets:
            s.close()


def timed_scrape(site, source="127.0.0.1"):
    """Seconds a scrape of /metrics took from `source`, with its text; None when it failed."""
    host, port = site.url.split("//")[1].split(":")
    started = time.monotonic()
    try:
        connection = http.client.HTTPConnection(host, int(port), timeout=10,
                                                source_address=(source, 0))
        connection.request("GET", "/metrics")
        response = connection.getresponse()
        body = response.read().decode()
        connection.close()
        return (time.monotonic() - started, body) if response.status == 200 else (None, "")
    except (OSError, http.client.HTTPException):
        return None, ""


def sample(text, name):
    """The value of the series `name` (with its labels as written) in an exposition; -1 when
    it is not there."""
    match = re.search("^" + re.escape(name) + r" (\S+)$", text, re.MULTILINE)
    return float(match.group(1)) if match else -1


def line_a(text):
    """Reads and missed slots of line A (the line with no silent meter)."""
    reads = sum(float(v) for v in re.findall(r'^vpi_reads_total\{line="A",[^}]*\} (\S+)$', text,
                                              re.MULTILINE))
    return reads, sample(text, 'vpi_poller_missed_slots_total{line="A"}')


def scrapes_answer(site, sources, what):
    for source in sources:
        took, body = timed_scrape(site, source)
        check(took is not None and took < 1.0 and "vpi_http_connections_open" in body,
              "%s: a scrape from %s answers within 1 s (%s)" % (
                  what, source, "%.3f s" % took if took is not None else "failed"))


def one_address(site):
    """All three kinds from the address the scrapes and Prometheus use, with a header drip."""
    load = Load(site, "127.0.0.1")
    load.idle(64)
    load.half_sent(64)
    load.keep_alive(64)
    drip = socket.create_connection(load.target, timeout=5, source_address=("127.0.0.2", 0))
    dripped_at = time.monotonic()
    time.sleep(2)
    scrapes_answer(site, ["127.0.0.1", "127.0.0.9"], "64 idle, 64 half-sent, 64 keep-alive")
    # One byte of a request every half second: never a whole request, never quiet for long.
    cut_after = None
    request = b"GET /metrics HTTP/1.1\r\nHost: serve\r\n" + b"X-Slow: " + b"a" * 200
    for byte in request:
        try:
            drip.sendall(bytes([byte]))
            drip.settimeout(0.5)
            if drip.recv(100) == b"":
                cut_after = time.monotonic() - dripped_at
                break
        except socket.timeout:
            continue
        except OSError:
            cut_after = time.monotonic() - dripped_at
            break
        if time.monotonic() - dripped_at > 3 * REQUEST_SECONDS:
            break
    drip.close()
    check(cut_after is not None and cut_after < 2 * REQUEST_SECONDS,
          "a request dripping in a byte every 0.5 s is cut off (after %s s)" % (
              "%.1f" % cut_after if cut_after is not None else "never"))
    _, body = timed_scrape(site)
    check(sample(body, 'vpi_http_connections_closed_total{reason="address_limit"}') >= 64,
          "the address bound closed the longest-waiting connections, counted (%s)"
          % sample(body, 'vpi_http_connections_closed_total{reason="address_limit"}'))
    check(sample(body, 'vpi_http_connections_closed_total{reason="request_timeout"}') >= 1,
          "the request deadline closed connections, counted (%s)"
          % sample(body, 'vpi_http_connections_closed_total{reason="request_timeout"}'))
    check(load.answers > 100, "the keep-alive clients were answered meanwhile (%d)" % load.answers)
    load.close()


def several_addresses(site):
    """Each kind from addresses of their own, 320 connections in all: over the total bound."""
    loads = [Load(site, "127.0.0.%d" % n) for n in range(3, 8)]
    loads[0].idle(64)
    loads[1].half_sent(64)
    loads[2].keep_alive(64)
    loads[3].idle(64)
    loads[4].half_sent(64)
    time.sleep(2)
    _, body = timed_scrape(site)
    open_now = sample(body, "vpi_http_connections_open")
    check(0 <= open_now <= TOTAL + 8,
          "open connections stay within the total bound (%s of %d)" % (open_now, TOTAL))
    scrapes_answer(site, ["127.0.0.1", "127.0.0.3", "127.0.0.4"], "320 from five addresses")
    _, body = timed_scrape(site)
    check(sample(body, 'vpi_http_connections_closed_total{reason="total_limit"}') >= 64 - 8,
          "the total bound closed the longest-waiting connections, counted (%s)"
          % sample(body, 'vpi_http_connections_closed_total{reason="total_limit"}'))
    time.sleep(3)
    for load in loads:
        load.close()


def main():
    vpihost, metersim, workdir = sys.argv[1:4]
    if shutil.which("prometheus") is None:
        print("SKIP: prometheus is not installed (tools/install-deps.sh --serve)")
        return 77
    os.makedirs(workdir, exist_ok=True)
    with serve_site.Site(vpihost, metersim) as site:
        prometheus = start_prometheus(site, workdir)
        check(bool(serve_site.wait_for(lambda: query(prometheus, 'up{job="vpihost"} == 1'), 30)),
              "Prometheus scrapes serve")
        _, before = timed_scrape(site)
        reads_before, missed_before = line_a(before)
        started = time.monotonic()
        one_address(site)
        several_addresses(site)
        seconds = time.monotonic() - started
        _, after = timed_scrape(site)
        reads_after, missed_after = line_a(after)
        # Line A reads 0101 every second and 0101H2 every 2 s: 1.5 reads a second.
        check(reads_after - reads_before >= 0.9 * 1.5 * seconds - 2,
              "line A kept its rate: %d reads in %.0f s" % (reads_after - reads_before, seconds))
        check(missed_after == missed_before,
              "line A missed no slot (%s before, %s after)" % (missed_before, missed_after))
        window = "%ds" % int(seconds)
        failed = query(prometheus, 'count_over_time(up{job="vpihost"}[%s]) - '
                                   'sum_over_time(up{job="vpihost"}[%s])' % (window, window))
        scrapes = query(prometheus, 'count_over_time(up{job="vpihost"}[%s])' % window)
        check(bool(failed) and float(failed[0]["value"][1]) == 0
              and float(scrapes[0]["value"][1]) >= seconds * 0.8,
              "no Prometheus scrape failed under the load (%s failed of %s)" % (
                  failed and failed[0]["value"][1], scrapes and scrapes[0]["value"][1]))
        slowest = query(prometheus, 'max_over_time(scrape_duration_seconds{job="vpihost"}[%s])'
                        % window)
        check(bool(slowest) and float(slowest[0]["value"][1]) < 1.0,
              "the slowest Prometheus scrape took under 1 s (%s s)" % (
                  slowest and slowest[0]["value"][1]))
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
