#!/usr/bin/env python3
"""The sleep and shutdown inhibitor of the Linux scanfw against systemd-logind
as python3-dbusmock's logind template mocks it, on a private system bus: the
emulated scanner looks the inhibitors up as each request reaches it. Then the
same run on a bus without logind, where scanfw must go on without a word.

Usage: logind_test.py TESTBED TESTBED-ARGUMENTS..."""
import os
import shutil
import subprocess
import sys

SKIP = 77
SYSTEM_PYTHON = "/usr/bin/python3"  # where Debian's python3-dbusmock lives

try:
    import dbusmock
except ImportError:
    if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON) and \
            os.path.exists(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    print("SKIP: python3-dbusmock is not installed")
    sys.exit(SKIP)


class Bus(dbusmock.DBusTestCase):
    pass


def failed(logind, label):
    status = subprocess.call(sys.argv[1:] + ["--logind", logind])
    print("%s: %s" % (label, "passed" if status == 0 else "FAILED"))
    return status != 0


def main():
    Bus.start_system_bus()  # sets DBUS_SYSTEM_BUS_ADDRESS for the children
    try:
        server, _ = Bus.spawn_server_template("logind", {}, stdout=subprocess.DEVNULL)
        try:
            held = failed("held", "with logind")
        finally:
            server.terminate()
            server.wait()
        return 1 if failed("absent", "without logind") or held else 0
    finally:
        # This dbusmock forgets its data folder before it would remove it.
        data = getattr(Bus, "_DBusTestCase__datadir", None)
        Bus.tearDownClass()
        if data:
            shutil.rmtree(data, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
