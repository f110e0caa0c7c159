#!/usr/bin/env python3
"""The HTTP side over TLS with passwords, through Python's ssl client: certificates made here
with openssl (a CA, the server's, a client's; and a stranger CA with its own client). A client
that trusts the CA gets the pages; one without the CA fails its handshake; the lowest TLS
version holds; each way of asking for client certificates lets in and keeps out whom it should;
without a password, with a wrong one or an unknown user the answer is one and the same 401
asking for Basic auth, /healthz stays open; slow password checks hold up no other connection;
files that cannot serve are refused with the reason.
Usage: serve_tls.py TEST_SERVER WORKDIR. Exit 0 pass, 1 fail, 77 no openssl."""
import base64
import http.client
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True)


class Certificates:
    """A CA, a server certificate for 127.0.0.1 and a client certificate it signs; a stranger
    CA and a client certificate of its own; a key that belongs to no certificate here."""

    def __init__(self, folder):
        self.dir = folder
        self.ca = self.authority("ca", "test CA")
        self.stranger = self.authority("stranger", "stranger CA")
        self.server = self.leaf("server", "ca", "127.0.0.1",
                                "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
        self.client = self.leaf("client", "ca", "meter reader",
                                "extendedKeyUsage=clientAuth\n")
        self.strange_client = self.leaf("strange-client", "stranger", "intruder",
                                        "extendedKeyUsage=clientAuth\n")
        self.other_key = self.path("other.key")
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-out", self.other_key)

    def path(self, name):
        return os.path.join(self.dir, name)

    def authority(self, name, subject):
        key, cert = self.path(name + ".key"), self.path(name + ".pem")
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + subject)
        return cert

    def leaf(self, name, issuer, subject, extensions):
        key, request, cert = (self.path(name + ".key"), self.path(name + ".csr"),
                              self.path(name + ".pem"))
        ext = self.path(name + ".ext")
        with open(ext, "w") as f:
            f.write(extensions)
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", key, "-out", request, "-subj", "/CN=" + subject)
        openssl("x509", "-req", "-in", request, "-CA", self.path(issuer + ".pem"),
                "-CAkey", self.path(issuer + ".key"), "-CAcreateserial", "-out", cert,
                "-days", "2", "-extfile", ext)
        return cert, key


