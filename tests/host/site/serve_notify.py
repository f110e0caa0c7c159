#!/usr/bin/env python3
"""vpihost serve talking to a service manager, as systemd would hear it: a datagram socket of
the test's own is $NOTIFY_SOCKET, $WATCHDOG_USEC asks for pings. Against the simulated site of
two lines: READY=1 once both lines have tried their ports, with the status line; the status
following the meters; WATCHDOG=1 at half the interval, on while a line's adapter is unplugged;
RELOADING=1 then READY=1 around SIGHUP; STOPPING=1 on SIGTERM. Then a site whose only adapter
is not there: ready all the same, its status saying no line is open.
Usage: serve_notify.py VPIHOST METERSIM WORKDIR with-systemd|without-systemd.
Exit 0 pass, 1 fail, 77 serve was built without libsystemd."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402

WATCHDOG_USEC = 3000000  # pings every 1.5 s


class Manager:
    """The manager's end of $NOTIFY_SOCKET: every notification, with the time it came."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.messages = []

    def read_for(self, seconds):
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                return
            self.messages.append((time.monotonic(), data.decode()))

    def wait_for(self, predicate, seconds, after=0.0):
        """Reads until a message that came at `after` or later satisfies predicate; it (its
        time and text), or None when none has within `seconds`."""
        seen = 0
        end = time.monotonic() + seconds
        while True:
            for at, text in self.messages[seen:]:
                if at >= after and predicate(text):
                    return at, text
            seen = len(self.messages)
            if time.monotonic() >= end:
                return None
            self.read_for(min(0.2, end - time.monotonic()))

    def since(self, at):
        return [text for when, text in self.messages if when >= at]

    def close(self):
        self.sock.close()


def fields(text):
    return dict(line.split("=", 1) for line in text.split("\n") if "=" in line)


def simulated_site(vpihost, metersim, work):
    manager = Manager(os.path.join(work, "notify.sock"))
    os.environ["NOTIFY_SOCKET"] = manager.sock.getsockname()
    os.environ["WATCHDOG_USEC"] = str(WATCHDOG_USEC)
    try:
        with serve_site.Site(vpihost, metersim) as site:
            started = time.monotonic()
            ready = manager.wait_for(lambda t: "READY=1" in t.split("\n"), 20)
            check(ready is not None, "READY=1 once both lines have tried their ports")
            if ready is None:
                print(manager.messages)
                return
            status = fields(ready[1]).get("STATUS", "")
            check(re.fullmatch(r"2 of 2 lines open, [0-3] of 3 meters answering", status),
                  "READY=1 comes with the status line: " + status)
            # Meter three is silent; one and two answer.
            answering = manager.wait_for(
                lambda t: fields(t).get("STATUS") == "2 of 2 lines open, 2 of 3 meters answering",
                20)
            check(answering is not None, "STATUS= follows: 2 of 2 lines open, 2 of 3 meters")

            manager.read_for(max(0.0, started + 6 - time.monotonic()))
            pings = [at for at, text in manager.messages if text == "WATCHDOG=1"]
            gaps = [b - a for a, b in zip(pings, pings[1:])]
            check(len(pings) >= 3 and max(gaps) < WATCHDOG_USEC / 1e6,
                  "WATCHDOG=1 within every %g s: %d pings, gaps %s s"
                  % (WATCHDOG_USEC / 1e6, len(pings), ", ".join("%.2f" % g for g in gaps)))
            statuses = [at for at, t in manager.messages if "STATUS=" in t]
            check(all(b - a >= 0.99 for a, b in zip(statuses, statuses[1:])),
                  "the status line goes out at most once a second")

            # An unplugged adapter is no stuck line: the pings go on, the status says it.
            site.unplug(0)
            unplugged = time.monotonic()
            closed = manager.wait_for(
                lambda t: fields(t).get("STATUS", "").startswith("1 of 2 lines open"), 20)
            check(closed is not None, "STATUS= says 1 of 2 lines open once line A's adapter goes")
            manager.read_for(4)
            later = [t for t in manager.since(unplugged + 1) if t == "WATCHDOG=1"]
            check(len(later) >= 2, "the pings go on with line A unplugged (%d)" % len(later))

            hangup = time.monotonic()
            site.serve.send_signal(signal.SIGHUP)
            reloaded = manager.wait_for(lambda t: "READY=1" in t.split("\n"), 20, hangup)
            after = [t for t in manager.since(hangup) if "RELOADING=1" in t or "READY=1" in t]
            check(reloaded is not None and len(after) >= 2 and "RELOADING=1" in after[0]
                  and re.search(r"MONOTONIC_USEC=\d+", after[0]) and "READY=1" in after[1],
                  "SIGHUP: RELOADING=1 (MONOTONIC_USEC=), then READY=1: %r" % after[:2])

            stop = time.monotonic()
            code = site.stop_serve()
            manager.read_for(0.5)
            check(code == 0 and "STOPPING=1" in manager.since(stop),
                  "SIGTERM: STOPPING=1, and serve ends with 0 (%s)" % code)
            errors = site.errors()
            check("watchdog" not in errors, "no line was said to be stuck")
    finally:
        manager.close()


def unplugged_site(vpihost, work):
    manager = Manager(os.path.join(work, "notify2.sock"))
    os.environ["NOTIFY_SOCKET"] = manager.sock.getsockname()
    os.environ.pop("WATCHDOG_USEC", None)
    config = os.path.join(work, "unplugged.toml")
    with open(config, "w") as f:
        f.write('site = "unplugged"\n[[line]]\nname = "L"\nport = "/tmp/N%d"\n'
                'interval = "1s"\n[[line.meter]]\nname = "m"\naddress = 1\ngates = ["0101"]\n'
                % (os.getpid() % 100000))
    serve = subprocess.Popen([vpihost, "--quiet", "serve", "--config", config, "--listen",
                              "127.0.0.1:0"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        ready = manager.wait_for(lambda t: "READY=1" in t.split("\n"), 20)
        check(ready is not None and fields(ready[1]).get("STATUS")
              == "0 of 1 line open, 0 of 1 meter answering",
              "a site whose adapter is not there is ready all the same: %r"
              % (ready[1] if ready else None))
        manager.read_for(1)
        check(not any("WATCHDOG" in t for _, t in manager.messages),
              "no pings when the manager asks for none")
    finally:
        serve_site.terminate(serve)
        manager.close()


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    vpihost, metersim, work, built = sys.argv[1:]
    if built != "with-systemd":
        print("SKIP: vpihost was built without libsystemd (libsystemd-dev): serve tells no "
              "service manager anything")
        return 77
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    simulated_site(vpihost, metersim, work)
    unplugged_site(vpihost, work)
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
