"""A private Wine prefix for a test: its environment, and its server and services started
with none of the test's streams, so that no service holds the runner's output pipe or a
terminal the test hands to Wine. Also what the scripts that run vpihost.exe there against the
native metersim share: their start, metersim linked as a COM port, Windows programs run in the
prefix, and the checks they count."""
import contextlib
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile


# The build's Windows target: win32 (Wine's 32-bit loader) or win64 (wine64), set by CTest.
# Debian's `wine` always takes the 32-bit loader when it is installed; the 64-bit one is named
# (Debian keeps it out of PATH) and told to Wine as its loader.
WINEARCH = os.environ.get("VPI_WINEARCH", "win32")
LOADER = "wine"
if WINEARCH == "win64":
    LOADER = shutil.which("wine64") or "/usr/lib/wine/wine64"


def wine_env(prefix):
    loader = {"WINELOADER": LOADER} if WINEARCH == "win64" else {}
    return dict(os.environ, WINEPREFIX=prefix, WINEARCH=WINEARCH, WINEDEBUG="-all", **loader,
                WINEDLLOVERRIDES="mscoree,mshtml=")


def start_wine(prefix):
    env = wine_env(prefix)
    null = subprocess.DEVNULL
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(os.path.dirname(prefix), exist_ok=True)
        subprocess.run(["flock", prefix + ".lock", "sh", "-c",
                        '[ -f "$WINEPREFIX/system.reg" ] || ' + LOADER + ' wineboot -i'],
                       env=env, stdin=null, stdout=null, stderr=null, check=False)
    subprocess.run(["setsid", "sh", "-c", "wineserver -f -p &"], env=env,
                   stdin=null, stdout=null, stderr=null, check=False)
    # Brings the prefix's services up with no streams of ours.
    subprocess.run([LOADER, "cmd", "/c", "exit"], env=env,
                   stdin=null, stdout=null, stderr=null, check=False)


def wine(prefix, *args):
    """Runs a Windows program in the prefix with no input: its exit code, output and errors."""
    run = subprocess.run([LOADER] + list(args), env=wine_env(prefix), stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, timeout=120)
    return run.returncode, run.stdout, run.stderr


def begin(doc, work_prefix):
    """The start of a script called as SCRIPT METERSIM VPIHOST_EXE WINEPREFIX: the usage in
    `doc` when the arguments are not those, exit 77 (skipped) when the native METERSIM is not
    there, else the prefix brought up. Returns metersim, vpihost.exe, the prefix, and a new work
    directory named from `work_prefix`."""
    if len(sys.argv) != 4:
        sys.exit(doc)
    metersim, exe, prefix = sys.argv[1:]
    if not os.access(metersim, os.X_OK):
        print("skipped: no native metersim at " + metersim)
        sys.exit(77)
    start_wine(prefix)
    return metersim, exe, prefix, tempfile.mkdtemp(prefix=work_prefix)


@contextlib.contextmanager
def metersim_on(metersim, prefix, com, args):
    """metersim with `args` for the `with` block, its line linked as port `com` (lower case,
    "com7") of the prefix; stopped when the block ends. Exits the script when it does not
    start."""
    link = os.path.join(prefix, "dosdevices", com)
    sim = subprocess.Popen([metersim] + list(args) + ["--link", link], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    # It names the line once it is ready.
    ready, _, _ = select.select([sim.stdout], [], [], 10)
    line = sim.stdout.readline().decode() if ready else ""
    if not line.startswith("metersim: listening on "):
        sim.kill()
        sys.exit("metersim did not start: " + repr(line))
    try:
        yield sim
    finally:
        sim.terminate()
        sim.wait(timeout=10)


def requests_in(events):
    """The requests in a metersim events file (whole once metersim has ended)."""
    with open(events) as f:
        return [json.loads(line) for line in f if '"kind":"request"' in line]


failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, file=sys.stderr)


def finish(passed):
    """Exits failed when any check failed; else prints `passed`."""
    if failures:
        sys.exit("%d check(s) failed" % len(failures))
    print(passed)