class Server:
    """The test front of the HTTP side, started with `args`; stopped when its stdin closes."""

    def __init__(self, binary, args):
        self.process = subprocess.Popen([binary] + args, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        self.first = self.process.stdout.readline().strip()
        self.port = int(self.first.split()[-1]) if self.first.startswith("serving on") else None

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def context(ca=None, cert=None, maximum=None):
    """A client's TLS context: trusting `ca` (none: the system's CAs only), presenting `cert`
    (a certificate and key) when given, with TLS versions up to `maximum`."""
    tls = ssl.create_default_context(cafile=ca)
    if cert:
        tls.load_cert_chain(*cert)
    if maximum:
        tls.maximum_version = maximum
    return tls


def fetch(port, path, tls, user=None, password=None):
    """(status, headers, body) of a GET over TLS, or the exception that ended it."""
    connection = http.client.HTTPSConnection("127.0.0.1", port, context=tls, timeout=5)
    headers = {}
    if user is not None:
        token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        headers["Authorization"] = "Basic " + token
    try:
        connection.request("GET", path, headers=headers)
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read().decode()
    except (OSError, http.client.HTTPException) as e:
        return e
    finally:
        connection.close()


def status(answer):
    return answer[0] if isinstance(answer, tuple) else type(answer).__name__


def tls_args(certs, *extra):
    cert, key = certs.server
    return ["--cert", cert, "--key", key] + list(extra)


def refused_files(binary, certs):
    cert, key = certs.server
    cases = [
        (["--cert", certs.path("nothing.pem"), "--key", key],
         "cannot read certificate " + certs.path("nothing.pem") + ": No such file"),
        (["--cert", cert, "--key", certs.dir], "cannot read key " + certs.dir),
        (["--cert", cert, "--key", certs.other_key], "do not match"),
        (["--cert", cert, "--key", key, "--ca", certs.other_key],
         "no certificate in client CA file"),
        (["--cert", cert, "--key", key, "--client-auth", "require-and-verify"],
         "no client CA file"),
    ]
    for args, expected in cases:
        with Server(binary, args) as server:
            check(server.port is None and expected in server.first,
                  "refused to serve: %s (got %r)" % (expected, server.first))


def passwords(binary, certs):
    with Server(binary, tls_args(certs, "--user", "alice:s3cret")) as server:
        trusted = context(certs.ca)
        good = fetch(server.port, "/metrics", trusted, "alice", "s3cret")
        check(status(good) == 200 and "vpi_http_connections_open 1" in good[2],
              "the right password: /metrics over TLS (%s)" % status(good))
        answers = {
            "no password": fetch(server.port, "/metrics", trusted),
            "a wrong password": fetch(server.port, "/metrics", trusted, "alice", "secret"),
            "an unknown user": fetch(server.port, "/metrics", trusted, "mallory", "s3cret"),
            "a wrong password for the API": fetch(server.port, "/api/v1/status", trusted,
                                                  "alice", ""),
        }
        for what, answer in answers.items():
            check(status(answer) == 401
                  and answer[1].get("WWW-Authenticate") == 'Basic realm="vpihost"',
                  "%s: 401 asking for Basic auth (%s)" % (what, status(answer)))
        bodies = {answer[2] for answer in answers.values() if isinstance(answer, tuple)}
        check(len(bodies) == 1, "the same answer whoever asks and however wrong (%s)" % bodies)
        check(status(fetch(server.port, "/healthz", trusted)) == 200,
              "/healthz is open without a password")
        # No CA: the system's CAs do not know the server's.
        stranger = fetch(server.port, "/healthz", context())
        check(isinstance(stranger, ssl.SSLCertVerificationError),
              "a client without the CA fails the handshake (%s)" % status(stranger))


def slow_checks(binary, certs):
    """Checks of 400 ms each, 16 wrong ones at once: /healthz and a page of another connection
    are answered meanwhile, because no check runs on the server's polling threads."""
    with Server(binary, tls_args(certs, "--user", "alice:s3cret",
                                 "--check-delay-ms", "400")) as server:
        trusted = context(certs.ca)
        wrong = [threading.Thread(target=fetch, args=(server.port, "/metrics", trusted,
                                                      "alice", "nope")) for _ in range(16)]
        for thread in wrong:
            thread.start()
        time.sleep(0.3)
        started = time.monotonic()
        health = fetch(server.port, "/healthz", trusted)
        took = time.monotonic() - started
        check(status(health) == 200 and took < 1.0,
              "/healthz answers within 1 s while 16 slow checks wait (%.3f s)" % took)
        for thread in wrong:
            thread.join()
        started = time.monotonic()
        check(status(fetch(server.port, "/metrics", trusted, "alice", "s3cret")) == 200,
              "the right password still gets in after them")


def client_certificates(binary, certs):
    trusted = context(certs.ca)
    with_cert = context(certs.ca, certs.client)
    with_strange = context(certs.ca, certs.strange_client)
    expected = {
        # mode: (no client certificate, the CA's client, the stranger CA's client)
        "none": (True, True, True),
        "request": (True, True, True),
        "require-any": (False, True, True),
        "verify-if-given": (True, True, False),
        "require-and-verify": (False, True, False),
    }
    for mode, (bare, signed, strange) in expected.items():
        with Server(binary, tls_args(certs, "--ca", certs.ca, "--client-auth", mode)) as server:
            for what, tls, allowed in (("no client certificate", trusted, bare),
                                       ("the CA's client certificate", with_cert, signed),
                                       ("a stranger CA's client", with_strange, strange)):
                answer = fetch(server.port, "/metrics", tls)
                got = status(answer) == 200
                check(got == allowed, "%s, %s: %s (%s)" % (
                    mode, what, "let in" if allowed else "refused", status(answer)))


def versions(binary, certs):
    with Server(binary, tls_args(certs, "--min", "1.3")) as server:
        old = fetch(server.port, "/healthz", context(certs.ca, maximum=ssl.TLSVersion.TLSv1_2))
        check(isinstance(old, ssl.SSLError), "TLS 1.2 is refused when 1.3 is the lowest (%s)"
              % status(old))
        check(status(fetch(server.port, "/healthz", context(certs.ca))) == 200,
              "TLS 1.3 is let in")
    with Server(binary, tls_args(certs, "--max", "1.2")) as server:
        tls = context(certs.ca)
        connection = http.client.HTTPSConnection("127.0.0.1", server.port, context=tls,
                                                 timeout=5)
        connection.request("GET", "/healthz")
        connection.getresponse().read()
        check(connection.sock.version() == "TLSv1.2", "the highest version holds (%s)"
              % connection.sock.version())
        connection.close()


def main():
    binary, workdir = sys.argv[1], sys.argv[2]
    if shutil.which("openssl") is None:
        print("skipped: openssl is not installed (tools/install-deps.sh --serve)")
        return 77
    os.makedirs(workdir, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="tls-", dir=workdir)
    try:
        certs = Certificates(folder)
        refused_files(binary, certs)
        passwords(binary, certs)
        slow_checks(binary, certs)
        client_certificates(binary, certs)
        versions(binary, certs)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
