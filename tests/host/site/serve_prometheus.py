#!/usr/bin/env python3
"""vpihost serve scraped by a real Prometheus: every pinned value is found through Prometheus'
query API under its labels (a value name with a double quote, a backslash and a line feed
among them), promtool passes /metrics, bad requests get 4xx without disturbing
the polling, and SIGTERM ends serve cleanly.
Usage: serve_prometheus.py VPIHOST METERSIM WORKDIR. Exit 0 pass, 1 fail, 77 no Prometheus."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.error
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402


def status_of(url, method="GET", data=None):
    request = urllib.request.Request(url, method=method, data=data)
    try:
        with serve_site.OPENER.open(request, timeout=5) as response:
            return response.status
    except urllib.error.HTTPError as e:
        return e.code


def raw_request(url, payload):
    host, port = url.split("//")[1].split(":")
    with socket.create_connection((host, int(port)), timeout=5) as s:
        s.sendall(payload)
        return s.recv(200).decode(errors="replace")


def reads_of(site):
    _, body = serve_site.get(site.url + "/api/v1/status")
    return sum(line["reads"] for line in json.loads(body)["lines"])


def bad_requests(site):
    before = reads_of(site)
    check(status_of(site.url + "/no/such/page") == 404, "unknown path: 404")
    check(status_of(site.url + "/metrics", "POST", b"x=1") == 405, "POST: 405 (read-only)")
    check(status_of(site.url + "/api/v1/readings", "DELETE") == 405, "DELETE: 405")
    check(status_of(site.url + "/api/v1/status?line=A") == 400, "unknown parameter: 400")
    check(status_of(site.url + "/metrics", "POST", b"x" * 100000) in (405, 413),
          "large body: refused")
    check(" 400 " in raw_request(site.url, b"GARBAGE\r\n\r\n"), "a request that is no HTTP: 400")
    check(" 400 " in raw_request(site.url, b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\n\r\n")
          or " 414 " in raw_request(site.url, b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\n\r\n"),
          "an over-long request line: 4xx")
    check(serve_site.wait_for(lambda: reads_of(site) >= before + 3, 15),
          "polling goes on after the bad requests")


def start_prometheus(site, workdir):
    port = serve_site.free_port()
    target = site.url.split("//")[1]
    config = os.path.join(workdir, "prometheus.yml")
    with open(config, "w") as f:
        f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                "scrape_configs:\n  - job_name: vpihost\n    static_configs:\n"
                f"      - targets: ['{target}']\n")
    data = tempfile.mkdtemp(prefix="prometheus-", dir=workdir)
    log = open(os.path.join(workdir, "prometheus.log"), "w")
    process = subprocess.Popen(
        ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + data,
         "--web.listen-address=127.0.0.1:%d" % port], stdout=log, stderr=log)
    site.processes.insert(0, process)  # stopped after serve
    return "http://127.0.0.1:%d" % port


def query(prometheus, expression):
    url = prometheus + "/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    try:
        _, body = serve_site.get(url)
    except (urllib.error.URLError, ConnectionError, OSError):
        return []
    answer = json.loads(body)
    return answer["data"]["result"] if answer.get("status") == "success" else []


def pinned_values(prometheus):
    for (line, meter, gate, index), value in serve_site.PINNED.items():
        selector = 'vpi_value{line="%s",meter="%s",gate="%s",index="%d"}' % (line, meter, gate,
                                                                            index)
        found = serve_site.wait_for(lambda: query(prometheus, selector), 60, 0.5)
        got = float(found[0]["value"][1]) if found else None
        check(got == value, "%s = %s in Prometheus (got %s)" % (selector, value, got))
    named = query(prometheus, 'vpi_value{meter="one",name="voltage L1",unit="V"}')
    check(len(named) == 1, "the site file's name and unit are labels")
    # A name with a double quote, a backslash and a line feed: Prometheus reads the label back
    # whole only if /metrics escaped all three (a JSON string is a PromQL string too).
    escaped = query(prometheus, 'vpi_value{meter="two",name=%s}' % json.dumps(serve_site.ESCAPED_NAME))
    check(len(escaped) == 1 and escaped[0]["metric"].get("name") == serve_site.ESCAPED_NAME
          and float(escaped[0]["value"][1]) == 50.0,
          "a name that needs escaping comes back whole from Prometheus (got %s)" % escaped)
    silent = serve_site.wait_for(
        lambda: query(prometheus, 'vpi_meter_up{meter="three"} == 0 and '
                                  'vpi_meter_backoff_seconds{meter="three"} > 0'), 30, 0.5)
    check(bool(silent), "the silent meter is down and backed off in Prometheus")
    up = query(prometheus, 'up{job="vpihost"}')
    check(bool(up) and up[0]["value"][1] == "1", "Prometheus scrapes serve without errors")


def main():
    vpihost, metersim, workdir = sys.argv[1:4]
    if shutil.which("prometheus") is None or shutil.which("promtool") is None:
        print("SKIP: prometheus and promtool are not installed (tools/install-deps.sh --serve)")
        return 77
    os.makedirs(workdir, exist_ok=True)
    with serve_site.Site(vpihost, metersim) as site:
        prometheus = start_prometheus(site, workdir)
        serve_site.wait_for(lambda: "vpi_value" in serve_site.get(site.url + "/metrics")[1], 20)
        _, metrics = serve_site.get(site.url + "/metrics")
        lint = subprocess.run(["promtool", "check", "metrics"], input=metrics, text=True,
                              capture_output=True)
        check(lint.returncode == 0, "promtool check metrics: " + (lint.stdout + lint.stderr).strip())
        pinned_values(prometheus)
        bad_requests(site)
        code = site.stop_serve()
        check(code == 0, "serve ends on SIGTERM with status 0 (got %s)" % code)
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
