#!/usr/bin/env python3
"""vpihost.exe's line tools under Wine: scan finds metersim's meters on a pseudo-terminal that is
COM12 of a private prefix (a name Windows knows only in its device namespace), and ports lists
COM12 from the prefix's serial device map.

usage: host_lines_wine.py METERSIM VPIHOST_EXE WINEPREFIX

Exits 77 (skipped) when METERSIM, which the native build makes, is not there.

The prefix's server is started in the foreground mode from a shell that is not a session
leader, and its services with no streams of ours, so that nothing keeps the test runner's pipes
open and no terminal becomes a controlling one.
"""
import json
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from wine_prefix import begin, check, finish, metersim_on, requests_in, wine  # noqa: E402


def check_scan(exe, prefix):
    code, out, err = wine(prefix, exe, "--quiet", "scan", "--port", "COM12", "--addresses",
                          "0-12", "--timeout", "50", "--json")
    check(code == 0, "scan exits 0 (got %d): %s" % (code, err))
    found = [json.loads(line) for line in out.splitlines() if line.strip()]
    check(sorted(m["address"] for m in found) == [5, 11], "scan finds 05 and 11: %s" % out)
    for meter in found:
        check(meter["fields"] == 40 and meter["baud"] == 9600 and meter["values"][0] > 100,
              "meter %d: 40 fields at 9600 baud" % meter["address"])
    check("2 meter(s) found in 13 probe(s)" in err, "the closing sentence: " + err)
    code, out, err = wine(prefix, exe, "--quiet", "scan", "--port", "COM12", "--addresses",
                          "1-3", "--timeout", "20")
    check(code == 2, "a scan that finds nobody exits 2 (got %d)" % code)


def check_ports(exe, prefix):
    # The device map entry Windows makes for a serial port; Wine makes its own only for the
    # devices it found at start.
    wine(prefix, "reg", "add", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM", "/v", r"\Device\Serial12",
         "/t", "REG_SZ", "/d", "COM12", "/f")
    code, out, err = wine(prefix, exe, "ports", "--json")
    check(code == 0, "ports exits 0 (got %d): %s" % (code, err))
    ports = {p["port"]: p for p in (json.loads(l) for l in out.splitlines() if l.strip())}
    check("COM12" in ports, "ports lists COM12: %s" % out)
    com12 = ports.get("COM12", {})
    check(com12.get("device") == r"\Device\Serial12" and com12.get("fits") is True,
          "COM12 from the device map, and it fits: %s" % com12)
    code, out, err = wine(prefix, exe, "ports")
    check(code == 0 and "\nCOM12 " in out, "the table lists COM12: " + out)


def main():
    metersim, exe, prefix, work = begin(__doc__, "vpihost-lines-wine-")
    events = os.path.join(work, "events.jsonl")
    with metersim_on(metersim, prefix, "com12",
                     ["--meter", "05", "--meter", "11", "--events", events]):
        check_scan(exe, prefix)
        check_ports(exe, prefix)
    requests = requests_in(events)
    shutil.rmtree(work, ignore_errors=True)
    check([r["meter"] for r in requests] == list(range(13)) + [1, 2, 3],
          "one plain-block request per address probed: %s" % [r["meter"] for r in requests])
    finish("vpihost.exe line tools under Wine: all checks passed")


if __name__ == "__main__":
    main()
