#!/usr/bin/env python3
"""vpihost hash-password and the web configuration from the command line: a hash made from stdin
and one asked twice on a real pseudo-terminal (not echoed; two different answers refused) both
verify with htpasswd (APR's own bcrypt, not the system's crypt vpihost uses) and are taken by
promtool's check of the same file format; check-config --web-config accepts that file and refuses
broken ones with file, line and reason, as serve does before it listens; serve on an address other
machines reach warns when it asks no password, or sends passwords in plain HTTP.
Usage: web_config_cli.py VPIHOST WORKDIR. Exit 0 pass, 1 fail, 77 a tool missing."""
import os
import pty
import select
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402

SITE = """[[line]]
name = "A"
port = "/tmp/nowcfg"
interval = "1s"
[[line.meter]]
name = "one"
address = 1
gates = ["0101"]
"""


def run(args, stdin_text=None, timeout=60):
    return subprocess.run(args, input=stdin_text, capture_output=True, text=True, timeout=timeout)


def make_certificates(workdir):
    steps = [
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
         "-nodes", "-days", "2", "-subj", "/CN=test-ca", "-keyout", "ca.key", "-out", "ca.crt"],
        ["openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-subj", "/CN=localhost", "-keyout", "server.key", "-out", "server.csr"],
        ["openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
         "-CAcreateserial", "-days", "2", "-out", "server.crt"],
    ]
    for step in steps:
        subprocess.run(step, cwd=workdir, check=True, capture_output=True)


def htpasswd_verifies(workdir, user, hash_text, password):
    path = os.path.join(workdir, "htpasswd")
    with open(path, "w") as f:
        f.write("%s:%s\n" % (user, hash_text))
    return run(["htpasswd", "-vb", path, user, password]).returncode == 0


