#!/usr/bin/env python3
"""vpihost serve scraped by a real Prometheus: every pinned value is found through Prometheus'
query API under its labels (a value name with a double quote, a backslash and a line feed
among them), promtool passes /metrics, bad requests get 4xx without disturbing
the polling; a second serve on the same address is refused; SIGHUP reloads the site file (a
good one: unchanged lines poll on without a reopen; one with errors: refused with
check-config's messages, the running one goes on); an unplugged adapter takes its meters down
and fires the alert docs/serve.md gives; SIGTERM ends serve cleanly, saying "stopping", and a
second signal ends it at once while a line waits out a long read.
Usage: serve_prometheus.py VPIHOST METERSIM WORKDIR. Exit 0 pass, 1 fail, 77 no Prometheus."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
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
    for method in ("POST", "PUT", "PATCH", "OPTIONS", "TRACE"):
        check(status_of(site.url + "/no/such/page", method) == 405,
              "%s to a path that does not exist: 405 too" % method)
    check(status_of(site.url + "/api/v1/status?line=A") == 400, "unknown parameter: 400")
    check(status_of(site.url + "/metrics", "POST", b"x" * 100000) in (405, 413),
          "large body: refused")
    # The HTTP library answers a request line that is not HTTP by closing the connection,
    # without a status: either way it is refused, and nothing is served for it.
    garbage = raw_request(site.url, b"GARBAGE\r\n\r\n")
    check(" 400 " in garbage or garbage == "",
          "a request that is no HTTP: 400, or closed unanswered (got %r)" % garbage[:40])
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


DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "docs",
                    "serve.md")


def alert_expression():
    """The expression of the meter alert docs/serve.md gives, as a user would copy it."""
    with open(DOCS) as f:
        found = re.search(r"^\s*expr: (.+)$", f.read(), re.MULTILINE)
    return found.group(1).strip() if found else None


def second_instance(vpihost, site):
    address = site.url.split("//")[1]
    started = time.monotonic()
    second = subprocess.Popen([vpihost, "--quiet", "serve", "--config", site.config,
                               "--listen", address], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        _, err = second.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        second.kill()
        _, err = second.communicate()
    took = time.monotonic() - started
    check(second.returncode not in (0, -signal.SIGKILL) and "address already in use" in err,
          "a second serve on %s is refused: status %d, %r" % (address, second.returncode,
                                                                err.strip()))
    check(took < 20, "and ends at once (%.1f s)" % took)
    check(status_of(site.url + "/healthz") == 200, "the first one serves on")

    # On another HTTP port the second one starts, but the first holds the lines' ports: it says
    # so, with the holder's process id, and keeps trying.
    err_path = os.path.join(site.dir, "second.err")
    second = subprocess.Popen([vpihost, "--quiet", "serve", "--config", site.config,
                               "--listen", "127.0.0.1:0"], stdout=subprocess.DEVNULL,
                              stderr=open(err_path, "w"))
    try:
        held = "line A: port %s did not open: in use by process %d" % (site.link_a,
                                                                        site.serve.pid)
        said = serve_site.wait_for(lambda: held in open(err_path).read(), 20)
        check(bool(said), "a port the first serve holds is said as such with its PID (%r)" %
              open(err_path).read()[:300])
    finally:
        serve_site.terminate(second, 20)
    before = reads_of(site)
    check(serve_site.wait_for(lambda: reads_of(site) >= before + 3, 15),
          "the first one polls on")


def metric(site, name):
    _, body = serve_site.get(site.url + "/metrics")
    found = re.search(r"^%s (\S+)$" % re.escape(name), body, re.MULTILINE)
    return float(found.group(1)) if found else None


def reloads(vpihost, site, prometheus):
    with open(site.config) as f:
        good = f.read()
    opens_a = metric(site, 'vpi_line_port_opens_total{line="A"}')
    loaded = metric(site, "vpi_config_last_reload_success_timestamp_seconds")
    # Line B's meter two is read every 2 s now; line A is as it was.
    changed = good.replace('gates = ["0201"]', 'gates = [{ gate = "0201", interval = "2s" }]')
    check(changed != good, "the reload's site file differs in line B")
    with open(site.config, "w") as f:
        f.write(changed)
    site.serve.send_signal(signal.SIGHUP)
    said = serve_site.wait_for(lambda: "reloaded" in site.errors(), 30)
    check(bool(said) and "1 line(s) kept polling, restarted B" in site.errors(),
          "SIGHUP reloads: line A kept, B restarted (%s)" %
          [l for l in site.errors().splitlines() if "reload" in l])
    success = serve_site.wait_for(lambda: query(
        prometheus, 'vpi_config_reloads_total{result="success"} == 1'), 30, 0.5)
    check(bool(success), "Prometheus counts the reload as a success")
    check((metric(site, "vpi_config_last_reload_success_timestamp_seconds") or 0) > loaded,
          "the last successful load's time moves on")
    check(serve_site.wait_for(lambda: metric(
        site, 'vpi_gate_interval_seconds{line="B",meter="two",gate="0201"}') == 2, 10),
        "the new interval is in effect")
    check(metric(site, 'vpi_line_port_opens_total{line="A"}') == opens_a,
          "line A polls on without a reopen")
    check(serve_site.wait_for(lambda: metric(site, 'vpi_line_port_open{line="B"}') == 1, 20),
          "line B is open again")

    # A file with errors: refused with the messages check-config gives, nothing changes.
    broken = changed.replace('timeout = "100ms"\n', 'timeout = "100ms"\nbaud = "fast"\n', 1)
    broken = broken.replace("address = 3", "address = 3\nadress = 4")
    with open(site.config, "w") as f:
        f.write(broken)
    checked = subprocess.run([vpihost, "check-config", site.config], capture_output=True,
                             text=True)
    messages = [l for l in checked.stderr.splitlines() if l.startswith(site.config + ":")]
    check(checked.returncode != 0 and len(messages) >= 2,
          "check-config names the broken file's errors: %s" % messages)
    before = reads_of(site)
    site.serve.send_signal(signal.SIGHUP)
    refused = serve_site.wait_for(lambda: "reload refused" in site.errors(), 30)
    check(bool(refused), "the broken file's reload is refused")
    err = site.errors()
    check(all(m in err for m in messages), "with check-config's messages, every one")
    failure = serve_site.wait_for(lambda: query(
        prometheus, 'vpi_config_reloads_total{result="failure"} == 1'), 30, 0.5)
    check(bool(failure), "Prometheus counts the refused reload as a failure")
    check(serve_site.wait_for(lambda: reads_of(site) >= before + 3, 15)
          and metric(site, 'vpi_gate_interval_seconds{line="B",meter="two",gate="0201"}') == 2,
          "the running configuration polls on unchanged")
    with open(site.config, "w") as f:
        f.write(changed)


def unplug(site, prometheus):
    expression = alert_expression()
    check(expression is not None, "docs/serve.md gives an alert expression (%s)" % expression)
    if expression is None:
        return
    firing = lambda: {r["metric"].get("meter") for r in query(prometheus, expression)}  # noqa: E731
    check(serve_site.wait_for(lambda: firing() == {"three"}, 30, 0.5),
          "before: the alert fires for the silent meter only (%s)" % firing())
    never = query(prometheus, 'vpi_gate_last_success_timestamp_seconds{meter="three"}')
    check(len(never) == 1 and float(never[0]["value"][1]) == 0,
          "the gate never read has its last-success series at 0 (%s)" % never)
    site.unplug(0)  # line A's adapter goes
    down = serve_site.wait_for(lambda: query(prometheus, 'vpi_meter_up{meter="one"} == 0'),
                               30, 0.5)
    check(bool(down), "meter one on the unplugged line is down in Prometheus")
    check(serve_site.wait_for(lambda: "one" in firing(), 30, 0.5),
          "the alert expression %r is true for it in Prometheus (%s)" % (expression, firing()))
    _, body = serve_site.get(site.url + "/api/v1/status")
    line = json.loads(body)["lines"][0]
    meter = line["meters"][0]
    check(not line["open"] and line["problem"] == "no such device",
          "the API says the line's port is closed and why (%s)" % line["problem"])
    check(meter["health"] == "port-closed" and meter["why"] == "port closed: no such device",
          "and so for its meter (%s, %s)" % (meter["health"], meter["why"]))
    err = site.errors()
    check("line A: port %s lost" % site.link_a in err and
          "line A: port %s did not open: no such device" % site.link_a in err,
          "serve logs the lost port and why it does not reopen, under the line's name")


SLOW_SITE = """site = "slow"
[[line]]
name = "S"
port = "{link}"
timeout = "1s"
[[line.meter]]
name = "mute"
address = 5
gates = [{{ gate = "0501", interval = "1s" }}]
"""


def shutdown(vpihost, metersim):
    """A line whose meter is silent at a 1 s time-out: a read may take 8 s. The first SIGTERM
    says "stopping" and which line is still waiting; the second ends serve at once."""
    work = tempfile.mkdtemp(prefix="serve-slow-")
    link = "/tmp/S" + str(os.getpid() % 100000)
    sim = subprocess.Popen([metersim, "--meter", "05", "--link", link, "--fault",
                            "silent:meter=05"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    serve = None
    code = None
    try:
        sim.stdout.readline()
        config = os.path.join(work, "slow.toml")
        with open(config, "w") as f:
            f.write(SLOW_SITE.format(link=link))
        err_path = os.path.join(work, "serve.err")
        serve = subprocess.Popen([vpihost, "serve", "--config", config, "--listen",
                                  "127.0.0.1:0"], stdout=subprocess.PIPE,
                                 stderr=open(err_path, "w"), text=True)
        check("serving" in serve.stdout.readline(), "the slow line's serve starts")
        errors = lambda: open(err_path).read()  # noqa: E731
        check(bool(serve_site.wait_for(lambda: "line S: driver[8]" in errors(), 30)),
              "the driver's own lines carry the line's name in front")
        # Into a read: the meter's second read, well before its 8 s are up.
        serve_site.wait_for(lambda: "meter mute silent" in errors(), 30)
        time.sleep(1.5)
        serve.send_signal(signal.SIGTERM)
        said = []
        end = time.monotonic() + 10
        while time.monotonic() < end:
            said.append(serve.stdout.readline())
            if "still waiting" in said[-1]:
                break
        check(any(l.strip() == "vpihost: stopping" for l in said), "SIGTERM: stopping (%s)" % said)
        check(any("line S still waiting for its read of 0501" in l and "time-outs add up to 8.0 s"
                  in l for l in said), "it says which line is still waiting, and for how long")
        started = time.monotonic()
        serve.send_signal(signal.SIGTERM)
        try:
            code = serve.wait(3)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 130, "a second signal ends it at once with 130 (%s after %.1f s)" % (
            code, time.monotonic() - started))
    finally:
        for p in (serve, sim):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)


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
        second_instance(vpihost, site)
        reloads(vpihost, site, prometheus)
        unplug(site, prometheus)
        started = time.monotonic()
        code = site.stop_serve()
        took = time.monotonic() - started
        out = site.serve.stdout.read()
        check(code == 0 and "vpihost: stopping\n" in out,
              "serve says stopping and ends on SIGTERM with status 0 (got %s: %r)" % (code, out))
        # Line B's reads take at most 8 x 100 ms; line A's port is gone.
        check(took < 5, "within a read's worst case (%.1f s)" % took)
    shutdown(vpihost, metersim)
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
