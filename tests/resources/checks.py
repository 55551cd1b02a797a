"""The check-and-report helper the resource and release checks share: one
line per check, a count of failures, and the closing line CTest shows."""
import sys


def import_pefile():
    """pefile, from Debian's python3-pefile when this Python has none."""
    try:
        import pefile
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        import pefile
    return pefile


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

    def report(self):
        """Prints the closing line; the process exit status to use."""
        print("%d failed" % self.failures)
        return 1 if self.failures else 0


def in_locale(env, locale):
    """env with LC_ALL=locale and no other locale variable; "native": none."""
    env = {k: v for k, v in env.items() if k not in ("LC_ALL", "LC_MESSAGES", "LANG")}
    if locale != "native":
        env["LC_ALL"] = locale
    return env
