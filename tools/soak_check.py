#!/usr/bin/env python3
"""Checks a soak run: every value vpihost reported as read against what the meter sent.

For each line: vpihost's `poll --json` output, metersim's `--events` file and the gates polled
(in poll order, EX gates with ":COUNT"). The gates of a line are polled in an order where no two
neighbours (the last and the first included) name the same meter and request, so the requests
metersim logged fall into runs, one run per reading: the attempts of that reading. A reading
reported done must carry the values of a valid frame that its meter sent in its own run. And the
other way round: a run in which the meter answered with a whole, valid frame, in time and with
no fault, must have been read (done), with that frame's values when nothing else in the run or
still arriving from an earlier one could have been taken for it; a reading refused or failed
needs a fault in its run, or a late reply of an earlier run still going out when it began.

The decoding here is this checker's own, written from the meters' frame layouts, not taken
from the driver or the simulator.

Usage: soak_check.py [--rss START_KB END_KB LIMIT_KB] [--timeout MS]
                     --line JSONL EVENTS GATE... [--line ...]
Exit status 0 when every check holds, 1 with the reasons otherwise.
"""

import collections
import json
import re
import struct
import sys

# The plain block: (width, kilo) per field; field 31 is a status byte in hex.
PLAIN = [(4, 1)] * 3 + [(5, 1)] * 3 + [(6, 1)] * 3 + [(4, 0)] * 3 + [(6, 1), (4, 0), (6, 1),
         (5, 1), (4, 0)] + [(6, 1)] * 11 + [(5, 1)] * 3 + [(2, 0), (6, 1), (6, 1)] + [(4, 0)] * 6
assert len(PLAIN) == 40
STATUS_FIELD = 31
# T families: field widths, and which fields the meters send one below what they mean.
T_FAMILIES = {
    "TR": ([2, 2, 4], lambda i: i == 0),
    "TK": ([2, 2, 4], lambda i: False),
    "TY": ([2, 2], lambda i: i != 1),
    "TD": ([2] * 25, lambda i: i % 3 == 0),
    "TC": ([2] * 33, lambda i: i != 1),
}


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def gate_request(gate):
    """(meter, command, family) of a gate address as polled, e.g. "07TR31" -> (7, "P02", "T")."""
    text, _, count = gate.partition(":")
    meter = int(text[:2])
    if len(text) == 4:
        return meter, "0", "PLAIN"
    if text[4:5] == "H":
        return meter, "H" + text[5], "H"
    kind = text[2:4]
    if kind == "EX":
        return meter, "A%02X%02X%02X" % (int(text[4:6]), int(text[6:8]), int(count)), "EX"
    if kind == "TR":
        return meter, "P%02X" % (int(text[4]) - 1), "TR"
    if kind == "TK":
        return meter, "P%02X" % (int(text[4]) + 7), "TK"
    if kind == "TY":
        return meter, "U%02X" % (int(text[4]) - 1), "TY"
    if kind == "TD":
        return meter, "Q%02X" % (int(text[4:6]) - 1), "TD"
    if kind == "TC":
        bank = 0 if text[4] == "0" else 1
        return meter, "R%02X%02X" % (bank, int(text[5:7])), "TC"
    raise ValueError("gate form not known to the checker: " + gate)


def checksum(counted):
    total = 0
    for byte in counted:
        total = (total + byte - 34) & 0xFFFF
    return total % 92 + 34


def frames(data):
    """Every frame with a valid length field and checksum in `data`, as bytes."""
    found = []
    for at in range(len(data)):
        if data[at] != 0x21 or at + 4 > len(data):
            continue
        digits = data[at + 1:at + 4]
        if not digits.isdigit():
            continue
        length = int(digits)
        end = at + length + 4
        if length < 6 or length > 300 or end > len(data):
            continue
        frame = data[at:end]
        if frame[-2:] == b"\r\n" and frame[length + 1] == checksum(frame[1:length + 1]):
            found.append(frame)
    return found


LEADING_NUMBER = re.compile(r"\s*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")


