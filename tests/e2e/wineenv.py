"""The Wine prefixes that the tests run Windows programs in, made once under
the build tree and reused: a 32-bit one (win32) for PE32 i386 programs and a
64-bit one (win64) for PE32+ x86-64 programs, each run by its own loader; and
how this machine runs them.

Where the kernel cannot run 32-bit x86 code, Wine's 32-bit loader runs
through qemu-user, registered with binfmt_misc by scripts/setup.sh. A suite
whose programs cannot run here fails and says why, unless the caller sets
SCANFW_SKIP_32BIT=1 for the 32-bit ones; the test then reports itself as
skipped (exit status SKIP)."""
import contextlib
import fcntl
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

LOADERS = {"i386": "/usr/lib/wine/wine", "x86-64": "/usr/lib/wine/wine64"}
WINEARCH = {"i386": "win32", "x86-64": "win64"}
PE_MACHINES = {0x14C: "i386", 0x8664: "x86-64"}
BINFMT = "/proc/sys/fs/binfmt_misc"
SKIP = 77  # CTest's SKIP_RETURN_CODE for the Wine tests


def pe_arch(path):
    """"i386" or "x86-64", from the PE header's machine field."""
    with open(path, "rb") as f:
        head = f.read(4096)
    at = struct.unpack_from("<I", head, 0x3C)[0]
    if head[:2] != b"MZ" or head[at:at + 4] != b"PE\0\0":
        raise ValueError("%s is not a PE file" % path)
    machine = struct.unpack_from("<H", head, at + 4)[0]
    if machine not in PE_MACHINES:
        raise ValueError("%s is for machine %#x" % (path, machine))
    return PE_MACHINES[machine]


def loader(arch):
    """The command that runs a Windows program of this architecture."""
    return [LOADERS[arch]]


def i386_handler(folder=BINFMT):
    """(name, interpreter) of the enabled binfmt_misc handler that takes
    i386 ELF programs, or None: the kernel then runs them itself or not."""
    try:
        names = os.listdir(folder)
    except OSError:
        return None
    for name in sorted(names):
        try:
            with open(os.path.join(folder, name)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        fields = dict(l.split(" ", 1) for l in lines if " " in l)
        if "enabled" not in lines or "magic" not in fields:
            continue
        magic = bytes.fromhex(fields["magic"].strip())
        mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)).strip())
        if int(fields.get("offset", "0")) != 0 or len(magic) < 20:
            continue
        # An i386 executable's first 20 bytes, as the kernel compares them.
        elf = b"\x7fELF\x01\x01\x01\0" + b"\0" * 8 + b"\x02\x00\x03\x00"
        if all(e & m == g & m for e, g, m in zip(elf, magic, mask)):
            return name, fields.get("interpreter", "?").strip()
    return None


def how_it_runs(arch):
    """How this machine runs the architecture's Wine: "native", or
    "qemu-user VERSION" with the handler's name."""
    if arch != "i386":
        return "native"
    handler = i386_handler()
    if handler is None:
        return "native"
    name, interpreter = handler
    try:
        out = subprocess.run([interpreter, "--version"], capture_output=True, text=True,
                             timeout=30).stdout
        version = out.split("version", 1)[1].split()[0] if "version" in out else "?"
    except (OSError, subprocess.SubprocessError):
        version = "?"
    return "qemu-user %s (binfmt_misc handler %s, %s)" % (version, name, interpreter)


def unavailable(arch):
    """Why Wine cannot run this architecture's programs here, or None."""
    path = LOADERS[arch]
    if not os.path.exists(path):
        return "%s is not installed (Wine %s)" % (path, "wine32" if arch == "i386" else "wine64")
    try:
        p = subprocess.run([path, "--version"], capture_output=True, text=True, timeout=60)
    except OSError as e:
        return "%s cannot start: %s%s" % (path, e, (
            "; the kernel does not run 32-bit x86 code and no qemu-user handler is "
            "registered (scripts/setup.sh registers one)") if arch == "i386" else "")
    except subprocess.SubprocessError as e:
        return "%s --version did not answer: %s" % (path, e)
    if p.returncode != 0:
        return "%s --version exited %d: %s" % (path, p.returncode, p.stderr.strip()[:300])
    return None


