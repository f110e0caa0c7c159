#!/usr/bin/env python3
"""Writes the checked-in seed corpora: the worked address texts for the gate target, one
valid exchange per read family and per write for the reply target, and a channel lifecycle
for the channel target. The byte layouts are the ones the targets read (see fuzz_*.cpp)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def checksum(head):
    length = int(head[1:4])
    total = sum(b - 34 for b in head[1:length + 1]) % 65536
    return bytes([total % 92 + 34])


def frame(body):
    head = b"!" + b"%03d" % (len(body) + 3) + body
    return head + checksum(head) + b"\r\n"


def reply(command, data):
    """A reply of meter 01 to `command`: the address and command lead its body, as in the
    request; the driver takes no other meter's reply and no reply to another command."""
    return frame(b"01" + command + data)


# ---- gate: [flags: bit0 check, bit1 unterminated][value type][count pick] text
COUNTS = [1, 40, 28, 34, 3, 2, 25, 33, 0, -1, 36, 37]
WORKED = ["0105", "0100", "0141", "0534h2", "0535H2", "12tr35", "12TR305", "12TR39", "12TK21",
          "12TY11", "12TY22", "12TD1625", "12TD01 7", "12TC01201", "12TC105 7", "12TC0100",
          "12TC013", "03EX0102", "03EX0000", "01H2"]
for i, text in enumerate(WORKED):
    put("gate", "parse-%02d" % i, bytes([0, 0, 0]) + text.encode())
CHECKS = [("0101", 40), ("0101", 28), ("0101h2", 34), ("12tr31", 3), ("12TK21", 3), ("12TY11", 2),
          ("12TD0101", 25), ("12TC01201", 33), ("03EX0102", 5), ("0100", 1)]
for i, (text, count) in enumerate(CHECKS):
    put("gate", "check-%02d" % i, bytes([1, 0, COUNTS.index(count) if count in COUNTS else 0]) + text.encode())
put("gate", "long-unterminated", bytes([2, 0, 0]) + b"0105" + b"x" * 20)

# ---- reply: [op][memtype pick][plc][index pick][count u16][line flags] values... [stale]
#      then per request [how][u16 size][bytes]
MEMTYPES = {"plain": 0, "h1": 1, "h6": 2, "tr1": 3, "tr8": 4, "tk1": 5, "tk3": 6, "ty1": 7,
            "ty2": 8, "td1": 9, "td16": 10, "tc1": 11, "tc12": 12, "tc13": 13, "tc24": 14,
            "ex": 15, "index0": 16}
READ_EX, READ, WRITE = 0, 1, 2
LINE = 0x40  # read time-out of 41 units, no faults


def reply_seed(op, memtype, count, answers, index_pick=200, values=()):
    head = bytes([op, MEMTYPES[memtype], 1, index_pick]) + struct.pack("<H", count & 0xFFFF)
    head += bytes([LINE]) + b"".join(struct.pack("<f", v) for v in values) + bytes([0])
    for a in answers:
        head += bytes([0]) + struct.pack("<H", len(a)) + a
    return head


widths = [4, 4, 4, 5, 5, 5, 6, 6, 6, 4, 4, 4, 6, 4, 6, 5, 4, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 5, 5,
          5, 2, 6, 6, 4, 4, 4, 4, 4, 4]
plain = b"".join(b"1F" if i == 31 else b"0" * (w - 1) + bytes([48 + i % 10]) for i, w in enumerate(widths))
put("reply", "plain-40", reply_seed(READ, "plain", 40, [reply(b"0", plain)]))
put("reply", "plain-28", reply_seed(READ, "plain", 28, [reply(b"0", plain)]))
put("reply", "h2-34", reply_seed(READ, "h1", 34, [reply(b"H", b"12.50" * 34)]))
put("reply", "tr-3", reply_seed(READ, "tr1", 3, [reply(b"P", b"0A0A00FF")]))
put("reply", "tk-3", reply_seed(READ, "tk3", 3, [reply(b"P", b"0A0A00FF")]))
put("reply", "ty-2", reply_seed(READ, "ty2", 2, [reply(b"U", b"0A0A")]))
put("reply", "td-25", reply_seed(READ, "td16", 25, [reply(b"Q", b"0A" * 25)]))
put("reply", "tc-33", reply_seed(READ, "tc13", 33, [reply(b"R", b"0B" * 33)]))
put("reply", "ex-2", reply_seed(READ, "ex", 2, [reply(b"A", b"020000000AFFFFFFFE")], index_pick=1))
put("reply", "readex-2", reply_seed(READ_EX, "ex", 2, [reply(b"A", b"020000000AFFFFFFFE")], index_pick=1))
put("reply", "readex-36", reply_seed(READ_EX, "ex", 36, [reply(b"A", b"24" + b"0000002A" * 36)], index_pick=1))
put("reply", "plain-retry", reply_seed(READ, "plain", 40, [reply(b"0", plain)[:-3] + b"#\r\n", b"", reply(b"0", plain)]))
put("reply", "write-command", reply_seed(WRITE, "index0", 1, [frame(b"0141")], values=[1.0]))
put("reply", "write-ex-3", reply_seed(WRITE, "ex", 3, [frame(b"01a0A01")], index_pick=1, values=[1.0, -2.0, 3e9]))
put("reply", "write-ex-36", reply_seed(WRITE, "ex", 36, [frame(b"01a0A00")], index_pick=0, values=[7.0] * 36))

# ---- channel: 552 bytes of initial state (zeros here), then steps
#      [op pick][faults] and for open: [name pick][active pick][timeout u16][line 4×u16],
#      for reconfigure: [name pick][tail flag][line 4×u16]
OPEN, FLUSH, CLOSE, CLOSE_PORT, REOPEN, RECONFIGURE = 0, 1, 2, 3, 4, 5


def line(baud=9600, bits=8, stop=0, parity=0):
    return struct.pack("<HHHH", baud, bits, stop, parity)


state = bytes(552)
steps = [
    bytes([OPEN, 0, 0, 0]) + struct.pack("<H", 40) + line(),
    bytes([FLUSH, 16, 5]) + b"stale",
    bytes([RECONFIGURE, 0, 1, 0]) + line(19200),
    bytes([CLOSE, 0]),
    bytes([REOPEN, 0]),
    bytes([CLOSE_PORT, 2]),
    bytes([CLOSE_PORT, 0]),
    bytes([OPEN, 1, 4, 0]) + struct.pack("<H", 40) + line(),
    bytes([OPEN, 0, 4, 0]) + struct.pack("<H", 0) + line(4800, 7, 2, 2),
    bytes([REOPEN, 0]),
    bytes([RECONFIGURE, 0, 5, 1]) + line(0),
]
put("channel", "lifecycle", state + b"".join(steps))
put("channel", "open-inactive", state + bytes([OPEN, 0, 0, 150]) + struct.pack("<H", 40) + line())
