#!/usr/bin/env python3
"""What a person sees: scanfw on a real terminal (tmux), its screen read back
with capture-pane. The Windows program runs under Wine (the loader chosen by
the executable's machine), the Linux program natively. The text each screen
must show is the scenario's transcript (NAME.out, Big5) as characters; a few
literal lines make sure the decoding itself is right.

Under Wine, with --ctl, --driver and --standin (the e2e helpers), the update
scenarios run against the simulated scanner; with --explorer (a stand-in
whose image is explorer.exe) the start by double-click is tried: the window
is held until a key, Ctrl+C ends it, --exit-code never holds it."""
import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "resources"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from checks import check  # noqa: E402
import wineenv  # noqa: E402

END = "__scanfw_end__"
LOCALES = {"0404": "zh_TW.UTF-8", "0804": "zh_CN.UTF-8"}
PRESS = {"zh_TW.UTF-8": "請按任意鍵關閉此視窗...",
         "en_US.UTF-8": "Press any key to close this window..."}

# (scenario, console code page to switch to first, text that must show)
WINE_SCREENS = [
    ("no_device_zh", None, "設備未找到!!"),
    ("help_zh", None, "用法: scanfw [-a | -b N] [--device NAME | --all] [--exit-code] [--verbose]"),
    ("no_device", None, "Device not found!!"),
    ("help_en", None, "Usage: scanfw [-a | -b N] [--device NAME | --all] [--exit-code] [--verbose]"),
    ("no_device_zh", 437, "結束 程序..."),
    ("no_device_zh", 65001, "結束 程序..."),
    ("help_zh", 437, "用法: scanfw [-a | -b N] [--device NAME | --all] [--exit-code] [--verbose]"),
    ("success_zh", None, "升級韌體完畢!!"),
    ("success_en", None, "Burning firmware done!!"),
    # --all side by side: while both work, one status line names each and its
    # step; at the end it is gone and the blocks read as one after another.
    ("all_two_scanners_one_fails", None, "Burning firmware error!!"),
]
# What shows while --all works, before its end.
STATUS_LINE = re.compile(r"^usbscan0 (ready\?|sending|waiting|burning \(\d+\)) \| "
                         r"usbscan2 (ready\?|sending|waiting|burning \(\d+\))$")
# The Linux program is tried where no scanner is needed.
LINUX_SCREENS = [s for s in WINE_SCREENS
                 if s[1] is None and not s[0].startswith(("success", "all_"))]
# Started through the Explorer stand-in: (name, scenario, extra arguments,
# what is done once the screen settles, held, exit status).
EXPLORER_STARTS = [
    ("key_zh", "no_device_zh", [], "x", True, 0),
    ("key_en", "no_device", [], "Enter", True, 0),
    ("ctrl_c", "no_device", [], "C-c", True, None),
    ("exit_code", "no_device", ["--exit-code"], None, False, 1),
]


def scenario(directory, name):
    fields = {"args": "", "lang": "0409", "expect-exit": "0"}
    with open(os.path.join(directory, name + ".scn"), encoding="utf-8") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in fields:
                fields[key] = value.strip()
    with open(os.path.join(directory, name + ".out"), "rb") as f:
        transcript = f.read()
    return (shlex.split(fields["args"]), LOCALES.get(fields["lang"], "en_US.UTF-8"),
            transcript, int(fields["expect-exit"]))


class Terminal:
    """One tmux server of our own, kept up by an idle session (the server
    ends with its last session); each run is a session of its own."""

    def __init__(self):
        self.socket = "scanfw-screen-%d" % os.getpid()
        self.session = "run0"
        self.tmux("new-session", "-d", "-s", "keep", "sleep 3600")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket] + list(args),
                              capture_output=True, text=True).stdout

    def start(self, command, env):
        self.tmux("kill-session", "-t", self.session)
        self.session = "run%d" % (int(self.session[3:]) + 1)
        assignments = ["%s=%s" % item for item in sorted(env.items())]
        line = "%s; echo %s$?; sleep 3600" % (shlex.join(["env"] + assignments + command), END)
        self.tmux("new-session", "-d", "-s", self.session, "-x", "160", "-y", "60", line)

    def keys(self, keys):
        self.tmux("send-keys", "-t", self.session, keys)

    def screen(self):
        return [line.rstrip() for line in self.tmux("capture-pane", "-p", "-J", "-t", self.session).split("\n")]

    def ended(self):
        for line in self.screen():
            if line.startswith(END):
                return int(line[len(END):])
        return None

    def wait(self, timeout, until=None):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.ended() is not None or (until and until(self.screen())):
                return True
            time.sleep(0.25)
        return False

    def stop(self):
        self.tmux("kill-server")


def shows(screen, lines):
    """Whether the lines are on the screen, one after another."""
    lines = [line.rstrip() for line in lines]
    return any(screen[i:i + len(lines)] == lines for i in range(len(screen)))


