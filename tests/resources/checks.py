"""The check-and-report helper the resource inspections share: one line per
check, a count of failures, and the closing line CTest shows."""


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
