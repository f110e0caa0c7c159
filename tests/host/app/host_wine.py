#!/usr/bin/env python3
"""vpihost.exe under Wine against metersim: every gate family read, a command and an EX write,
the EX register read back, through the real satec_vpi.dll and TAMRIK.dll on a Wine COM port.

usage: host_wine.py METERSIM VPIHOST_EXE WINEPREFIX

Exits 77 (skipped) when METERSIM, which the native build makes, is not there.

metersim (the native program) serves a pseudo-terminal that it links as COM7 of a Wine prefix
private to this test. The prefix's server is started in the foreground mode from a shell that
is not a session leader, and its services with no streams of ours, so that nothing keeps the
test runner's pipes open and no terminal becomes a controlling one.
"""
import json
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from wine_prefix import begin, check, finish, metersim_on, requests_in, wine  # noqa: E402

VALUES = """plain.16 = 49.9
h2.5 = 12.5
tr3 = 0A 0B 00FF
ty2 = 05 06
ex.0.1 = 1234
ex.0.2 = -7
"""

# Gate, element (from 1), the value the driver reads back (TR and TY field 1 get 1 added).
PINNED = [("0101", 17, 49.9), ("0101H2", 6, 12.5), ("01TR31", 1, 11), ("01TR31", 3, 255),
          ("01TY21", 1, 6), ("01TY21", 2, 6), ("01EX0001", 1, 1234), ("01EX0001", 2, -7)]
GATES = ["0101", "0101H2", "01TR31", "01TK11", "01TY21", "01TD011", "01TC0011", "01TC1011",
         "01EX0001:2"]
COUNTS = {"0101": 40, "0101H2": 34, "01TR31": 3, "01TK11": 3, "01TY21": 2, "01TD011": 25,
          "01TC0011": 33, "01TC1011": 33, "01EX0001": 2}


def vpihost(exe, prefix, *args):
    return wine(prefix, exe, "--quiet", *args)


def main():
    metersim, exe, prefix, work = begin(__doc__, "vpihost-wine-")
    values = os.path.join(work, "values")
    events = os.path.join(work, "events.jsonl")
    with open(values, "w") as f:
        f.write(VALUES)
    with metersim_on(metersim, prefix, "com7",
                     ["--meter", "01", "--values", values, "--events", events]):
        code, out, err = vpihost(exe, prefix, "read", "--json", "--port", "COM7", "--timeout",
                                 "100", *GATES)
        check(code == 0, "read exits 0 (got %d): %s" % (code, err))
        readings = {}
        for text in out.splitlines():
            reading = json.loads(text)
            readings[reading["gate"]] = reading
            check(reading["result"] == 0, "%s read" % reading["gate"])
        check(set(readings) == set(COUNTS), "every gate read: %s" % sorted(readings))
        for gate, count in COUNTS.items():
            check(len(readings.get(gate, {}).get("values", [])) == count, "%s has %d values"
                  % (gate, count))
        for gate, element, value in PINNED:
            got = readings.get(gate, {}).get("values", [])
            check(len(got) >= element and abs(got[element - 1] - value) < 1e-3,
                  "%s element %d is %s" % (gate, element, value))

        dry = []
        for write in (["0100", "2"], ["01EX1001", "-5", "77"]):
            code, out, err = vpihost(exe, prefix, "write", "--dry-run", *write)
            check(code == 0, "dry run of %s" % write)
            dry.append(out.split()[1] if out.startswith("request") else "")
            code, out, err = vpihost(exe, prefix, "write", "--port", "COM7", "--timeout", "100",
                                     *write)
            check(code == 0 and "acknowledged" in out, "write %s: %s %s" % (write, out, err))
        code, out, err = vpihost(exe, prefix, "read", "--ex", "--json", "--port", "COM7",
                                 "--timeout", "100", "01EX1001:2")
        check(code == 0 and json.loads(out)["values"] == [-5, 77], "EX read back: " + out)
    requests = requests_in(events)
    shutil.rmtree(work, ignore_errors=True)
    sent = [r["request"]["text"] for r in requests if r["command"][0] in "4a"]
    check(sent == dry, "the writes sent what the dry runs showed: %s vs %s" % (sent, dry))
    check(len(requests) == len(GATES) + 3, "one request per read and write: %d"
          % len(requests))
    # poll runs the site poller, a thread per line: two cycles of one gate, then the summary.
    with metersim_on(metersim, prefix, "com7", ["--meter", "01"]):
        code, out, err = vpihost(exe, prefix, "poll", "--json", "--port", "COM7", "--timeout",
                                 "100", "--interval", "10ms", "--count", "2", "0101")
        check(code == 0 and len(out.splitlines()) == 2, "poll exits 0 with 2 readings: %s" % err)
        check("summary: 2 cycle(s), 2 exchange(s)" in err, "poll sums up: " + err)
    # A port the prefix does not have: the reason, as on Linux.
    code, out, err = vpihost(exe, prefix, "read", "--port", "COM9", "0101")
    check(code == 2 and "COM9 did not open: no such device" in err,
          "a missing port is named as such: %d %s" % (code, err))
    finish("vpihost.exe under Wine: all checks passed")


if __name__ == "__main__":
    main()
