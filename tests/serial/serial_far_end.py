#!/usr/bin/env python3
"""The far end of a serial line for the Windows test programs under Wine.

usage: serial_far_end.py WINEPREFIX COMn[,COMm] -- COMMAND...

Makes a pseudo-terminal, sets its slave raw at once, links WINEPREFIX/dosdevices/comn to it
(Wine's COMn is then that terminal), runs COMMAND and plays the far end until it ends; the
exit status is COMMAND's. A second name gives a second line with a far end of its own, named
to COMMAND in VPI_FAR_END_2. The program under test scripts each far end through its line
itself: a line starting with '#' is a command, every other byte is data, which is kept.

  #S DELAY COUNT CHAR   send COUNT times CHAR, DELAY ms after the command arrived
  #E                    send back the data kept so far, and forget it

The Wine server of the prefix is started here, in the foreground mode from a shell that is
not a session leader, with no standard streams: a session leader that opens the terminal
would make it its controlling terminal (a 0x03 from the far end could then signal it), and a
server or service that inherits the test runner's output pipe keeps the runner waiting.
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_prefix import start_wine  # noqa: E402
import threading
import time
import tty


class FarEnd:
    def __init__(self, master):
        self.master = master
        self.kept = bytearray()
        self.pending = bytearray()
        self.command = None
        self.lock = threading.Lock()

    def send(self, data):
        with self.lock:
            os.write(self.master, data)

    def run_command(self, text):
        words = text.split()
        if not words:
            return
        if words[0] == "S" and len(words) == 4:
            delay, count, char = int(words[1]) / 1000.0, int(words[2]), words[3].encode()[:1]
            threading.Timer(delay, self.send, [char * count]).start()
        elif words[0] == "E":
            data, self.kept = bytes(self.kept), bytearray()
            self.send(data)

    def feed(self, data):
        for b in data:
            if self.command is not None:
                if b == 0x0A:
                    self.run_command(self.command.decode(errors="replace"))
                    self.command = None
                else:
                    self.command.append(b)
            elif b == 0x23:  # '#'
                self.command = bytearray()
            else:
                self.kept.append(b)

    def serve(self, done):
        while not done.is_set():
            try:
                data = os.read(self.master, 4096)
            except OSError:
                time.sleep(0.01)  # no slave open right now
                continue
            self.feed(data)


def main():
    if len(sys.argv) < 5 or sys.argv[3] != "--":
        sys.exit(__doc__)
    prefix, coms, command = sys.argv[1], sys.argv[2].lower().split(","), sys.argv[4:]
    start_wine(prefix)
    done = threading.Event()
    links = []
    slaves = []
    for com in coms:
        master, slave = os.openpty()
        tty.setraw(slave)
        slaves.append(slave)
        link = os.path.join(prefix, "dosdevices", com)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(slave), link)
        links.append(link)
        far_end = FarEnd(master)
        threading.Thread(target=far_end.serve, args=(done,), daemon=True).start()

    env = dict(os.environ, VPI_WINEPREFIX=prefix, VPI_FAR_END=coms[0].upper())
    if len(coms) > 1:
        env["VPI_FAR_END_2"] = coms[1].upper()
    result = subprocess.run(command, env=env, check=False)
    done.set()
    for link in links:
        os.unlink(link)
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
