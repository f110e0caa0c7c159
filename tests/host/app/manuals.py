#!/usr/bin/env python3
"""The manual pages and bash completions the build writes, against the programs' --help: every
command and option --help lists is in the page, in the section of its command, and the page
names none that --help does not; man renders each page without a warning (groff's); bash with
the completion sourced offers exactly the commands and options --help lists, the choices of an
option with a fixed set, file names for a site file, command names after `help`.
Usage: manuals.py VPIHOST METERSIM MANDIR. Exit 0 pass, 1 fail, 77 man or bash is missing."""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, text=True, **kw)


def parse_help(text):
    """--help as CLI11 prints it: {section: [first word of each entry]}, the option entries
    split into their names ("-b,--baud" -> "-b", "--baud")."""
    sections = {}
    current = None
    for line in text.splitlines():
        if not line.strip():
            current = None  # the footer's own indented lines are no entries
        elif re.match(r"^\S.*:$", line):
            current = sections.setdefault(line[:-1], [])
        elif current is not None and re.match(r"^  \S", line):
            word = line.split()[0]
            current.extend(word.split(",") if word.startswith("-") else [word])
    return sections


def help_of(program, *command):
    shown = run(program, *command, "--help")
    sections = parse_help(shown.stdout)
    return {
        "options": set(sections.get("Options", [])),
        "positionals": set(sections.get("Positionals", [])),
        "commands": sections.get("Subcommands", []),
    }


def roff_text(line):
    line = line.replace("\\-", "-").replace("\\e", "\\").replace("\\&", "")
    return re.sub(r"\\f[BIRP]", "", line)


def parse_page(roff, other):
    """The page's sections: {"": top options, command: its options}, each a set of names (and
    positional names); the command sections in order; every --word anywhere in the page but its
    comments and those of the `other` program ("as metersim --events writes them")."""
    sections = {}
    order = []
    current = None
    lines = roff.splitlines()
    for i, line in enumerate(lines):
        if line.startswith(".SH "):
            current = "" if line == ".SH OPTIONS" else None
            if current == "":
                sections.setdefault("", set())
        elif line.startswith(".SS "):
            current = line[4:].strip('"')
            order.append(current)
            sections.setdefault(current, set())
        elif line == ".TP" and current is not None and i + 1 < len(lines):
            tag = roff_text(lines[i + 1])
            if tag.startswith("-"):
                names = [n for n in re.split(r"[ ,]+", tag) if n.startswith("-")]
            else:
                names = [tag.split()[0]]
            sections[current].update(names)
    text = "\n".join(line for line in roff.splitlines() if not line.startswith('.\\"'))
    text = re.sub(r"\b%s --[a-z-]+" % other, "", roff_text(text))
    mentioned = set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*)", text))
    return sections, order, mentioned


def check_page(name, program, page, other):
    roff = gzip.open(page, "rt").read()
    sections, order, mentioned = parse_page(roff, other)
    top = help_of(program)
    check(sections.get("") == top["options"] | top["positionals"],
          "%s(1) OPTIONS lists --help's options: %s" % (name, sorted(sections.get("", []))))
    check(order == top["commands"], "%s(1) has one section per command, in --help's order: %s"
          % (name, order))
    everything = set(top["options"])
    for command in top["commands"]:
        own = help_of(program, command)
        everything |= own["options"]
        listed = sections.get(command, set())
        wanted = own["options"] | own["positionals"]
        check(listed == wanted, "%s(1) %s: %s%s" % (
            name, command, "as --help" if listed == wanted else "",
            "" if listed == wanted else "missing %s, not in --help %s"
            % (sorted(wanted - listed), sorted(listed - wanted))))
    ghosts = sorted(o for o in mentioned if o not in everything)
    check(not ghosts, "%s(1) names no option --help does not list (%s)" % (name, ghosts))
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    shown = run("man", "--warnings", "-l", page, env=env)
    check(shown.returncode == 0 and not shown.stderr.strip() and "NAME" in shown.stdout,
          "man --warnings -l renders %s(1) without a warning%s"
          % (name, (": " + shown.stderr.strip()) if shown.stderr.strip() else ""))