def on_terminal(vpihost, answers):
    """Runs hash-password on a new pseudo-terminal, answering each prompt in turn; what the
    terminal showed and the exit status."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(vpihost, [vpihost, "hash-password", "--cost", "4"])
    shown = b""
    answered = 0
    end = time.monotonic() + 30
    while time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if ready:
            try:
                chunk = os.read(fd, 1024)
            except OSError:  # the child has ended and closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        prompts = shown.count(b"Password:") + shown.count(b"Again:")
        if answered < len(answers) and prompts > answered:
            os.write(fd, answers[answered].encode() + b"\n")
            answered += 1
    ended, status = os.waitpid(pid, os.WNOHANG)
    wait_end = time.monotonic() + 10
    while ended == 0 and time.monotonic() < wait_end:
        time.sleep(0.05)
        ended, status = os.waitpid(pid, os.WNOHANG)
    if ended == 0:  # still waiting for an answer: the check fails, the test goes on
        os.kill(pid, 9)
        _, status = os.waitpid(pid, 0)
    os.close(fd)
    return shown.decode(errors="replace"), os.waitstatus_to_exitcode(status)


def hash_password(vpihost, workdir):
    made = run([vpihost, "hash-password", "--cost", "5"], "correct horse\n")
    hash_text = made.stdout.strip()
    check(made.returncode == 0 and hash_text.startswith("$2b$05$") and len(hash_text) == 60,
          "hash-password from stdin prints one $2b$ hash of the cost asked (got %r)" % hash_text)
    check(htpasswd_verifies(workdir, "alice", hash_text, "correct horse"),
          "htpasswd, another bcrypt, verifies the hash")
    check(not htpasswd_verifies(workdir, "alice", hash_text, "correct horse "),
          "htpasswd refuses another password against it")
    again = run([vpihost, "hash-password", "--cost", "5"], "correct horse\n").stdout.strip()
    check(again != hash_text and htpasswd_verifies(workdir, "a", again, "correct horse"),
          "a second hash of the same password has a salt of its own")
    check(run([vpihost, "hash-password"], "x\r\n").stdout.startswith("$2b$10$"),
          "the cost is 10 unless asked")
    for cost in ("3", "17"):
        bad = run([vpihost, "hash-password", "--cost", cost], "x\n")
        check(bad.returncode == 64 and "--cost takes 4 to 16" in bad.stderr,
              "--cost %s refused with status 64 (got %d: %s)" % (cost, bad.returncode,
                                                                 bad.stderr.strip()))
    for stdin_text, what in (("", "no line"), ("\n", "an empty line")):
        bad = run([vpihost, "hash-password", "--cost", "4"], stdin_text)
        check(bad.returncode == 2 and bad.stdout == "",
              "%s on stdin: nothing hashed, status 2 (got %d)" % (what, bad.returncode))

    shown, status = on_terminal(vpihost, ["tty pass", "tty pass"])
    lines = [line.strip() for line in shown.splitlines() if line.strip().startswith("$2b$")]
    check(status == 0 and "Password:" in shown and "Again:" in shown and len(lines) == 1,
          "on a terminal the password is asked twice (status %d, shown %r)" % (status, shown))
    check("tty pass" not in shown, "the password typed is not echoed")
    check(bool(lines) and htpasswd_verifies(workdir, "t", lines[0], "tty pass"),
          "the hash made on the terminal verifies with htpasswd")
    shown, status = on_terminal(vpihost, ["one", "two"])
    check(status == 2 and "the two passwords differ" in shown and "$2b$" not in shown,
          "two different answers: nothing hashed, status 2 (got %d, %r)" % (status, shown))
    return hash_text


def web_configs(vpihost, workdir, hash_text):
    good = os.path.join(workdir, "web.yml")
    with open(good, "w") as f:
        f.write("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                "basic_auth_users:\n  prometheus: '%s'\n" % hash_text)
    promtool = run(["promtool", "check", "web-config", good])
    check(promtool.returncode == 0, "promtool check web-config takes the file (%s)"
          % (promtool.stdout + promtool.stderr).strip())
    ours = run([vpihost, "check-config", "--web-config", good])
    check(ours.returncode == 0 and "TLS with %s/server.crt, 1 user(s): ok" % workdir in ours.stdout,
          "check-config --web-config takes it: %s" % (ours.stdout + ours.stderr).strip())

    site = os.path.join(workdir, "site.toml")
    with open(site, "w") as f:
        f.write(SITE)
    both = run([vpihost, "check-config", site, "--web-config", good])
    check(both.returncode == 0 and both.stdout.count(": ok") == 2,
          "check-config checks a site file and a web configuration at once")

    broken = {
        "malformed": ("tls_server_config:\n  cert_file: [server.crt\n", ":3: not YAML"),
        "not-bcrypt": ("basic_auth_users:\n  prometheus: '$1$abc$def'\n",
                       ":2: basic_auth_users.prometheus: not a bcrypt hash"),
        "no-cert": ("tls_server_config:\n  cert_file: gone.crt\n  key_file: server.key\n",
                    ":2: tls_server_config.cert_file: cannot read %s/gone.crt: No such file or "
                    "directory" % workdir),
        "unknown-key": ("basic_auth_user:\n  a: b\n", ":1: basic_auth_user: unknown key"),
    }
    for name, (text, reason) in broken.items():
        path = os.path.join(workdir, name + ".yml")
        with open(path, "w") as f:
            f.write(text)
        checked = run([vpihost, "check-config", "--web-config", path])
        check(checked.returncode == 1 and ("vpihost: " + path + reason) in checked.stderr,
              "check-config refuses the %s file with its line and reason (got %d: %s)"
              % (name, checked.returncode, checked.stderr.strip()))
        served = run([vpihost, "--quiet", "serve", "--config", site, "--web-config", path,
                      "--listen", "127.0.0.1:0"], timeout=30)
        check(served.returncode == 1 and ("vpihost: " + path + reason) in served.stderr
              and "not serving" in served.stderr and "serving" not in served.stdout,
              "serve refuses to start on the %s file, saying why (got %d: %s)"
              % (name, served.returncode, served.stderr.strip()))
    return site, good


def network_warnings(vpihost, workdir, site, hash_text):
    users = os.path.join(workdir, "users.yml")
    with open(users, "w") as f:
        f.write("basic_auth_users:\n  prometheus: '%s'\n" % hash_text)
    cases = [
        ("127.0.0.1:0", [], None, "on loopback"),
        ("0.0.0.0:0", [], "with no password: anyone on the network can read the meters",
         "on every address without a password"),
        ("0.0.0.0:0", ["--web-config", users], "in plain HTTP: the passwords cross the network",
         "with passwords but no TLS"),
    ]
    for listen, extra, warning, what in cases:
        err_path = os.path.join(workdir, "serve.err")
        with open(err_path, "w") as err:
            serve = subprocess.Popen([vpihost, "--quiet", "serve", "--config", site, "--listen",
                                      listen] + extra, stdout=subprocess.PIPE, stderr=err,
                                     text=True)
        first = serve.stdout.readline()
        serve_site.terminate(serve)
        with open(err_path) as f:
            errors = f.read()
        if warning is None:
            check("serving" in first and "warning" not in errors,
                  "serve %s: no warning (%s)" % (what, errors.strip()))
        else:
            check("serving" in first and ("warning: listening on 0.0.0.0 " + warning) in errors,
                  "serve %s warns: %s" % (what, errors.strip()))


def main():
    vpihost, workdir = sys.argv[1], sys.argv[2]
    for tool in ("openssl", "htpasswd", "promtool"):
        if shutil.which(tool) is None:
            print("SKIP: %s is not installed (tools/install-deps.sh --serve installs it)" % tool)
            return 77
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    make_certificates(workdir)
    hash_text = hash_password(vpihost, workdir)
    site, _ = web_configs(vpihost, workdir, hash_text)
    network_warnings(vpihost, workdir, site, hash_text)
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
