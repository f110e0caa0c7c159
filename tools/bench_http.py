#!/usr/bin/env python3
"""Measures vpihost serve's HTTP side on loopback: /metrics under `wrk -c64 -t2 -d10s --latency`
(64 busy keep-alive clients), then one scrape timed while 64 idle and 64 half-sent connections
are held open, on the test site of two metersim lines; prints the figures docs/serve.md keeps.
About 15 s. Needs wrk (tools/install-deps.sh --serve).
Usage: tools/bench_http.py VPIHOST METERSIM"""
import os
import re
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
import serve_site  # noqa: E402


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1])
        return 64
    if shutil.which("wrk") is None:
        print("wrk is not installed (tools/install-deps.sh --serve)")
        return 1
    with serve_site.Site(sys.argv[1], sys.argv[2]) as site:
        serve_site.wait_for(lambda: "vpi_value" in serve_site.get(site.url + "/metrics")[1], 20)
        host, port = site.url.split("//")[1].split(":")
        wrk = subprocess.run(["wrk", "-c64", "-t2", "-d10s", "--latency", "--timeout", "10s",
                              site.url + "/metrics"], capture_output=True, text=True).stdout
        rate = re.search(r"Requests/sec:\s+(\S+)", wrk).group(1)
        worst = re.search(r"Latency\s+\S+\s+\S+\s+(\S+)", wrk).group(1)
        p99 = re.search(r"99%\s+(\S+)", wrk).group(1)
        errors = re.search(r"Socket errors:.*", wrk)
        held = []
        for _ in range(64):
            held.append(socket.create_connection((host, int(port))))
        for _ in range(64):
            s = socket.create_connection((host, int(port)))
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: serve\r\n")
            held.append(s)
        time.sleep(0.5)
        started = time.monotonic()
        try:
            serve_site.get(site.url + "/metrics", timeout=20)
            scrape = "answered in %.0f ms" % ((time.monotonic() - started) * 1000)
        except OSError:
            scrape = "no answer within 20 s"
        for s in held:
            s.close()
        print("| /metrics, 64 keep-alive clients | %s requests/s | worst %s (99 %%: %s)%s |"
              % (rate, worst, p99, " " + errors.group(0) if errors else ""))
        print("| a scrape while 64 idle and 64 half-sent connections are held | %s |" % scrape)
    return 0


if __name__ == "__main__":
    sys.exit(main())
