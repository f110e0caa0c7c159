#!/usr/bin/env python3
"""The Debian package as a user gets it: built by CPack from the native build, its files and
computed dependencies, lintian with no error, the service unit verified by systemd, and the
package unpacked into a scratch root, whose vpihost finds its module there (`info`) and whose
`serve`, with the shipped site file uncommented and pointed at the scratch root's own metersim,
answers /metrics with the meters' values.
Usage: package_deb.py BUILD_DIR WORKDIR. Exit 0 pass, 1 fail, 77 a tool is missing."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tomllib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402

# What a site needs from the package, as dpkg lists it.
EXPECTED = [
    "./usr/bin/vpihost",
    "./usr/bin/metersim",
    "./usr/lib/satec-vpi/libsatec_vpi.so",
    "./usr/lib/satec-vpi/libTAMRIK.so",
    "./etc/satec-vpi/site.toml",
    "./lib/systemd/system/satec-vpi-serve.service",
    "./usr/share/doc/satec-vpi/copyright",
    "./usr/share/doc/satec-vpi/changelog.gz",
    "./usr/share/doc/satec-vpi/README.md",
    "./usr/share/doc/satec-vpi/serve.md",
    "./usr/share/doc/satec-vpi/integrations.md",
    "./usr/share/doc/satec-vpi/examples/site.toml",
    "./usr/share/man/man1/vpihost.1.gz",
    "./usr/share/man/man1/metersim.1.gz",
    "./usr/share/bash-completion/completions/vpihost",
    "./usr/share/bash-completion/completions/metersim",
]

UNIT = "lib/systemd/system/satec-vpi-serve.service"


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, text=True, **kw)


def build_package(build, work):
    made = run("cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"),
               "-B", work)
    debs = [f for f in os.listdir(work) if re.fullmatch(r"satec-vpi_[^_]+_amd64\.deb", f)]
    check(made.returncode == 0 and len(debs) == 1, "cpack -G DEB builds satec-vpi_*_amd64.deb")
    if not debs:
        print(made.stdout[-3000:] + made.stderr[-3000:])
        return None
    deb = os.path.join(work, debs[0])
    print("package: %s, %d bytes" % (debs[0], os.path.getsize(deb)))
    return deb


def check_contents(deb):
    listing = run("dpkg-deb", "--contents", deb).stdout
    paths = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    # Symbolic links are listed "path -> target"; none is expected here.
    missing = [p for p in EXPECTED if p not in paths]
    check(not missing, "dpkg-deb --contents lists every file (missing: %s)" % missing)
    modes = {line.split()[-1]: line.split()[0] for line in listing.splitlines() if line.strip()}
    check(modes.get("./usr/bin/vpihost", "").startswith("-rwxr-xr-x")
          and modes.get("./usr/lib/satec-vpi/libsatec_vpi.so", "") == "-rw-r--r--",
          "programs are executable, the module is not")
    depends = run("dpkg-deb", "--field", deb, "Depends").stdout
    print("Depends: " + depends.strip())
    check(re.search(r"\blibc6 \(>=", depends) and re.search(r"\blibstdc\+\+6 \(>=", depends),
          "dependencies computed by dpkg-shlibdeps (libc6, libstdc++6 with versions)")
    conffiles = run("dpkg-deb", "--info", deb, "conffiles").stdout.split()
    check(conffiles == ["/etc/satec-vpi/site.toml"], "the site file is the one conffile")


def check_lintian(deb):
    if shutil.which("lintian") is None:
        print("SKIP lintian: not installed (tools/install-deps.sh --serve installs it)")
        sys.exit(77)
    out = run("lintian", "--no-tag-display-limit", deb).stdout
    print(out.strip() or "lintian: nothing to say")
    errors = [line for line in out.splitlines() if line.startswith("E:")]
    check(not errors, "lintian reports no error (%d)" % len(errors))
    manual = [line for line in out.splitlines() if "manual-page" in line]
    check(not manual, "lintian finds a manual page for every program (%s)" % manual)


def check_unit(root):
    # The unit as installed, against the programs of the scratch root (ExecStart= must name an
    # executable there), with what every Debian system has beside it: systemd's targets and
    # /bin/kill of ExecReload=.
    units = os.path.join(root, os.path.dirname(UNIT))
    for target in glob.glob("/lib/systemd/system/*.target"):
        shutil.copy(target, units)
    os.makedirs(os.path.join(root, "bin"), exist_ok=True)
    shutil.copy("/bin/kill", os.path.join(root, "bin"))
    verify = run("systemd-analyze", "verify", "--root=" + root, "/" + UNIT)
    problems = (verify.stdout + verify.stderr).strip()
    print(problems or "systemd-analyze verify: nothing to say")
    check(verify.returncode == 0 and "satec-vpi-serve" not in problems,
          "systemd-analyze verify passes on the unit")
    unit = open(os.path.join(root, UNIT)).read()
    check("ExecStart=/usr/bin/vpihost serve --config /etc/satec-vpi/site.toml\n" in unit
          and "ExecReload=/bin/kill -HUP $MAINPID\n" in unit,
          "the unit runs serve on /etc/satec-vpi/site.toml and reloads it with SIGHUP")
    check(all(line + "\n" in unit for line in ("Type=notify", "NotifyAccess=main",
                                               "WatchdogSec=30s")),
          "the unit waits for serve's READY=1 and keeps a watchdog on it")
    # The exposure systemd scores the unit's sandbox at (0 best, 10 worst).
    security = run("systemd-analyze", "security", "--offline=true", "--root=" + root,
                   "/" + UNIT)
    score = re.search(r"Overall exposure level for satec-vpi-serve.service: ([0-9.]+) (\w+)",
                      security.stdout)
    print("systemd-analyze security: " + (score.group(0) if score else security.stderr.strip()))
    check(score is not None and float(score.group(1)) <= 2.0,
          "systemd-analyze security scores the unit's exposure 2.0 or better")


def uncommented_site(root):
    """The shipped site file with its example uncommented."""
    text = open(os.path.join(root, "etc/satec-vpi/site.toml")).read()
    header, marker, example = text.partition("commented out.\n")
    check(marker and all(not line or line.startswith("#") for line in text.splitlines()),
          "the shipped site file polls nothing until it is edited (all comments)")
    return re.sub(r"(?m)^# ?", "", example)


def stop(processes):
    for p in reversed(processes):
        serve_site.terminate(p)


def check_installed_run(root, work):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LD_")}
    vpihost = os.path.join(root, "usr/bin/vpihost")
    # The pages and completions as installed: man renders them, bash completes from them.
    for program in ("vpihost", "metersim"):
        page = os.path.join(root, "usr/share/man/man1/%s.1.gz" % program)
        shown = run("man", "--warnings", "-l", page, env=dict(env, MANWIDTH="80"))
        check(shown.returncode == 0 and not shown.stderr.strip()
              and re.search(r"^NAME\n\s+%s\s+-\s" % program, shown.stdout, re.M),
              "man renders the installed %s(1)%s" % (program, shown.stderr.strip()))
    completion = os.path.join(root, "usr/share/bash-completion/completions/vpihost")
    words = run("bash", "--norc", "-c", 'source "$1"; COMP_WORDS=(vpihost se); COMP_CWORD=1; '
                '_vpihost; echo "${COMPREPLY[@]}"', "bash", completion).stdout.split()
    check(words == ["serve"], "the installed completion completes vpihost se<TAB> to serve")
    info = run(vpihost, "info", env=env)
    check(info.returncode == 0 and "driver code" in info.stdout,
          "the unpacked vpihost finds its module in lib/satec-vpi/ (vpihost info)")
    if info.returncode != 0:
        print(info.stdout + info.stderr)

    # Every line of the example on a metersim line of its own, with the example's meters; the
    # ports rewritten in the order the lines come (names of at most 11 characters).
    example = uncommented_site(root)
    lines = tomllib.loads(example).get("line", [])
    tag = os.getpid() % 10000
    links = ["/tmp/K%d%d" % (tag, i) for i in range(len(lines))]
    ports = iter(links)
    site = os.path.join(work, "site.toml")
    with open(site, "w") as f:
        f.write(re.sub(r'(?m)^port = "[^"]*"', lambda _: 'port = "%s"' % next(ports), example))
    checked = run(vpihost, "check-config", site, env=env)
    check(lines and checked.returncode == 0,
          "the shipped example, uncommented, is a valid site file of %d line(s)" % len(lines))
    if checked.returncode != 0:
        print(checked.stdout + checked.stderr)
    meters = [m["name"] for line in lines for m in line.get("meter", [])]
    named = [v["name"] for line in lines for m in line.get("meter", [])
             for family, values in m.items() if isinstance(values, dict)
             for v in values.values() if isinstance(v, dict) and "name" in v]
    processes = []
    try:
        for line, link in zip(lines, links):
            args = [os.path.join(root, "usr/bin/metersim"), "--link", link]
            for meter in line.get("meter", []):
                args += ["--meter", "%02d" % meter["address"]]
            sim = subprocess.Popen(args, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
            processes.append(sim)
            check("listening" in sim.stdout.readline(), "the unpacked metersim starts on " + link)
        serve = subprocess.Popen([vpihost, "--quiet", "serve", "--config", site, "--listen",
                                  "127.0.0.1:0"], env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True)
        processes.append(serve)
        first = serve.stdout.readline()
        check("serving" in first, "the unpacked vpihost serve starts: " + first.strip())
        if "serving" not in first:
            return
        url = first.strip().split(" on ")[-1].rstrip("/")

        def metrics():
            try:
                return serve_site.get(url + "/metrics")[1]
            except OSError:
                return ""

        def all_up():
            text = metrics()
            up = set(re.findall(r'^vpi_meter_up\{[^}]*meter="([^"]*)"[^}]*\} 1$', text, re.M))
            return up == set(meters) and all('name="%s"' % n in text for n in named)

        check(serve_site.wait_for(all_up, 20),
              "/metrics: every meter of the example up (%s), its named values there (%s)"
              % (", ".join(meters), ", ".join(named)))
    finally:
        stop(processes)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    build, work = sys.argv[1:]
    for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps", "systemd-analyze"):
        if shutil.which(tool) is None:
            print("SKIP: %s is not installed" % tool)
            return 77
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    deb = build_package(build, work)
    if deb is None:
        return serve_site.finish()
    check_contents(deb)
    check_lintian(deb)
    root = os.path.join(work, "root")
    check(run("dpkg", "-x", deb, root).returncode == 0, "dpkg -x unpacks the package")
    check_unit(root)
    check_installed_run(root, work)
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
