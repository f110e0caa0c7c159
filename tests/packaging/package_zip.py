#!/usr/bin/env python3
"""The Windows zip as a user gets it.

package_zip.py contents BUILD_DIR WORKDIR OBJDUMP
    builds the zip with CPack from the Windows build, checks its file list, that the logging
    library is marked as the stand-in, that every licence is there and that the programs import
    no DLL but the system's (the runtime is linked in), and unpacks it into WORKDIR/unpacked.
    Needs nothing run under Wine, so it runs where no 32-bit code can.
package_zip.py run METERSIM VPIHOST_EXE WINEPREFIX
    runs the unpacked vpihost.exe under Wine, away from the build folder: `info` loads the
    module beside it, `scan` finds metersim's meter on COM12. Exit 77 without a native metersim.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_prefix import begin, check, finish, metersim_on, wine  # noqa: E402

FILES = ["vpihost.exe", "satec_vpi.dll", "TAMRIK.dll", "README-windows.txt",
         "licenses/gcc-runtime.txt", "licenses/mingw-w64-runtime.txt", "licenses/CLI11.txt",
         "licenses/fmt.txt", "licenses/nlohmann-json.txt", "licenses/toml++.txt"]

# DLLs every Windows has; anything else would have to travel with the programs.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "setupapi.dll",
               "ws2_32.dll", "shell32.dll", "ole32.dll", "cfgmgr32.dll", "ntdll.dll"}


def imports(objdump, path):
    out = subprocess.run([objdump, "-p", path], capture_output=True, text=True).stdout
    return {name.lower() for name in re.findall(r"DLL Name: (\S+)", out)}


def contents(build, work, objdump):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    made = subprocess.run(["cpack", "-G", "ZIP", "--config",
                           os.path.join(build, "CPackConfig.cmake"), "-B", work],
                          capture_output=True, text=True)
    zips = [f for f in os.listdir(work) if re.fullmatch(r"satec-vpi-.*-win(32|64)\.zip", f)]
    check(made.returncode == 0 and len(zips) == 1, "cpack -G ZIP builds satec-vpi-*-winNN.zip")
    if not zips:
        print(made.stdout[-3000:] + made.stderr[-3000:])
        return
    path = os.path.join(work, zips[0])
    size = os.path.getsize(path)
    print("zip: %s, %d bytes" % (zips[0], size))
    # Debug information would make it ten times as large.
    check(size < 4 * 1024 * 1024, "the programs are stripped (the zip is under 4 MB)")
    top = zips[0][:-len(".zip")]
    with zipfile.ZipFile(path) as z:
        names = sorted(n[len(top) + 1:] for n in z.namelist()
                       if n.startswith(top + "/") and not n.endswith("/"))
        print("files: " + ", ".join(names))
        check(sorted(FILES) == names, "the zip holds exactly its files in one folder %s" % top)
        unpacked = os.path.join(work, "unpacked")
        z.extractall(unpacked)
    folder = os.path.join(unpacked, top)
    readme = open(os.path.join(folder, "README-windows.txt"), encoding="utf-8").read()
    check("TAMRIK.dll" in readme and "STAND-IN" in readme and "COM12" in readme,
          "the README marks TAMRIK.dll as the stand-in and shows COM12")
    # Each licence is the text of what it names: the runtime exception that lets the GCC
    # runtime be linked in, winpthreads among MinGW-w64's parts, a copyright for the others.
    marks = {"gcc-runtime.txt": "GCC RUNTIME LIBRARY EXCEPTION",
             "mingw-w64-runtime.txt": "winpthreads"}
    for name in FILES:
        if name.startswith("licenses/"):
            text = open(os.path.join(folder, name), encoding="utf-8", errors="replace").read()
            mark = marks.get(os.path.basename(name), "Copyright")
            check(mark in text, "%s has %s" % (name, mark))
    for exe in ("vpihost.exe", "satec_vpi.dll", "TAMRIK.dll"):
        found = imports(objdump, os.path.join(folder, exe))
        if exe != "TAMRIK.dll":
            found.discard("tamrik.dll")  # beside them in the zip
        check(found and found <= SYSTEM_DLLS,
              "%s imports system DLLs only: %s" % (exe, sorted(found)))
    # The one the run step uses: the copy unpacked here, not the build's.
    with open(os.path.join(work, "vpihost-exe.txt"), "w") as f:
        f.write(os.path.join(folder, "vpihost.exe"))
    finish("the zip: %d files, licences, no runtime DLL needed" % len(names))


def run():
    metersim, exe, prefix, work = begin(__doc__, "vpihost-zip-wine-")
    code, out, err = wine(prefix, exe, "info")
    check(code == 0 and "driver code" in out and "short name" in out,
          "info loads the module beside the unpacked vpihost.exe (got %d): %s" % (code, err))
    with metersim_on(metersim, prefix, "com12", ["--meter", "05"]):
        code, out, err = wine(prefix, exe, "--quiet", "scan", "--port", "COM12", "--addresses",
                              "4-6", "--timeout", "50", "--json")
        found = [json.loads(line) for line in out.splitlines() if line.strip()]
        check(code == 0 and [m["address"] for m in found] == [5],
              "scan on COM12 finds meter 05 (got %d): %s %s" % (code, out, err))
    shutil.rmtree(work, ignore_errors=True)
    finish("the unpacked vpihost.exe: info and scan under Wine")


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "contents":
        contents(*sys.argv[2:])
    elif len(sys.argv) == 5 and sys.argv[1] == "run":
        # begin() reads METERSIM VPIHOST_EXE WINEPREFIX from argv; the exe is the unpacked copy
        # the contents step named.
        named = sys.argv[3]
        if named.endswith(".txt"):
            named = open(named).read().strip() if os.path.exists(named) else named
        sys.argv = [sys.argv[0], sys.argv[2], named, sys.argv[4]]
        run()
    else:
        sys.exit(__doc__)
