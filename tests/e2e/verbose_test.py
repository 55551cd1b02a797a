#!/usr/bin/env python3
"""scanfw.exe --verbose under Wine, against the same simulated scanner and
stand-in service as e2e_test.py (whose prefix and checks it reuses): one
success and two failures. Standard output must be the scenario's .out, as
without --verbose; standard error is read line by line for the facts of the
run; without --verbose standard error stays empty."""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import e2e_test  # noqa: E402
import wineenv  # noqa: E402

LINE = re.compile(r"^(\d+) ms  ([ -~]+)$")
# A failing call as the log names it: error code, symbolic name, and the
# system's text after a colon.
FAILED = r"%s failed: error (\d+) ([A-Z_]+): \S"

COMMON = [r"^scanfw 0\.3\.53\.0, Windows (x86-64|x86 \(32-bit\))$",
          r"^user's LANGID 0x0409: messages in English$",
          r"^argument 1: \"--verbose\"$",
          r"^\\\\\.\\usbscan\d+ opened: vendor 3A7C, product 4E21, release [0-9A-F]{4}$",
          r"^\d+ device names had no device behind them \(CreateFileA error 2 "
          r"ERROR_FILE_NOT_FOUND\)$",
          r"^service STISVC status: SERVICE_RUNNING, controls accepted 0x[1-9A-F]",
          r"^service STISVC start type found: SERVICE_AUTO_START$",
          r"^ChangeServiceConfigA: start type set to SERVICE_DISABLED$",
          r"^firmware image: \d+ bytes, SHA-256 [0-9a-f]{64}, in resource BINARY/119 of the "
          r"executable$",
          r"^command sent \(readiness query\): 20 02 00 00 12 00 02 00( 00){8}$",
          r"^status word 0x0000: ready$",
          r"^ChangeServiceConfigA: start type set to SERVICE_AUTO_START$",
          r"^service STISVC start type at the end: SERVICE_AUTO_START$",
          r"^service STISVC at the end: SERVICE_RUNNING, "
          r"start type SERVICE_AUTO_START$"]

START, SERVICE_END = COMMON[:10], COMMON[11:]
READY = COMMON[10]

# (scenario, the facts its log must hold, in this order)
RUNS = [
    ("success_en", START + [
        READY,
        r"^command sent \(firmware download\): 20 02 00 00 2A 00 08 00 04 00",
        r"^bulk write: (\d+) bytes asked$",
        r"^bulk write done: (\d+) of \1 bytes written in \d+ ms, ",
        r"^waiting 6000 ms: pause before the first burn-status query$",
        r"^command sent \(burn-status query\): 20 02 00 00 12 00 08 00",
        r"^status word 0x0000: done$"] + SERVICE_END + [
        r"^outcome 0: update done; exit status 0 \(no --exit-code\)$"]),
    ("data_write_fails", START + [
        READY,
        r"^bulk write: \d+ bytes asked$",
        FAILED % r"^WriteFile",
        r"^bulk write failed: \d+ of \d+ bytes written"] + SERVICE_END + [
        r"^outcome 4: image not sent; exit status 0"]),
    ("readiness_exchange_fails", START + [
        FAILED % r"^ReadFile"] + SERVICE_END + [
        r"^outcome 3: scanner not ready; exit status 0"]),
]


def read_log(stderr):
    """The log's texts, or problems: every line CR LF ended (the Windows
    text stream), timed, the times never going back."""
    texts, problems, last = [], [], 0
    lines = stderr.split(b"\r\n")
    if lines[-1] != b"":
        problems.append("standard error does not end with CR LF: %r" % lines[-1][-80:])
    for raw in lines[:-1]:
        m = LINE.match(raw.decode("ascii", "replace"))
        if not m:
            problems.append("not a timed English line: %r" % raw)
            continue
        if int(m.group(1)) < last:
            problems.append("time goes back at %r" % raw)
        last = int(m.group(1))
        texts.append(m.group(2))
    return texts, problems


def facts_in_order(texts, patterns):
    """The patterns each found in a line, in order; the ones missing."""
    missing, at = [], 0
    for pattern in patterns:
        found = next((i for i in range(at, len(texts)) if re.search(pattern, texts[i])), None)
        if found is None:
            missing.append("no line after line %d matches %s" % (at, pattern))
        else:
            at = found + 1
    return missing


