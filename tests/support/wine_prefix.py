"""A private Wine prefix for a test: its environment, and its server and services started
with none of the test's streams, so that no service holds the runner's output pipe or a
terminal the test hands to Wine."""
import os
import subprocess


def wine_env(prefix):
    return dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=")


def start_wine(prefix):
    env = wine_env(prefix)
    null = subprocess.DEVNULL
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(os.path.dirname(prefix), exist_ok=True)
        subprocess.run(["flock", prefix + ".lock", "sh", "-c",
                        '[ -f "$WINEPREFIX/system.reg" ] || wineboot -i'],
                       env=env, stdin=null, stdout=null, stderr=null, check=False)
    subprocess.run(["setsid", "sh", "-c", "wineserver -f -p &"], env=env,
                   stdin=null, stdout=null, stderr=null, check=False)
    # Brings the prefix's services up with no streams of ours.
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env,
                   stdin=null, stdout=null, stderr=null, check=False)