def announce(suite, exe):
    """Prints the one line that says what ran and how; returns the
    architecture, or exits the process (fail, or skip where allowed) when
    it cannot run here."""
    arch = pe_arch(exe)
    why = unavailable(arch)
    kind = "PE32 i386" if arch == "i386" else "PE32+ x86-64"
    if why is None:
        print("%s: %s (%s) under %d-bit Wine, %s"
              % (suite, exe, kind, 32 if arch == "i386" else 64, how_it_runs(arch)), flush=True)
        return arch
    if arch == "i386" and os.environ.get("SCANFW_SKIP_32BIT") == "1":
        print("%s: SKIPPED %s (%s) because SCANFW_SKIP_32BIT=1: %s" % (suite, exe, kind, why))
        sys.exit(SKIP)
    print("%s: FAIL %s (%s) cannot run under Wine here: %s%s" % (
        suite, exe, kind, why,
        " (set SCANFW_SKIP_32BIT=1 to skip the 32-bit runs knowingly)" if arch == "i386" else ""))
    print("0 passed, 1 failed")
    sys.exit(1)


# The prefixes this process holds: path of the lock file -> its descriptor.
_held = {}
_held_lock = threading.Lock()


def hold(prefix):
    """Holds the prefix for the rest of this process: a second test command
    in the same build folder waits here, and says so, instead of stopping
    the servers of the first one. The descriptor is not inherited, so a
    wineserver started from here does not keep the prefix held."""
    path = os.path.abspath(prefix) + ".lock"
    with _held_lock:
        if path in _held:
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print("%s is in use by another test command in this build folder; waiting for it"
                  % os.path.abspath(prefix), flush=True)
            fcntl.flock(fd, fcntl.LOCK_EX)
        _held[path] = fd


@contextlib.contextmanager
def template_read(template):
    """Shares the template with other readers; the process that boots it
    holds it alone (see hold)."""
    path = os.path.abspath(template) + ".lock"
    with _held_lock:
        mine = path in _held
    if mine:
        yield
        return
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_SH)
        yield
    finally:
        os.close(fd)


def base_env(prefix, arch="i386"):
    """The environment of Wine programs in the prefix, which this process
    holds from now on (see hold)."""
    hold(prefix)
    env = dict(os.environ)
    env["WINEPREFIX"] = os.path.abspath(prefix)
    env["WINEARCH"] = WINEARCH[arch]
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono or Gecko prompts
    env.pop("DISPLAY", None)
    return env


# Wine's own program and library files in a prefix, which it never writes
# in place: a copy of a prefix links them rather than copying 0.5 to 1.3 GB.
SHARED_FILES = (".dll", ".exe", ".sys", ".drv", ".nls", ".ttf", ".tlb", ".acm", ".ax",
                ".cpl", ".ocx", ".com", ".ds", ".msstyles", ".mui")


def copy_prefix(template, prefix, leave_out=()):
    """A copy of a booted prefix, ready at once (booting one takes long where
    32-bit code runs through qemu-user): every file of its own, but Wine's
    programs and libraries, which are linked. The folders of drive_c named
    in leave_out (a harness's own files) are not copied."""
    def link_or_copy(src, dst):
        if src.lower().endswith(SHARED_FILES):
            return os.link(src, dst)
        return shutil.copy2(src, dst)

    def ignore(folder, names):
        if os.path.abspath(folder) == os.path.join(os.path.abspath(template), "drive_c"):
            return [n for n in names if n in leave_out]
        return []
    shutil.rmtree(prefix, ignore_errors=True)
    shutil.copytree(template, prefix, symlinks=True, copy_function=link_or_copy, ignore=ignore)


def prefix_arch(prefix):
    """"win32" or "win64" as the prefix's registry records it, or None."""
    try:
        with open(os.path.join(prefix, "system.reg")) as f:
            for line in f.read(4096).splitlines():
                if line.startswith("#arch="):
                    return line[len("#arch="):].strip()
    except OSError:
        pass
    return None


