"""What the resource, release and command-line checks share: one line per
check, a count of failures and the closing line CTest shows; running
programs natively or under Wine; comparing files."""
import argparse
import contextlib
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import wineenv  # noqa: E402


def load_pe(path, *directories):
    """The PE file with those data directories ("IMPORT", "RESOURCE", ...)
    parsed; pefile from Debian's python3-pefile when this Python has none."""
    try:
        import pefile
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        import pefile
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_" + d] for d in directories])
    return pe


def entry_key(entry):
    """A resource directory entry's name: the string, or the integer id."""
    return entry.id if entry.name is None else str(entry.name)


def resources(pe):
    """{type: {name: {language: (rva, size)}}} for every resource."""
    tree = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return tree
    for t in root.entries:
        names = tree.setdefault(entry_key(t), {})
        for n in t.directory.entries:
            langs = names.setdefault(entry_key(n), {})
            for lang in n.directory.entries:
                langs[lang.id] = (lang.data.struct.OffsetToData,
                                  lang.data.struct.Size)
    return tree


class Check:
    def __init__(self):
        self.failures = 0

    def expect(self, ok, what, detail=""):
        """Reports one check; returns whether it held, so callers can skip
        checks that depend on it."""
        print("%s %s" % ("ok  " if ok else "FAIL", what), flush=True)
        if not ok:
            self.failures += 1
            if detail:
                text = str(detail)[-3000:]
                print("  " + text.replace("\n", "\n  "), flush=True)
        return bool(ok)

    def equal(self, got, want, what):
        return self.expect(got == want, what, "got      %r\nexpected %r" % (got, want))

    def identical(self, a, b, what):
        """Whether files a and b hold the same bytes; where they part if not."""
        x, y = read(a), read(b)
        if x == y:
            return self.expect(True, what)
        n = next((i for i in range(min(len(x), len(y))) if x[i] != y[i]), min(len(x), len(y)))
        return self.expect(False, what, "%s: %d bytes, %s: %d bytes, first difference at "
                           "offset 0x%x" % (a, len(x), b, len(y), n))

    def report(self):
        """Prints the closing line; the process exit status to use."""
        print("%d failed" % self.failures)
        return 1 if self.failures else 0


# One process, one tally.
check = Check()
expect, equal = check.expect, check.equal


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    """Writes data, bytes or text, to path; returns path."""
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path


def run(cmd, **kw):
    """Runs cmd; returns (exit status, stdout + stderr as text)."""
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, errors="replace", **kw)
    return p.returncode, p.stdout


def run_build(cmd, **kw):
    """run, at a lower priority: a build inside a test keeps no time of its
    own, while the tests beside it that talk to a simulated scanner in real
    time (a 16 KiB URB at a time, under umockdev) fail their bounds when
    compilers starve them."""
    return run(["nice", "-n", "10"] + cmd, **kw)


def parse_args(required, wine=False, **optional):
    """The command line: --NAME for each of `required`, which must be given,
    and for each keyword of `optional` (its argparse settings); with `wine`,
    --wine and --prefix for native_or_wine."""
    parser = argparse.ArgumentParser()
    for name in required:
        parser.add_argument("--" + name, required=True)
    for name, settings in optional.items():
        parser.add_argument("--" + name.replace("_", "-"), **settings)
    if wine:
        parser.add_argument("--wine", action="store_true")
        parser.add_argument("--prefix", help="Wine prefix to create or reuse")
    return parser.parse_args()


@contextlib.contextmanager
def native_or_wine(args, suite, exe):
    """(environment, command prefix) to run a program natively or, with
    --wine, in the --prefix Wine prefix of exe's architecture, whose server
    is stopped after. Under Wine it first says what runs and how."""
    if not args.wine:
        yield dict(os.environ), []
        return
    arch = wineenv.announce(suite, exe)
    env = wineenv.prepare_prefix(args.prefix, arch)
    try:
        yield env, wineenv.loader(arch)
    finally:
        wineenv.stop(env)


def in_locale(env, locale):
    """env with LC_ALL=locale and no other locale variable; "native": none;
    "NAME=VALUE ...": those variables instead."""
    env = {k: v for k, v in env.items()
           if k not in ("LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LANG", "LANGUAGE")}
    if "=" in locale:
        env.update(w.split("=", 1) for w in locale.split())
    elif locale != "native":
        env["LC_ALL"] = locale
    return env


def run_in_locale(command, env, locale, timeout=300):
    """wineenv.run in_locale; (exit status, stdout bytes)."""
    return wineenv.run(command, in_locale(env, locale), timeout=timeout)
