#!/usr/bin/env python3
"""Runs the built scanfw as a whole process, natively or under Wine, and
checks the start of its standard output byte for byte.

Under Wine every line feed must arrive as CR LF (the Windows text stream)."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'resources'))
from checks import check, in_locale, native_or_wine, parse_args  # noqa: E402
import wineenv  # noqa: E402

WARN_EN = b"Warning - no following argument!!\n\n"
WARN_ZH = bytes.fromhex("c4b5a769") + b" - no following argument!!\n\n"

USAGE_EN = b"Usage: scanfw [-a | -b N] [--device NAME | --all] [--exit-code] [--verbose]\n"
# "用法: scanfw" in Big5
USAGE_ZH = bytes.fromhex("a5ceaa6b") + b": scanfw [-a | -b N] [--device NAME | --all] [--exit-code] [--verbose]\n"
NOT_FOUND = b"Device not found!!\nEnd program...\n\n"

# (arguments, locale, expected start of output with LF line ends[, exit
# status, 0 unless given[, a text standard error must hold, and then the
# output must be exactly the expected]]). GONE: standard output and error are
# a pipe whose reader has gone. Linux only: locales as NAME=VALUE. {fifo} and
# {dir} stand for a FIFO without a reader and a directory of the run's own.
GONE = None
CASES = [
    ([], "en_US.UTF-8", b"0\n"),
    (["-a"], "en_US.UTF-8", b"1\n"),
    (["/a"], "en_US.UTF-8", b"1\n"),
    (["-A"], "en_US.UTF-8", b"0\n"),
    (["-ab"], "en_US.UTF-8", b"1\n"),
    (["-b", "17"], "en_US.UTF-8", b"17\n"),
    (["-b", "-a"], "en_US.UTF-8", b"0\n"),
    (["-a", "-b", "5"], "en_US.UTF-8", b"5\n"),
    (["-b", "5", "-a"], "en_US.UTF-8", b"1\n"),
    (["-b", "99999999999"], "en_US.UTF-8", b"2147483647\n"),
    (["-b", " -12z"], "en_US.UTF-8", b"-12\n"),
    (["-b"], "en_US.UTF-8", WARN_EN + b"0\n"),
    (["-b"], "zh_TW.UTF-8", WARN_ZH + b"0\n"),
    (["-b"], "zh_CN.UTF-8", WARN_EN + b"0\n"),
    (["--help"], "en_US.UTF-8", USAGE_EN),
    (["-h"], "zh_CN.UTF-8", USAGE_EN),
    (["/?"], "zh_TW.UTF-8", USAGE_ZH),
    (["-?", "--exit-code"], "zh_TW.UTF-8", USAGE_ZH),
    (["--version"], "en_US.UTF-8", b"scanfw 0.3.53.0\n"),
    (["-b", "--help"], "en_US.UTF-8", b"0\n"),
    # No scanner is attached where this suite runs.
    (["--exit-code"], "en_US.UTF-8", b"0\n" + NOT_FOUND, 1),
    (["-b", "--exit-code"], "en_US.UTF-8", b"0\n" + NOT_FOUND, 0),
    # GB2312 has 中 but not every character of the Chinese texts.
    (["-b"], "LC_CTYPE=zh_CN.GB2312 LC_MESSAGES=zh_TW.UTF-8", WARN_EN + b"0\n"),
    (["--exit-code", "--verbose"], "zh_TW.UTF-8", GONE, 1),
    # --log takes a regular file only, refused at once and touching nothing.
    (["--exit-code", "--log", "{fifo}"], "LC_ALL=en_US.UTF-8", b"", 7,
     b"{fifo} for appending: not a regular file (a FIFO)\n"),
    (["--exit-code", "--log", "{dir}"], "LC_ALL=en_US.UTF-8", b"", 7,
     b"{dir} for appending: not a regular file (a directory)\n"),
]
# Under Wine only: names Windows keeps for its devices.
WINE_CASES = [
    (["--exit-code", "--log", "CON"], "en_US.UTF-8", b"", 7,
     b"CON for appending: a device name, not a file"),
    (["--exit-code", "--log", "C:\\logs\\com1.txt"], "en_US.UTF-8", b"", 7,
     b"com1.txt for appending: a device name, not a file"),
]


def run_to_gone_reader(command, env):
    """The exit status of a run whose standard output and error go to a pipe
    that nobody reads any more."""
    reader, writer = os.pipe()
    os.close(reader)
    try:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=writer,
                              stderr=writer, timeout=120).returncode, b""
    finally:
        os.close(writer)


def main():
    args = parse_args(["exe"], wine=True)
    with native_or_wine(args, "cli", args.exe) as (env, wrap), \
            tempfile.TemporaryDirectory() as own:
        places = {"{fifo}": os.path.join(own, "fifo"), "{dir}": os.path.join(own, "dir")}
        os.mkfifo(places["{fifo}"])
        os.mkdir(places["{dir}"])
        for argv, locale, expected, *more in CASES + (WINE_CASES if args.wine else []):
            exit_status = more[0] if more else 0
            stderr_holds = more[1] if len(more) > 1 else None
            if args.wine and "=" in locale:
                continue
            argv = [places.get(a, a) for a in argv]
            stderr = b""
            if expected is GONE:
                status, stdout = run_to_gone_reader(wrap + [args.exe] + argv,
                                                    in_locale(env, locale))
                expected = b""
            else:
                # A FIFO must be refused at once: a run that waits for a
                # reader ends in the time-out.
                status, stdout, stderr = wineenv.run_watched(
                    wrap + [args.exe] + argv, in_locale(env, locale),
                    timeout=120 if args.wine else 20)
            if stderr_holds is not None:
                for name, path in places.items():
                    stderr_holds = stderr_holds.replace(name.encode(), path.encode())
                check.expect(stderr_holds in stderr and stdout == expected
                             and os.listdir(places["{dir}"]) == [],
                             "%s: standard error holds %r" % (argv, stderr_holds),
                             "got %r, standard output %r" % (stderr, stdout))
            want = expected.replace(b"\n", b"\r\n") if args.wine else expected
            if not args.wine and locale.startswith("zh_TW"):
                # The Linux program writes the locale's character set.
                want = expected.decode("big5").encode(locale.split(".")[1])
            # Under Wine no bare line feed may escape the text stream.
            bare = args.wine and b"\n" in stdout.replace(b"\r\n", b"")
            check.expect(status == exit_status and stdout[:len(want)] == want and not bare,
                         "%s LC_ALL=%s" % (argv, locale),
                         "exit status %d, expected %d\nexpected start %r\ngot            %r"
                         % (status, exit_status, want, stdout[:200]))
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