def make_prefix(prefix, arch):
    """Creates the prefix when it is not there yet: a copy of the build's
    template (SCANFW_WINE_TEMPLATE, made once by the test wine.prefix), or
    booted anew."""
    env = base_env(prefix, arch)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        template = os.environ.get("SCANFW_WINE_TEMPLATE", "")
        if template and os.path.abspath(template) != os.path.abspath(prefix):
            # A template that another process is still booting is waited for.
            with template_read(template):
                if prefix_arch(template) == WINEARCH[arch]:
                    copy_prefix(template, prefix)
                    return env
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(loader(arch) + ["wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run(["wineserver", "-w"], env=env, timeout=300)
    return env


def server_socket(prefix, env):
    """Where the prefix's wineserver listens once it is up: a folder named
    after the prefix's device and inode, under /tmp/.wine-UID or, in
    Debian's Wine, under the temporary folder that the prefix's file
    "wineserver" names."""
    st = os.stat(prefix)
    try:
        with open(os.path.join(prefix, "wineserver")) as f:
            top = os.path.join(env.get("TMPDIR") or "/tmp", f.read().strip())
    except OSError:
        top = "/tmp/.wine-%d" % os.getuid()
    return os.path.join(top, "server-%x-%x" % (st.st_dev, st.st_ino), "socket")


SERVER_WAIT = 60  # s, for a wineserver to listen


def prepare_prefix(prefix, arch="i386", server="wineserver"):
    """Makes the prefix and starts one server for the whole run rather than
    one per process. It returns once the server listens: a Wine process
    started before would start a server of its own that ends with that
    process, and takes the prefix's driver along."""
    env = make_prefix(prefix, arch)
    # The command returns once its daemon listens, or at once when one
    # already does.
    status = subprocess.run([server, "-p"], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, timeout=SERVER_WAIT).returncode
    deadline = time.monotonic() + SERVER_WAIT
    while not os.path.exists(server_socket(prefix, env)):
        if status != 0 or time.monotonic() > deadline:
            raise RuntimeError("the wineserver of %s is not listening (%s -p exited %d)"
                               % (prefix, server, status))
        time.sleep(0.05)
    return env


def stop(env):
    subprocess.run(["wineserver", "-k"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# A bound for a hang, not an expectation: on a loaded 2-core machine where
# 32-bit Wine runs through qemu-user, installing the driver has taken over
# two minutes.
def run(command, env, timeout=300):
    """Runs a Windows program; returns (exit status, stdout bytes)."""
    return run_watched(command, env, timeout)[:2]


def run_watched(command, env, timeout=300, watch=None):
    """Runs a Windows program, calling watch(process) every 0.1 s until it
    returns true or the program ends; (exit status, stdout, stderr) bytes,
    killed on a time-out or an error. A time-out raises TimeoutExpired with
    what the program had written, to tell a hang from a slow run. Output goes
    to files, not pipes: Wine's helper processes inherit a pipe and would
    keep it open for long."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        with subprocess.Popen(command, env=env, stdout=out, stderr=err,
                              stdin=subprocess.DEVNULL) as process:
            try:
                while watch and process.poll() is None and not watch(process):
                    time.sleep(0.1)
                status = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                out.seek(0)
                err.seek(0)
                raise subprocess.TimeoutExpired(command, timeout, out.read(), err.read())
            except BaseException:
                process.kill()
                raise
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def self_test():
    """Problems found in the helpers above, on made-up inputs: which
    binfmt_misc entries take i386 programs, the PE machine read, a prefix
    copy that shares nothing a run writes, the wait for the server, the
    hold on a prefix."""
    problems = []
    qemu = ("enabled\ninterpreter /usr/bin/qemu-i386\nflags: OCF\noffset 0\n"
            "magic 7f454c4601010100000000000000000002000300\n"
            "mask fffffffffffefefcfffffffffffffffffeffffff\n")
    for entry, want in [
            (qemu, "/usr/bin/qemu-i386"),
            (qemu.replace("enabled", "disabled"), None),
            (qemu.replace("02000300", "02003e00").replace("010101", "020101"), None),  # x86-64
            ("enabled\ninterpreter /usr/bin/mono\nflags: \nextension .exe\n", None)]:
        with tempfile.TemporaryDirectory() as folder:
            for name, text in (("status", "enabled\n"), ("register", ""), ("entry", entry)):
                with open(os.path.join(folder, name), "w") as f:
                    f.write(text)
            got = i386_handler(folder)
            if got != (want and ("entry", want)):
                problems.append("binfmt entry %r: %r" % (entry.splitlines()[:2], got))
    for machine, want in ((0x14C, "i386"), (0x8664, "x86-64"), (0x1C0, ValueError)):
        with tempfile.NamedTemporaryFile() as f:
            f.write(b"MZ" + b"\0" * 58 + struct.pack("<I", 64) + b"PE\0\0" +
                    struct.pack("<H", machine) + b"\0" * 200)
            f.flush()
            try:
                got = pe_arch(f.name)
            except ValueError as e:
                got = ValueError if want is ValueError else e
            if got != want:
                problems.append("PE machine %#x: %r, expected %r" % (machine, got, want))
    with tempfile.TemporaryDirectory() as d:
        template, copy = os.path.join(d, "template"), os.path.join(d, "copy")
        files = {"system.reg": "WINE REGISTRY Version 2\n\n#arch=win32\n",
                 "drive_c/windows/system32/kernel32.dll": "MZ",
                 "drive_c/harness/scenario.rec": "rec"}
        for name, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(template, name)), exist_ok=True)
            with open(os.path.join(template, name), "w") as f:
                f.write(text)
        copy_prefix(template, copy, leave_out=("harness",))
        same = {n: os.path.exists(os.path.join(copy, n)) and os.path.samefile(
            os.path.join(template, n), os.path.join(copy, n)) for n in files}
        if same != {"system.reg": False, "drive_c/windows/system32/kernel32.dll": True,
                    "drive_c/harness/scenario.rec": False} or prefix_arch(copy) != "win32":
            problems.append("prefix copy: shared %r, arch %r" % (same, prefix_arch(copy)))
    # The first Wine process must not come before the server listens: this
    # stand-in server listens a second after it starts; the other one fails.
    for script, want in (("sleep 1; mkdir -p {top}/server-{at}; : > {top}/server-{at}/socket; "
                          "printf {top} > {prefix}/wineserver", "listening"),
                         ("exit 3", RuntimeError)):
        with tempfile.TemporaryDirectory() as d:
            prefix, server = os.path.join(d, "prefix"), os.path.join(d, "wineserver")
            os.makedirs(prefix)
            open(os.path.join(prefix, "system.reg"), "w").close()
            st = os.stat(prefix)
            with open(server, "w") as f:
                f.write("#!/bin/sh\n" + script.format(top=os.path.join(d, "wine-x"), prefix=prefix,
                                                      at="%x-%x" % (st.st_dev, st.st_ino)))
            os.chmod(server, 0o755)
            try:
                env = prepare_prefix(prefix, server=server)
                got = "listening" if os.path.exists(server_socket(prefix, env)) else "not listening"
            except RuntimeError:
                got = RuntimeError
            os.close(_held.pop(os.path.abspath(prefix) + ".lock"))
            if got != want:
                problems.append("wineserver %r: Wine programs may start when it is %s"
                                % (script.split()[0], got))
    # A second test command on the same prefix waits until the first ends;
    # so does a copy of a template that another process is still booting.
    def take(prefix):
        hold(prefix)
        os.close(_held.pop(os.path.abspath(prefix) + ".lock"))

    def read(prefix):
        with template_read(prefix):
            pass
    for what, second in (("a second command took a held prefix", take),
                         ("a copy was made of a template still booting", read)):
        with tempfile.TemporaryDirectory() as d:
            prefix = os.path.join(d, "prefix")
            first = subprocess.Popen([sys.executable, "-c", "import sys, time; sys.path[0] = %r; "
                                      "import wineenv; wineenv.hold(%r); print(flush=True); "
                                      "time.sleep(1)" % (os.path.dirname(__file__), prefix)],
                                     stdout=subprocess.PIPE)
            first.stdout.readline()
            started = time.monotonic()
            second(prefix)
            waited = time.monotonic() - started
            first.wait()
            if waited < 0.5:
                problems.append("%s after %.2f s" % (what, waited))
    # A run that times out still tells what it had written.
    try:
        run_watched(["sh", "-c", "echo said; echo warned >&2; sleep 10"], None, 0.5)
        problems.append("a hanging run did not time out")
    except subprocess.TimeoutExpired as e:
        if (e.output, e.stderr) != (b"said\n", b"warned\n"):
            problems.append("a run that timed out kept %r and %r" % (e.output, e.stderr))
    return problems


def main():
    """--template PREFIX --exe EXE: says what runs and how, and boots the
    build's template prefix for EXE's architecture (CTest's wine.prefix).
    --why-not ARCH: why Wine cannot run ARCH programs here; exit status 1
    then, 0 and nothing printed when it can."""
    import argparse
    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("--template")
    parser.add_argument("--exe")
    parser.add_argument("--why-not", choices=sorted(LOADERS))
    args = parser.parse_args()
    if args.why_not:
        why = unavailable(args.why_not)
        if why:
            print(why)
        return 1 if why else 0
    if not args.template or not args.exe:
        parser.error("--template and --exe, or --why-not")
    arch = announce("wine.prefix", args.exe)
    started = time.monotonic()
    os.environ.pop("SCANFW_WINE_TEMPLATE", None)
    try:
        stop(base_env(args.template, arch))
        make_prefix(args.template, arch)
    except (OSError, subprocess.SubprocessError) as e:
        print("FAIL booting the %s prefix %s: %s" % (WINEARCH[arch], args.template, e))
        return 1
    print("ok   the %s prefix %s (%.0f s)" % (WINEARCH[arch], args.template,
                                          time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