class Wine:
    """The prefix of the executable's architecture, made or copied by the
    shared helper, and its loader."""

    def __init__(self, args, arch):
        self.process_env = wineenv.prepare_prefix(args.prefix, arch)
        self.env = {k: self.process_env[k] for k in
                    ("WINEPREFIX", "WINEARCH", "WINEDEBUG", "WINEDLLOVERRIDES")}
        self.loader = wineenv.loader(arch)
        self.host = os.path.join(args.prefix, "drive_c", "scanfw-screen")
        self.args = args

    def call(self, *command):
        # To a file: Wine's helper processes would hold a pipe open.
        with tempfile.TemporaryFile() as out:
            status = subprocess.run(self.loader + list(command), env=self.process_env,
                                    stdout=out, stderr=out, timeout=120).returncode
            out.seek(0)
            if status != 0:
                raise RuntimeError("%s: %s" % (command, out.read()))

    def install_scanner(self):
        os.makedirs(self.host, exist_ok=True)
        drivers = os.path.join(self.args.prefix, "drive_c", "windows", "system32", "drivers")
        shutil.copyfile(self.args.driver, os.path.join(drivers, "scanfwsim.sys"))
        for tool in (self.args.ctl, self.args.standin):
            shutil.copyfile(tool, os.path.join(self.host, os.path.basename(tool)))
        self.ctl = "C:\\scanfw-screen\\" + os.path.basename(self.args.ctl)
        self.standin = "C:\\scanfw-screen\\" + os.path.basename(self.args.standin)
        self.call(self.ctl, "install-driver", "scanfwsim",
                  "C:\\windows\\system32\\drivers\\scanfwsim.sys")
        self.call(self.ctl, "install-service", self.standin)

    def apply(self, name, image):
        shutil.copyfile(os.path.join(self.args.records, name + ".rec"),
                        os.path.join(self.host, "scenario.rec"))
        self.call(self.ctl, "scenario", "C:\\scanfw-screen\\scenario.rec",
                  str(len(image)), str(zlib.crc32(image)), self.standin)

    def command(self, exe, args, codepage=None):
        if codepage is None:
            return self.loader + [exe] + args
        inner = " ".join([windows_path(exe)] + args)  # no blanks: unquoted
        return self.loader + ["cmd", "/c", "chcp %d >nul & %s" % (codepage, inner)]

    def stop(self):
        wineenv.stop(self.process_env)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def expected_lines(transcript):
    return transcript.decode("big5").rstrip("\n").split("\n")


def check_screen(term, what, command, env, transcript, anchor, status=0, timeout=120):
    term.start(command, env)
    status_seen = None
    if "--all" in command:
        term.wait(timeout, until=lambda screen: any(STATUS_LINE.match(line) for line in screen))
        status_seen = [line for line in term.screen() if STATUS_LINE.match(line)]
        check.expect(len(status_seen) == 1, what + ": one status line while they work",
                     "\n".join(term.screen()).rstrip())
    ended = term.wait(timeout)
    screen = term.screen()
    want = expected_lines(transcript)
    check.expect(ended and term.ended() == status and shows(screen, want) and shows(screen, [anchor])
                 and not any(text in screen for text in PRESS.values())
                 and not any(STATUS_LINE.match(line) for line in screen),
                 what, "expected on the screen:\n%s\nscreen:\n%s"
                 % ("\n".join(want), "\n".join(screen).rstrip()))


def explorer_starts(term, wine, args):
    exe = windows_path(args.exe)
    for name, scn, extra, action, held, status in EXPLORER_STARTS:
        run_args, locale, transcript, _ = scenario(args.scenarios, scn)
        term.start(wine.loader + [args.explorer, exe] + run_args + extra,
                   dict(wine.env, LC_ALL=locale, LANG=locale))
        press = PRESS[locale]
        term.wait(60, until=lambda screen: press in screen)
        time.sleep(2)  # a held window stays, whatever the time
        screen = term.screen()
        ok = shows(screen, expected_lines(transcript))
        if held:
            ok = ok and press in screen and term.ended() is None
            term.keys(action)
            ok = ok and term.wait(20)
        ok = ok and term.ended() is not None and (held or press not in term.screen())
        ok = ok and (status is None or term.ended() == status)
        check.expect(ok, "started by Explorer: %s" % name, "\n".join(term.screen()).rstrip())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--scenarios", required=True)
    parser.add_argument("--prefix")
    for name in ("explorer", "driver", "ctl", "standin", "records", "image"):
        parser.add_argument("--" + name, default="")
    args = parser.parse_args()
    try:
        arch = wineenv.pe_arch(args.exe)
    except ValueError:
        arch = None  # the Linux program
    if arch:
        wineenv.announce("screen", args.exe)
    term = Terminal()
    wine = None
    try:
        if arch is None:
            native(term, args)
        else:
            wine = Wine(args, arch)
            scanner = bool(args.ctl and args.driver and args.standin and args.records)
            if scanner:
                wine.install_scanner()
                image = read_image(args)
            for name, codepage, anchor in WINE_SCREENS:
                run_args, locale, transcript, status = scenario(args.scenarios, name)
                if scanner:
                    wine.apply(name, image)
                elif name.startswith(("success", "all_")):
                    continue
                check_screen(term, "Wine %s%s" % (name, " after chcp %d" % codepage if codepage else ""),
                             wine.command(args.exe, run_args, codepage),
                             dict(wine.env, LC_ALL=locale, LANG=locale), transcript, anchor,
                             status)
            if args.explorer:
                if scanner:
                    wine.apply("no_device", image)
                explorer_starts(term, wine, args)
    finally:
        term.stop()
        if wine:
            wine.stop()
    return check.report()


def read_image(args):
    if args.image:
        with open(args.image, "rb") as f:
            return f.read()
    from e2e_test import embedded_image
    return embedded_image(args.exe, "")


def native(term, args):
    for name, _, anchor in LINUX_SCREENS:
        run_args, locale, transcript, status = scenario(args.scenarios, name)
        check_screen(term, "Linux %s" % name, [args.exe] + run_args,
                     {"LC_ALL": locale, "LANG": locale}, transcript, anchor, status)
        # Under a Big5 locale the bytes are the transcript's own.
        if locale.startswith("zh_TW"):
            done = subprocess.run([args.exe] + run_args, capture_output=True,
                                  env=dict(os.environ, LC_ALL="zh_TW.BIG5"))
            check.expect(done.stdout == transcript, "Linux %s under zh_TW.BIG5" % name,
                         "%r\n%r" % (done.stdout[:200], transcript[:200]))


if __name__ == "__main__":
    sys.exit(main())