def known_code(texts, call):
    """A failing call's code and name are the platform's pair."""
    for text in texts:
        m = re.search(FAILED % re.escape(call), text)
        if m and not (int(m.group(1)) > 0 and m.group(2).startswith(("ERROR_", "WAIT_"))):
            return ["%s logged with %s %s" % (call, m.group(1), m.group(2))]
    return []


def self_test():
    """The log checks can fail: a made-up log passes, each kind of wrong log
    is caught."""
    good = (b"0 ms  scanfw 0.3.53.0, Windows x86-64\r\n"
            b"5 ms  WriteFile failed: error 31 ERROR_GEN_FAILURE: General failure.\r\n"
            b"9 ms  outcome 4: image not sent; exit status 0 (no --exit-code)\r\n")
    facts = [COMMON[0], FAILED % r"^WriteFile", r"^outcome 4: "]

    def problems(log):
        texts, bad = read_log(log)
        return bad + facts_in_order(texts, facts) + known_code(texts, "WriteFile")
    wrong = {"a bare line feed": good.replace(b"\r\n", b"\n", 1),
             "an untimed line": good + b"no time here\r\n",
             "time going back": good + b"3 ms  later\r\n",
             "a fact missing": good.replace(b"outcome 4", b"outcome 3"),
             "facts out of order": good.split(b"\r\n", 1)[1] + good.split(b"\r\n", 1)[0]
             + b"\r\n",
             "a call without its system text": good.replace(b": General failure.", b""),
             "a code without a name": good.replace(b"ERROR_GEN_FAILURE", b"31")}
    failed = ["a right log is not accepted: %s" % problems(good)] if problems(good) else []
    failed += ["a log with %s is not caught" % what for what, log in wrong.items()
               if not problems(log)]
    for f in failed:
        print("FAIL " + f)
    print("%d wrong logs, %d not caught" % (len(wrong), len(failed)))
    return 1 if failed else 0


def run_one(prefix, exe, scenarios, records, name, image):
    sc = e2e_test.scncc.compile_file(os.path.join(scenarios, name + ".scn"))
    with open(os.path.join(scenarios, name + ".out"), "rb") as f:
        want = f.read()
    problems = []
    for verbose in (False, True):
        prefix.set_scenario(os.path.join(records, name + ".rec"), image)
        args = (["--verbose"] if verbose else []) + sc["args"]
        status, stdout, stderr = wineenv.run_watched(
            prefix.wine + [exe] + args, e2e_test.locale_env(prefix.env, sc["lang"]), 180)
        problems += e2e_test.check(sc, want, stdout, status, prefix.record(),
                                   prefix.service_events(), image)
        if not verbose:
            if stderr:
                problems.append("standard error without --verbose: %r" % stderr[:200])
            continue
        texts, bad = read_log(stderr)
        problems += bad
        problems += facts_in_order(texts, dict(RUNS)[name])
        for call in ("WriteFile", "ReadFile"):
            problems += known_code(texts, call)
        if problems:
            problems.append("the log:\n" + stderr.decode("ascii", "replace"))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--self-test", action="store_true", help="check the checks, no Wine")
    for name in ("exe", "driver", "ctl", "standin", "prefix", "scenarios", "records"):
        parser.add_argument("--" + name)
    parser.add_argument("--image", default="")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    arch = wineenv.announce("e2e.verbose", args.exe)
    image = e2e_test.embedded_image(args.exe, args.image if os.path.exists(args.image) else "")
    exe = os.path.abspath(args.exe)
    try:
        prefix = e2e_test.Prefix(args.prefix, vars(args), arch)
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        print("FAIL setting up the Wine prefix: %s" % e)
        wineenv.stop(wineenv.base_env(os.path.abspath(args.prefix), arch))
        return 1
    failed = 0
    try:
        for name, _ in RUNS:
            try:
                problems = run_one(prefix, exe, args.scenarios, args.records, name, image)
            except (RuntimeError, subprocess.TimeoutExpired) as e:
                problems = ["could not run: %s" % e]
            print("%s %s --verbose" % ("ok  " if not problems else "FAIL", name))
            for p in problems:
                print("    " + p.replace("\n", "\n    "))
            failed += bool(problems)
    finally:
        prefix.stop()
    print("%d passed, %d failed" % (len(RUNS) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
