#!/usr/bin/env python3
"""vpihost serve over HTTPS with a password, scraped by a real Prometheus: a CA and a server
certificate made here with openssl, a web configuration whose user's hash comes from
`vpihost hash-password` (and which `promtool check web-config` accepts), serve started with
--web-config. Four scrape jobs at 1 s: with the CA and the right password the pinned metersim
values arrive; with a wrong password and with none the target is down with a 401, answered
well within the scrape's time-out; without the CA the handshake fails.
Usage: serve_prometheus_tls.py VPIHOST METERSIM WORKDIR. Exit 0 pass, 1 fail, 77 a tool
missing."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402

PASSWORD = "scrape me, not the meters"

# Job name -> (tls_config, basic_auth): what each Prometheus job brings to serve.
JOBS = {
    "right": (True, "prometheus", PASSWORD),
    "wrong-password": (True, "prometheus", PASSWORD + "!"),
    "no-password": (True, None, None),
    "no-ca": (False, "prometheus", PASSWORD),
}


def make_certificates(workdir):
    steps = [
        ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-days", "2", "-subj", "/CN=test-site-ca", "-keyout", "ca.key", "-out", "ca.crt"],
        ["req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
         "/CN=localhost", "-keyout", "server.key", "-out", "server.csr"],
        ["x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
         "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", "server.crt"],
    ]
    with open(os.path.join(workdir, "san.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    for step in steps:
        subprocess.run(["openssl"] + step, cwd=workdir, check=True, capture_output=True)


def write_web_config(vpihost, workdir):
    made = subprocess.run([vpihost, "hash-password", "--cost", "8"], input=PASSWORD + "\n",
                          capture_output=True, text=True)
    hash_text = made.stdout.strip()
    path = os.path.join(workdir, "web.yml")
    with open(path, "w") as f:
        f.write("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                "  min_version: TLS12\nbasic_auth_users:\n  prometheus: '%s'\n" % hash_text)
    promtool = subprocess.run(["promtool", "check", "web-config", path], capture_output=True,
                              text=True)
    check(made.returncode == 0 and promtool.returncode == 0,
          "promtool check web-config accepts the file with hash-password's hash (%s)"
          % (promtool.stdout + promtool.stderr).strip())
    return path


def start_prometheus(site, workdir):
    port = serve_site.free_port()
    target = site.url.split("//")[1]
    ca = os.path.join(workdir, "ca.crt")
    lines = ["global:", "  scrape_interval: 1s", "  scrape_timeout: 1s", "scrape_configs:"]
    for job, (with_ca, user, password) in JOBS.items():
        lines += ["  - job_name: %s" % job, "    scheme: https"]
        if with_ca:
            lines += ["    tls_config:", "      ca_file: %s" % ca]
        if user is not None:
            lines += ["    basic_auth:", "      username: %s" % user,
                      "      password: %s" % json.dumps(password)]
        lines += ["    static_configs:", "      - targets: ['%s']" % target]
    config = os.path.join(workdir, "prometheus.yml")
    with open(config, "w") as f:
        f.write("\n".join(lines) + "\n")
    data = tempfile.mkdtemp(prefix="prometheus-", dir=workdir)
    log = open(os.path.join(workdir, "prometheus.log"), "w")
    process = subprocess.Popen(
        ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + data,
         "--web.listen-address=127.0.0.1:%d" % port], stdout=log, stderr=log)
    site.processes.insert(0, process)  # stopped after serve
    return "http://127.0.0.1:%d" % port


def api(prometheus, path, **params):
    url = prometheus + path + ("?" + urllib.parse.urlencode(params) if params else "")
    try:
        _, body = serve_site.get(url)
    except OSError:
        return None
    answer = json.loads(body)
    return answer.get("data") if answer.get("status") == "success" else None


def query(prometheus, expression):
    data = api(prometheus, "/api/v1/query", query=expression)
    return data["result"] if data else []


def targets(prometheus):
    """Job -> its target's health, lastError and lastScrapeDuration, once every job has been
    scraped at least once."""
    data = api(prometheus, "/api/v1/targets")
    if not data:
        return None
    found = {t["labels"]["job"]: t for t in data["activeTargets"]}
    if set(found) != set(JOBS) or any(t["health"] == "unknown" for t in found.values()):
        return None
    return found


def main():
    vpihost, metersim, workdir = sys.argv[1:4]
    for tool in ("prometheus", "promtool", "openssl"):
        if shutil.which(tool) is None:
            print("SKIP: %s is not installed (tools/install-deps.sh --serve)" % tool)
            return 77
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    make_certificates(workdir)
    web = write_web_config(vpihost, workdir)
    with serve_site.Site(vpihost, metersim, serve_args=["--web-config", web]) as site:
        check(site.url.startswith("https://127.0.0.1:"), "serve says it serves HTTPS: " + site.url)
        prometheus = start_prometheus(site, workdir)
        for (line, meter, gate, index), value in serve_site.PINNED.items():
            selector = ('vpi_value{job="right",line="%s",meter="%s",gate="%s",index="%d"}'
                        % (line, meter, gate, index))
            found = serve_site.wait_for(lambda: query(prometheus, selector), 60, 0.5)
            got = float(found[0]["value"][1]) if found else None
            check(got == value, "over HTTPS with the password: %s = %s (got %s)"
                  % (selector, value, got))
        # Several rounds of every job, then each one's last scrape as Prometheus saw it.
        serve_site.wait_for(lambda: len(query(prometheus, 'count_over_time(up[1m]) >= 5')) == 4,
                            30, 0.5)
        seen = serve_site.wait_for(lambda: targets(prometheus), 30, 0.5) or {}
        for job in JOBS:
            target = seen.get(job, {})
            print("     %s: health %s, lastError %r, lastScrapeDuration %s" % (
                job, target.get("health"), target.get("lastError"),
                target.get("lastScrapeDuration")))
        right = seen.get("right", {})
        check(right.get("health") == "up" and right.get("lastError") == "",
              "the job with the CA and the password is up")
        for job in ("wrong-password", "no-password"):
            target = seen.get(job, {})
            error = target.get("lastError", "")
            duration = target.get("lastScrapeDuration", 99)
            check(target.get("health") == "down" and "401" in error,
                  "%s: down with a 401 (%s)" % (job, error))
            check(duration < 0.5 and "deadline" not in error and "timeout" not in error,
                  "%s: answered at once, not slowed into the scrape's time-out (%.3f s)"
                  % (job, duration))
            ups = query(prometheus, 'max_over_time(up{job="%s"}[1m])' % job)
            check(bool(ups) and ups[0]["value"][1] == "0",
                  "%s: up has been 0 at every scrape" % job)
        no_ca = seen.get("no-ca", {})
        check(no_ca.get("health") == "down"
              and "certificate signed by unknown authority" in no_ca.get("lastError", ""),
              "without the CA the handshake fails: %s" % no_ca.get("lastError"))
        with open(os.path.join(site.dir, "serve.err")) as f:
            errors = f.read()
        check("warning" not in errors, "no warning on loopback with TLS and a password")
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