def complete(script, function, words, cwd=None):
    """COMPREPLY of `function` with COMP_WORDS = words, the last one being completed."""
    body = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); '
            + function + '; printf "%s\\n" "${COMPREPLY[@]}"')
    done = run("bash", "--norc", "--noprofile", "-c", body, "bash", script, *words, cwd=cwd)
    if done.returncode != 0 or done.stderr:
        print(done.stderr)
    return set(w for w in done.stdout.splitlines() if w)


def check_vpihost_completion(program, script):
    top = help_of(program)
    got = complete(script, "_vpihost", ["vpihost", ""])
    check(got == top["options"] | set(top["commands"]),
          "vpihost <TAB>: the commands and the program's options (%d)" % len(got))
    for command in top["commands"]:
        wanted = help_of(program, command)["options"]
        got = complete(script, "_vpihost", ["vpihost", "--quiet", command, "-"])
        check(got == wanted, "vpihost %s -<TAB>: its options%s" % (
            command, "" if got == wanted else ": missing %s, not in --help %s"
            % (sorted(wanted - got), sorted(got - wanted))))
    check(complete(script, "_vpihost", ["vpihost", "se"]) == {"serve"}, "vpihost se<TAB>: serve")
    check(complete(script, "_vpihost", ["vpihost", "read", "--parity", ""])
          == {"none", "odd", "even", "mark", "space"}, "--parity <TAB>: its choices")
    check(complete(script, "_vpihost", ["vpihost", "read", "--baud", ""]) == set(),
          "--baud <TAB>: nothing (a number)")
    check(complete(script, "_vpihost", ["vpihost", "help", ""]) == set(top["commands"]),
          "vpihost help <TAB>: the commands")
    with tempfile.TemporaryDirectory() as folder:
        for f in ("north.toml", "south.toml", "notes.txt"):
            open(os.path.join(folder, f), "w").close()
        check(complete(script, "_vpihost", ["vpihost", "check-config", "n"], cwd=folder)
              == {"north.toml", "notes.txt"}, "vpihost check-config n<TAB>: files")
        check(complete(script, "_vpihost", ["vpihost", "serve", "--config", "s"], cwd=folder)
              == {"south.toml"}, "vpihost serve --config s<TAB>: files")
        check(complete(script, "_vpihost", ["vpihost", "--module", "s"], cwd=folder)
              == {"south.toml"}, "vpihost --module s<TAB>: files")


def check_metersim_completion(program, script):
    wanted = help_of(program)["options"]
    got = complete(script, "_metersim", ["metersim", "-"])
    check(got == wanted, "metersim -<TAB>: its options%s" % (
        "" if got == wanted else ": missing %s, extra %s"
        % (sorted(wanted - got), sorted(got - wanted))))
    check(complete(script, "_metersim", ["metersim", "--meter", "01", "--parity", "e"])
          == {"even"}, "metersim --parity e<TAB>: even")


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    vpihost, metersim, mandir = sys.argv[1:]
    for tool in ("man", "bash"):
        if shutil.which(tool) is None:
            print("SKIP: %s is not installed" % tool)
            return 77
    files = {name: os.path.join(mandir, name) for name in
             ("vpihost.1.gz", "metersim.1.gz", "vpihost.bash", "metersim.bash")}
    missing = [f for f in files.values() if not os.path.exists(f)]
    check(not missing, "the build wrote the pages and completions (missing: %s; build the "
          "target vpi_manuals)" % missing)
    if missing:
        return serve_site.finish()
    check_page("vpihost", vpihost, files["vpihost.1.gz"], "metersim")
    check_page("metersim", metersim, files["metersim.1.gz"], "vpihost")
    check_vpihost_completion(vpihost, files["vpihost.bash"])
    check_metersim_completion(metersim, files["metersim.bash"])
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
