#!/usr/bin/env python3
"""Prints the amd64 packages to move, as NAME=VERSION, so that PACKAGE:i386
can be installed beside them.

An i386 library and its amd64 twin (Multi-Arch: same) must be at one version.
When the amd64 side carries a version whose i386 build apt cannot see (an
update not yet in the i386 index, or an i386 index that failed to download),
installing the i386 side is refused as "held broken packages". The way out
is to move each amd64 twin to its i386 candidate, together with every
installed package built from the same source at the same version, since
those depend on each other exactly.

Arguments: PACKAGE, then options passed to every apt-cache call (a pin)."""
import re
import subprocess
import sys


def apt_cache(options, *args):
    return subprocess.run(["apt-cache"] + options + list(args), check=False,
                          capture_output=True, text=True).stdout


def main():
    package, options = sys.argv[1], sys.argv[2:]
    closure = set(re.findall(r"^([^\s<][^\s:]*):i386$",
                             apt_cache(options, "depends", "--recurse", "--no-recommends",
                                       "--no-suggests", "--no-conflicts", "--no-breaks",
                                       "--no-replaces", "--no-enhances", package + ":i386"),
                             re.M))
    installed = {}
    status = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Abbrev}\t${binary:Package}\t"
                             "${source:Package}\t${Version}\t${Multi-Arch}\n"],
                            check=True, capture_output=True, text=True).stdout
    for line in status.splitlines():
        abbrev, name, source, version, multi_arch = line.split("\t")
        if abbrev.startswith("ii"):
            installed[name] = (source, version, multi_arch)
    twins = sorted(p for p in closure if installed.get(p + ":amd64", ("", "", ""))[2] == "same")
    if not twins:
        return 0
    candidates = dict(re.findall(r"^(\S+):i386:\n(?:  .*\n)*?  Candidate: (\S+)",
                                 apt_cache(options, "policy", *[p + ":i386" for p in twins]),
                                 re.M))
    moves = {}
    for p in twins:
        source, version, _ = installed[p + ":amd64"]
        target = candidates.get(p)
        if not target or target == "(none)" or target == version:
            continue
        for name, (s, v, _) in installed.items():
            if s == source and v == version:
                moves[name] = target
    if not moves:
        return 0
    # Only versions the archive has for amd64 (or for all architectures).
    available = set()
    for line in apt_cache(options, "madison", *sorted({n.split(":")[0] for n in moves})).splitlines():
        fields = [f.strip() for f in line.split("|")]
        if len(fields) == 3 and re.search(r"\b(amd64|all)\b", fields[2]):
            available.add((fields[0], fields[1]))
    for name, target in sorted(moves.items()):
        if (name.split(":")[0], target) in available:
            print("%s=%s" % (name, target))
    return 0


if __name__ == "__main__":
    sys.exit(main())