def real(text, lenient=False):
    """A field's number; `lenient`: its longest leading number, as a C reader takes it."""
    if lenient:
        match = LEADING_NUMBER.match(text)
        text = match.group(0) if match else ""
    try:
        return f32(float(text))
    except ValueError:
        return None


def t_field(text):
    n = 0
    for c in text:
        n = 16 * n + (ord(c) - 48 if "0" <= c <= "9" else ord(c) - 55)
    return n


def decode(frame, family, count, lenient=False):
    """The values a reading of `family` takes from `frame`, or None when it holds none."""
    data = frame[7:-3].decode("latin1")
    values = []
    if family == "PLAIN":
        at = 0
        for field, (width, kilo) in enumerate(PLAIN):
            text = data[at:at + width]
            if len(text) < width:
                return None
            at += width
            if field == STATUS_FIELD:
                try:
                    values.append(float(int(text, 16)))
                except ValueError:
                    return None
                continue
            value = real(text)
            if value is None:
                return None
            values.append(f32(value * 1000.0) if kilo and "." in text else value)
        return values
    if family == "H":
        if len(data) < 170:
            return None
        values = [real(data[i * 5:i * 5 + 5], lenient) for i in range(34)]
        return None if None in values else values
    if family == "EX":
        if len(data) < 2 + 8 * count or data[:2] != "%02X" % count:
            return None
        for i in range(count):
            try:
                bits = int(data[2 + 8 * i:10 + 8 * i], 16)
            except ValueError:
                return None
            values.append(f32(float(bits - (1 << 32) if bits >= 1 << 31 else bits)))
        return values
    widths, adds_one = T_FAMILIES[family]
    at = 0
    for i, width in enumerate(widths):
        text = data[at:at + width]
        if len(text) < width:
            return None
        at += width
        n = t_field(text) + (1 if adds_one(i) else 0)
        if n >= 0:
            n %= 1000 if width == 2 else 100000
        values.append(float(n))
    return values


def decode_prefix(frame, family):
    """The T values a reader gets from a frame too short for the register, field by field, as
    long as whole fields lie before the checksum character (an echoed request is such a frame).
    """
    if family not in T_FAMILIES:
        return None
    data = frame[7:-3].decode("latin1")
    widths, adds_one = T_FAMILIES[family]
    values = []
    at = 0
    for i, width in enumerate(widths):
        if at + width > len(data):
            break
        n = t_field(data[at:at + width]) + (1 if adds_one(i) else 0)
        values.append(float(n % (1000 if width == 2 else 100000) if n >= 0 else n))
        at += width
    return values


def same(reported, expected):
    if expected is None or len(reported) != len(expected):
        return False
    for r, e in zip(reported, expected):
        if r is None or e is None:
            if r is not e:
                return False
        elif f32(r) != e:
            return False
    return True


def fault_modes(event):
    return [rule.split(":")[0].split("=")[0] for rule in event.get("fault", [])]


def clean_reply(event, timeout_us):
    """Whether the meter answered `event` with one whole, valid frame and nothing else, within
    half the read time-out (slack for a loaded machine), with no fault but an on-time delay."""
    reply = event.get("reply")
    if not reply or not timeout_us:
        return False
    if any(mode != "delay" for mode in fault_modes(event)):
        return False
    if event["reply_end_us"] - event["time_us"] > timeout_us // 2:
        return False
    data = bytes.fromhex(reply["hex"])
    return frames(data) == [data]


class LineCheck:
    def __init__(self, name, jsonl, events, gates, timeout_ms):
        self.name = name
        self.timeout_us = timeout_ms * 1000
        self.gates = {g.partition(":")[0]: g for g in gates}
        self.readings = [json.loads(l) for l in open(jsonl) if l.startswith("{")]
        self.events = [json.loads(l) for l in open(events)]
        self.requests = [e for e in self.events if e["kind"] == "request"]
        self.errors = []
        self.checked = collections.Counter()
        self.results = collections.Counter()
        self.faults = collections.Counter()
        self.causes = collections.Counter()
        self.clean_runs = 0
        self.unread = 0

    def runs(self):
        """The requests cut into runs of the same meter and command."""
        runs = []
        for event in self.requests:
            key = (event["meter"], event["command"])
            if runs and runs[-1][0] == key:
                runs[-1][1].append(event)
            else:
                runs.append((key, [event]))
        return runs

    def candidates(self, run, family, count):
        """(values, where) of every frame a reading could have been given in or near a run."""
        found = []
        for event in run:
            if event.get("reply"):
                for frame in frames(bytes.fromhex(event["reply"]["hex"])):
                    found.append((decode(frame, family, count), event))
        return found

    def explain(self, values, family, count, runs, index):
        """(cause, text): where values that are not the meter's own reply came from."""
        for back in range(1, 4):
            if index - back < 0:
                break
            key, run = runs[index - back]
            for event in run:
                for frame in frames(bytes.fromhex(event["reply"]["hex"])) if event.get("reply") \
                        else []:
                    prefix = decode_prefix(frame, family) or []
                    if same(values, decode(frame, family, count)) or \
                            same(values, decode(frame, family, count, lenient=True)) or \
                            (prefix and same(values[:len(prefix)], prefix)):
                        return "late reply", "decoded from the reply to request #%s (meter %s, " \
                            "%s), %d request(s) earlier: a late reply taken as this one's" % (
                                event.get("number"), key[0], key[1], back)
        for event in runs[index][1]:
            for frame in frames(bytes.fromhex(event["request"]["hex"])):
                prefix = decode_prefix(frame, family)
                if prefix and same(values[:len(prefix)], prefix):
                    return "echo", "the first %d value(s) decoded from the request itself, " \
                        "which the line echoed (faults %s)" % (len(prefix), event.get("fault"))
        if index > 0:
            key, run = runs[index - 1]
            last = run[-1]
            if last.get("reply") and self.timeout_us and \
                    last["reply_start_us"] - last["time_us"] > self.timeout_us:
                return "late reply", "matches no frame of its own; the reply to request #%s " \
                    "(meter %s, %s) just before came %d ms after its request, after the " \
                    "time-out: likely taken as this one's" % (
                        last.get("number"), key[0], key[1],
                        (last["reply_start_us"] - last["time_us"]) // 1000)
        return "other", "matches no frame the meter sent for it"

    def check(self):
        for event in self.requests:
            for mode in fault_modes(event):
                self.faults[mode] += 1
        runs = self.runs()
        at = 0
        for reading in self.readings:
            gate = self.gates.get(reading["gate"])
            if gate is None:
                self.errors.append("%s: reading of unknown gate %s" % (self.name, reading["gate"]))
                continue
            meter, command, family = gate_request(gate)
            count = int(gate.partition(":")[2] or 0)
            self.results[reading["status"]] += 1
            if at >= len(runs) or runs[at][0] != (meter, command):
                seen = runs[at][0] if at < len(runs) else "nothing"
                self.errors.append("%s: reading of %s at %s has no requests of its own on the "
                                   "line (next there: %s)" % (self.name, reading["gate"],
                                                              reading["time"], seen))
                return
            self.check_answered(reading, runs, at, family, count)
            if reading["result"] == 0:
                self.checked[family if family in ("PLAIN", "H", "EX") else "T"] += 1
                values = reading["values"]
                if not any(same(values, decoded)
                           for decoded, _ in self.candidates(runs[at][1], family, count)):
                    cause, text = self.explain(values, family, count, runs, at)
                    self.causes[cause] += 1
                    self.errors.append("%s: %s read at %s reported %s: %s" % (
                        self.name, reading["gate"], reading["time"], _short(values), text))
            at += 1
        self.leftover = len(runs) - at

    def check_answered(self, reading, runs, index, family, count):
        """A run with a clean answer must have been read, and when nothing else in it or before
        it can have been taken for the answer, with that answer's values. A reading that is not
        done needs a fault of its own run or a late reply of an earlier run still going out
        when it began."""
        run = runs[index][1]
        clean = [event for event in run if clean_reply(event, self.timeout_us)]
        self.clean_runs += 1 if clean else 0
        if reading["result"] == 0:
            quiet = all(clean_reply(event, self.timeout_us) or not event.get("reply")
                        for event in run) and not self.late_into(runs, index)
            # Every clean answer of the run is one the reading may carry: an attempt the
            # meter answered only after the driver had given up on it and asked again is read
            # during the next attempt, by right (same meter, same request).
            if clean and quiet:
                answers = [decode(bytes.fromhex(event["reply"]["hex"]), family, count)
                           for event in clean]
                if not any(same(reading["values"], answer) for answer in answers):
                    self.unread += 1
                    self.errors.append("%s: %s read at %s reported %s, not the values of a "
                                       "clean reply (the last: request #%s)" % (
                                           self.name, reading["gate"], reading["time"],
                                           _short(reading["values"]), clean[-1].get("number")))
            return
        if clean:
            self.unread += 1
            self.errors.append("%s: %s read at %s %s, though request #%s had a clean reply "
                               "%d ms after it" % (
                                   self.name, reading["gate"], reading["time"], reading["status"],
                                   clean[0].get("number"),
                                   (clean[0]["reply_end_us"] - clean[0]["time_us"]) // 1000))
        elif not any(event.get("fault") for event in run) and \
                not self.late_into(runs, index):
            self.unread += 1
            self.errors.append("%s: %s read at %s %s, and no fault in its %d request(s) explains "
                               "it" % (self.name, reading["gate"], reading["time"],
                                       reading["status"], len(run)))


    @staticmethod
    def late_into(runs, index):
        """Whether a reply to an earlier run was still going out when run `index` began."""
        begun = runs[index][1][0]["time_us"]
        for _, run in runs[max(0, index - 3):index]:
            for event in run:
                if event.get("reply") and event["reply_end_us"] > begun:
                    return True
        return False


def _short(values):
    text = json.dumps(values)
    return text if len(text) < 80 else text[:77] + "..."


def main(argv):
    lines = []
    rss = None
    timeout_ms = 0
    i = 1
    while i < len(argv):
        if argv[i] == "--rss":
            rss = tuple(int(v) for v in argv[i + 1:i + 4])
            i += 4
        elif argv[i] == "--timeout":
            timeout_ms = int(argv[i + 1])
            i += 2
        elif argv[i] == "--line":
            j = i + 3
            while j < len(argv) and not argv[j].startswith("--"):
                j += 1
            lines.append(LineCheck("line %d" % (len(lines) + 1), argv[i + 1], argv[i + 2],
                                   argv[i + 3:j], timeout_ms))
            i = j
        else:
            sys.exit("soak_check: unknown argument " + argv[i])
    errors = []
    checked = collections.Counter()
    results = collections.Counter()
    faults = collections.Counter()
    causes = collections.Counter()
    clean_runs = 0
    unread = 0
    for line in lines:
        line.check()
        errors += line.errors
        checked.update(line.checked)
        results.update(line.results)
        faults.update(line.faults)
        causes.update(line.causes)
        clean_runs += line.clean_runs
        unread += line.unread
        if not line.readings:
            errors.append("%s: vpihost reported no readings" % line.name)
    if rss is not None and rss[1] - rss[0] > rss[2]:
        errors.append("vpihost RSS grew from %d kB to %d kB, more than the %d kB allowed" % rss)
    for error in errors[:20]:
        print("soak: " + error)
    if len(errors) > 20:
        print("soak: ... and %d more" % (len(errors) - 20))
    by_family = ", ".join("%s %d" % (f, checked[f]) for f in ("PLAIN", "H", "T", "EX"))
    fault_text = ", ".join("%s %d" % kv for kv in sorted(faults.items())) or "none"
    rss_text = " rss %d->%d kB (limit +%d);" % rss if rss else ""
    cause_text = ", ".join("%s %d" % kv for kv in sorted(causes.items()))
    print("soak %s: %d readings checked (%s); %d done, %d refused, %d failed; %d runs answered "
          "cleanly, %d reading(s) not as answered or not done without cause;%s faults seen: %s; "
          "%d problem(s)%s" % (
              "FAIL" if errors else "PASS", sum(checked.values()), by_family, results["done"],
              results["refused"], results["failed"], clean_runs, unread, rss_text, fault_text,
              len(errors), " (wrong values: " + cause_text + ")" if cause_text else ""))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
