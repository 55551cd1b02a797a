#!/usr/bin/env python3
"""The shipped scanfw.exe, end to end under Wine, against a simulated scanner
(a kernel driver in Wine's winedevice, on the shared scanner model) and a
stand-in still-image service, for every scenario in wine.list beside the
compiled records; README.md tells what each run checks.

--live NAME runs one scenario with the transcript shown as it happens (what
scripts/run.sh shows a newcomer); --time runs the --only scenarios --runs
times each for their wall time (scripts/bench-all.sh); --self-test checks the
checks, without Wine."""
import argparse
import hashlib
import os
import queue
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
sys.path.insert(0, os.path.join(HERE, "..", "resources"))
import scncc  # noqa: E402
import wineenv  # noqa: E402
from checks import in_locale, load_pe, read, resources  # noqa: E402

DRIVER_NAME = "scanfwsim"
HOST_DIR = "scanfw-e2e"  # C:\scanfw-e2e in the prefix
WIN_DIR = "C:\\" + HOST_DIR + "\\"
LOCALES = {0x0404: "zh_TW.UTF-8", 0x0804: "zh_CN.UTF-8"}
STATE_NAMES = {v: k for k, v in scncc.SEEN_STATES.items()}
START_NAMES = {v: k for k, v in scncc.STARTS.items()}
COMMANDS = {"R": ("20 02 00 00 12 00 02 00 00 00 00 00 00 00 00 00", "readiness query"),
            "D": ("20 02 00 00 2A 00 08 00 04 00 00 00 %s", "download command"),
            "S": ("20 02 00 00 12 00 08 00 00 00 00 00 00 00 00 00", "burn-status query")}


def received(letter, fields):
    """The bytes of a command the scanner received, and its name: the model
    gives a letter only to the protocol's exact bytes, the download's length
    being the one it announced."""
    text, name = COMMANDS.get(letter, ("??", "not a command of the protocol"))
    if letter == "D":
        text %= " ".join("%02X" % b for b in int(fields["announced"]).to_bytes(4, "little"))
    return text, name


def embedded_image(exe, image_file):
    if image_file:
        return read(image_file)
    pe = load_pe(exe, "RESOURCE")
    for rva, size in resources(pe).get("BINARY", {}).get(119, {}).values():
        return pe.get_data(rva, size)
    raise RuntimeError("no BINARY/119 resource in " + exe)


class Prefix:
    def __init__(self, path, binaries, arch):
        self.path, self.arch = os.path.abspath(path), arch
        self.wine = wineenv.loader(arch)
        # A server left by an interrupted run would still hold the old driver.
        wineenv.stop(wineenv.base_env(self.path, arch))
        self.env = wineenv.prepare_prefix(self.path, arch)
        self.host_dir = os.path.join(self.path, "drive_c", HOST_DIR)
        os.makedirs(self.host_dir, exist_ok=True)
        drivers = os.path.join(self.path, "drive_c", "windows", "system32", "drivers")
        for key, folder in (("driver", drivers), ("ctl", self.host_dir),
                            ("standin", self.host_dir)):
            name = DRIVER_NAME + ".sys" if key == "driver" else os.path.basename(binaries[key])
            shutil.copyfile(binaries[key], os.path.join(folder, name + ".new"))
            os.replace(os.path.join(folder, name + ".new"), os.path.join(folder, name))
        self.ctl = WIN_DIR + os.path.basename(binaries["ctl"])
        self.standin = WIN_DIR + os.path.basename(binaries["standin"])
        self.service_log = os.path.join(self.host_dir, os.path.basename(binaries["standin"]))
        self.service_log = os.path.splitext(self.service_log)[0] + ".log"
        self.call(self.ctl, "install-driver", DRIVER_NAME,
                  "C:\\windows\\system32\\drivers\\%s.sys" % DRIVER_NAME)
        self.call(self.ctl, "install-service", self.standin)

    def call(self, *command):
        status, out = wineenv.run(self.wine + list(command), self.env)
        if status != 0:
            raise RuntimeError("%s exited %d: %s" % (" ".join(command), status,
                                                    out.decode(errors="replace")))
        return out.decode(errors="replace")

    def set_scenario(self, record_file, image):
        shutil.copyfile(record_file, os.path.join(self.host_dir, "scenario.rec"))
        self.call(self.ctl, "scenario", WIN_DIR + "scenario.rec", str(len(image)),
                  str(zlib.crc32(image)), self.standin)
        # Only what happens during the run counts.
        open(self.service_log, "w").close()

    def record(self):
        return self.call(self.ctl, "record")

    def service_events(self):
        if not os.path.exists(self.service_log):
            return []
        with open(self.service_log) as f:
            return [(int(stamp), what) for what, stamp in (line.split() for line in f)]

    def stop(self):
        wineenv.stop(self.env)


def locale_env(env, lang):
    return in_locale(env, LOCALES.get(lang, "en_US.UTF-8"))


def parse_record(text):
    """The driver's report: devices, the bulk write's moment, the model's
    problems; and the service line e2ectl adds."""
    report = {"devices": [], "bulk": None, "problems": [], "service": None}
    lines = iter(text.splitlines())
    for line in lines:
        words = line.split()
        if words[:1] == ["device"]:
            try:
                report["devices"].append((int(words[1]), dict(w.split("=", 1) for w in words[2:])))
            except ValueError:
                raise ValueError("the record's line %r" % line[:300])
        elif words[:1] == ["bulk"]:
            report["bulk"] = dict(w.split("=", 1) for w in words[1:])
        elif words == ["checks"]:
            for problem in lines:
                if problem.startswith("service "):
                    report["service"] = problem[len("service "):]
                elif problem.strip():
                    report["problems"].append(problem)
    return report


def service_name(service):
    if service["state"] == scncc.STATES["absent"]:
        return "absent"
    return "%s %s" % (STATE_NAMES[service["state"]], START_NAMES.get(service.get("start")))


def service_during_transfer(sc, bulk, events):
    if not bulk:
        return "(no bulk write)"
    if bulk["stisvc-start"] == "none":
        return "absent"
    state = STATE_NAMES[sc["service"]["state"]]
    for stamp, what in events:
        if stamp <= int(bulk["time"]):
            state = {"start": "running", "stop": "stopped"}[what]
    start = int(bulk["stisvc-start"])
    return "%s %s" % (state, START_NAMES.get(start, start))


def expected_stdout(want, image):
    """NAME.out with {image-length} and {image-sha256} replaced by the
    embedded image's facts, and every LF as CR LF."""
    want = want.replace(b"{image-length}", str(len(image)).encode())
    want = want.replace(b"{image-sha256}", hashlib.sha256(image).hexdigest().encode())
    return want.replace(b"\n", b"\r\n")


def check(sc, want, stdout, status, record_text, events, image=b""):
    """What is wrong with a run, as a list of problems."""
    problems = []
    want = expected_stdout(want, image)
    if stdout != want:
        at = next((i for i in range(min(len(stdout), len(want))) if stdout[i] != want[i]),
                  min(len(stdout), len(want)))
        problems.append("standard output differs at byte %d\n    expected %r\n    got      %r"
                        % (at, want[max(0, at - 40):at + 80], stdout[max(0, at - 40):at + 80]))
    if status != sc.get("expect_exit", 0):
        problems.append("exit status %d, expected %d" % (status, sc.get("expect_exit", 0)))
    report = parse_record(record_text)
    problems += report["problems"]
    during = service_during_transfer(sc, report["bulk"], events)
    for check_bit, when, seen, key in (
            ("SERVICE", "at the end", report["service"], "expect_service"),
            ("SERVICE_DURING", "during the transfer", during, "expect_service_during")):
        if sc["checks"] & scncc.C["SCN_CHECK_" + check_bit] and seen != service_name(sc[key]):
            problems.append("service %s: %s, expected %s" % (when, seen, service_name(sc[key])))
    # All the stand-in can show of no calls: it was neither stopped nor
    # started, and it ends as it was set up.
    if sc["checks"] & scncc.C["SCN_CHECK_NO_SERVICE_CALLS"] and (
            events or report["service"] != service_name(sc["service"])):
        problems.append("the service was touched: %s, at the end %s"
                        % (" ".join(w for _, w in events) or "no start or stop", report["service"]))
    return problems


def self_test():
    """The checks above can fail: a made-up run passes as recorded, and each
    kind of wrong run is caught."""
    sc = scncc.parse("device: 1 3a7c 4e21\nexpect-service: running auto\n"
                     "expect-service-during-transfer: stopped disabled\n", "made_up.scn")
    record = ("device 1 opened=1 answers=3 wire=RDBS bulk=10 crc32=77 announced=10\n"
              "bulk time=200 stisvc-start=4\nchecks\nservice running auto\n")
    events = [(100, "stop"), (300, "start")]
    out, good = b"0\nDone!!\n\n", b"0\r\nDone!!\r\n\r\n"
    facts = b"{image-length} {image-sha256}\n"
    sha = hashlib.sha256(b"ab").hexdigest().encode()
    problems, wrong = [], []
    for right in (check(sc, out, good, 0, record, events),
                  check(sc, facts, b"2 " + sha + b"\r\n", 0, record, events, b"ab")):
        if right:
            problems.append("a right run is not accepted: %s" % right)

    def caught(what, stdout=good, status=0, text=record, service_events=events, want=out,
               image=b"", **changes):
        wrong.append(what)
        if not check(dict(sc, **changes), want, stdout, status, text, service_events, image):
            problems.append("a run with %s is not caught" % what)

    caught("bare line feeds", out)
    caught("a missing line", b"0\r\n")
    caught("a non-zero exit status", status=1)
    caught("exit status 0 where 4 is expected", expect_exit=4)
    caught("the service stopped and started where it must not be touched",
           checks=sc["checks"] | scncc.C["SCN_CHECK_NO_SERVICE_CALLS"])
    caught("the image facts not put into the expected output",
           b"2 0" + sha[1:] + b"\r\n", want=facts, image=b"ab")
    caught("a problem the driver's model found",
           text=record.replace("checks\n", "checks\nthe scanner received RDB, expected RDBS\n"))
    caught("the service left disabled", text=record.replace("running auto", "stopped disabled"))
    caught("the service running during the transfer", service_events=[(300, "start")])
    caught("the service enabled during the transfer", text=record.replace("-start=4", "-start=2"))
    caught("no bulk write", text=record.replace("bulk time=200 stisvc-start=4\n", ""))
    if not received("D", {"announced": "26214400"})[0].endswith(" 00 00 90 01"):
        problems.append("the download command shown is not the one received")
    # A run whose harness raises is counted as failed, the others still run.
    pending, seen = queue.Queue(), []
    for name in ("raises", "passes"):
        pending.put((name,))
    drain(pending, lambda name: (name, [], 0) if name == "passes" else next(iter(())),
          lambda name, problems, _: seen.append((name, bool(problems))))
    if seen != [("raises", True), ("passes", False)]:
        problems.append("a run whose harness raised: %r" % seen)
    helpers = wineenv.self_test()
    for p in problems + helpers:
        print("FAIL " + p)
    print("%d wrong runs, %d not caught; Wine helpers: %d problems"
          % (len(wrong), len(problems), len(helpers)))
    return 1 if problems or helpers else 0


# ---- Ctrl+C ----

# Texts the interrupted runs add to or cut from a transcript, LF line ends.
BUSY = {0x0409: b"Device is busy... Please wait...\n\n",
        0x0404: bytes.fromhex("b35db3c6a6a3b84ca4a42e2e2e20bdd0b579add42e2e2e0a0a")}
CANCELLED = {0x0409: b"Update cancelled!!\n\n",
             0x0404: bytes.fromhex("a7f3b773a477a8faaef821210a0a")}
CANNOT_CANCEL = {
    0x0409: b"FW Upgrade in progress, cannot cancel... Please wait...\n\n",
    0x0404: bytes.fromhex("b6b4c5e9a4c9afc5a4a4a141b54caa6ba8faaef8a141bdd0b579add42e2e2e0a0a")}
UPGRADE_WAIT = {0x0409: b"FW Upgrade! Please wait...\n\n",
                0x0404: bytes.fromhex("b6b4c5e9a4c9afc5a141bdd0b579add42e2e2e0a0a")}

# SIGINT, which Wine hands to the console control handler as CTRL_C_EVENT:
# (base scenario, when). "busy": once the scanner, busy for ever, has answered
# a readiness query; "image": once the image is written, in the 6-second pause.
# The moment is found by polling the driver, so how many busy answers come
# first varies: these runs are not scenarios of their own.
INTERRUPTS = [(base, when) for when in ("busy", "image") for base in ("success_en", "success_zh")]


def wine_pid(process):
    """The process that runs scanfw.exe: wine's shell script execs the
    loader, which keeps the pid; a child, should that ever change."""
    candidates = [process.pid]
    try:
        with open("/proc/%d/task/%d/children" % (process.pid, process.pid)) as f:
            candidates += [int(p) for p in f.read().split()]
    except OSError:
        pass
    for pid in candidates:
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"scanfw" in f.read().lower():
                    return pid
        except OSError:
            continue
    return process.pid


def target_device(report, sc):
    index = sc["devices"][sc["target"]]["index"]
    return next(fields for i, fields in report["devices"] if i == index)


def last_words(prefix, stderr):
    """What tells a hang or a failed start from a slow run: the end of what
    the program said to Wine, and how far the scanner got."""
    try:
        record = prefix.record()
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        record = "unavailable (%s)" % e
    return ["standard error, its end: %r" % (stderr or b"")[-2000:],
            "the simulated scanner's record: %s" % record]


def run_interrupted(prefix, exe, sc, want, when, image, records):
    """Runs scanfw, sends SIGINT when the driver's report shows `when`, and
    checks the run against what the stage allows."""
    lang = sc["lang"]
    # The wire is judged here: how many queries come first varies.
    sc["checks"] &= ~scncc.C["SCN_CHECK_WIRE"]
    if when == "busy":
        sc["readiness"], sc["burn"] = [5], [0]
        sc["checks"] &= ~scncc.C["SCN_CHECK_SERVICE_DURING"]
    record_file = os.path.join(records, "interrupted-%s.rec.tmp"
                               % os.path.basename(prefix.path))
    with open(record_file, "wb") as f:
        f.write(scncc.record(sc))
    prefix.set_scenario(record_file, image)
    deadline, queries_at_signal = time.monotonic() + 60, []

    def watch(process):
        device = target_device(parse_record(prefix.record()), sc)
        if (int(device["answers"]) > 0 if when == "busy" else "B" in device["wire"]):
            queries_at_signal.append(device["wire"].count("R"))
            os.kill(wine_pid(process), signal.SIGINT)
        return queries_at_signal or time.monotonic() > deadline
    # A time-out is reported by the caller, with what the run had written.
    status, stdout, stderr = wineenv.run_watched(
        prefix.wine + [exe] + sc["args"], locale_env(prefix.env, lang), 60, watch)
    if not queries_at_signal:
        return ["the run ended (exit status %d) before the moment (%s) was seen: %r"
                % (status, when, stdout)] + last_words(prefix, stderr)
    text = prefix.record()
    problems = ["standard error: %r" % stderr] if stderr else []
    wire = target_device(parse_record(text), sc)["wire"]
    if when == "busy":
        queries = wire.count("R")
        # The interrupt is taken before the next query, so at most the one
        # already under way follows it.
        if queries > queries_at_signal[0] + 1:
            problems.append("%d readiness queries after the interrupt"
                            % (queries - queries_at_signal[0]))
        if wire != "R" * queries:
            problems.append("the scanner received %s, expected only readiness queries" % wire)
        want = want[:want.index(BUSY[lang])] + BUSY[lang] * queries + CANCELLED[lang]
    else:
        if wire != sc["wire"]:
            problems.append("the scanner received %s, expected %s" % (wire, sc["wire"]))
        at = want.index(UPGRADE_WAIT[lang])
        want = want[:at] + CANNOT_CANCEL[lang] + want[at:]
    sc["checks"] |= scncc.C["SCN_CHECK_SERVICE"]
    sc["expect_service"] = {"state": scncc.STATES["running"], "start": scncc.STARTS["auto"]}
    return problems + check(sc, want, stdout, status, text, prefix.service_events(), image)


# ---- the live run for a newcomer ----

ESCAPES = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07")
CURSOR_FORWARD = re.compile(rb"\x1b\[([0-9]*)C")


def render(raw):
    """What a terminal shows of Wine's console output, as plain text: its
    console moves the cursor over blanks rather than writing them, and hides
    the cursor around each write."""
    last = raw.rfind(b"\x1b")
    if last >= 0 and not ESCAPES.match(raw, last):
        raw = raw[:last]  # an escape sequence not complete yet
    text = CURSOR_FORWARD.sub(lambda m: b" " * int(m.group(1) or 1), raw)
    return ESCAPES.sub(b"", text).replace(b"\r", b"")


def run_live(prefix, exe, sc):
    """Runs scanfw on a pseudo-terminal, so that it sees a console and each
    message shows as it is printed; returns what it printed, LF line ends."""
    import pty
    master, slave = pty.openpty()
    env = locale_env(prefix.env, sc["lang"])
    env["TERM"] = "dumb"
    raw = shown = b""
    process = subprocess.Popen(prefix.wine + [exe] + sc["args"], env=env, stdin=subprocess.DEVNULL,
                               stdout=slave, stderr=subprocess.DEVNULL)
    os.close(slave)
    while True:
        ready, _, _ = select.select([master], [], [], 0.2)
        try:
            chunk = os.read(master, 4096) if ready else b""
        except OSError:
            chunk = b""
        if chunk:
            raw += chunk
            text = render(raw)
            sys.stdout.buffer.write(text[len(shown):])
            sys.stdout.flush()
            shown = text
        elif process.poll() is not None:
            break
    os.close(master)
    return process.wait(), render(raw)


def live(prefix, exe, sc, want, record_file, image):
    print("== scanfw.exe %s under Wine (%s), service %s"
          % (" ".join(sc["args"]) or "(no arguments)",
             locale_env({}, sc["lang"])["LC_ALL"], service_name(sc["service"])))
    print("-" * 72)
    sys.stdout.flush()
    prefix.set_scenario(record_file, image)
    status, seen = run_live(prefix, exe, sc)
    print("-" * 72)
    print("exit status %d (expected %d)" % (status, sc.get("expect_exit", 0)))
    text, events = prefix.record(), prefix.service_events()
    report = parse_record(text)
    problems = check(sc, want, expected_stdout(want, image), status, text, events, image)
    if seen != expected_stdout(want, image).replace(b"\r\n", b"\n"):
        problems.insert(0, "the transcript is not the expected one (%s.out)" % sc["name"])
    print("What the scanner received:")
    for index, fields in report["devices"]:
        # The driver writes "nothing" for a device that received nothing.
        for letter in fields["wire"] if fields["wire"] != "nothing" else "":
            if letter == "B":
                print("  bulk write %s bytes, CRC-32 %08x (the embedded image: %d bytes, "
                      "CRC-32 %08x)" % (fields["bulk"], int(fields["crc32"]), len(image),
                                        zlib.crc32(image)))
                print("             while the still-image service was %s"
                      % service_during_transfer(sc, report["bulk"], events))
            else:
                print("  \\\\.\\usbscan%d command %s  %s" % ((index,) + received(letter, fields)))
    for stamp, what in events:
        when = ""
        if report["bulk"]:
            moment = int(report["bulk"]["time"])
            when = " %.2f s %s the image was written" % (
                abs(stamp - moment) / 1e7, "before" if stamp < moment else "after")
        print("Still-image service %s%s" % ("stopped" if what == "stop" else "started", when))
    print("Still-image service at the end: %s" % report["service"])
    if problems:
        print("SOMETHING IS WRONG:")
        for p in problems:
            print("  " + p.replace("\n", "\n  "))
        return 1
    print("ok: transcript, scanner and service as expected")
    return 0


def timed(prefix, exe, image, args):
    """Each --only scenario --runs times on one prefix, for the wall time of
    scanfw alone: "time NAME SECONDS..." a line, or a FAIL line. Their
    output is not compared (the count of progress lines is the poll rate's),
    but every scanner must have finished its burn."""
    failed = 0
    for name in args.only or []:
        sc = scncc.compile_file(os.path.join(args.scenarios, name + ".scn"))
        seconds, problems = [], []
        for _ in range(args.runs):
            prefix.set_scenario(os.path.join(args.records, name + ".rec"), image)
            t0 = time.monotonic()
            status, stdout = wineenv.run(prefix.wine + [exe] + sc["args"],
                                         locale_env(prefix.env, sc["lang"]),
                                         timeout=args.time_limit)
            seconds.append(time.monotonic() - t0)
            done = stdout.count(b"Burning firmware done!!")
            want = sum(1 for d in sc["devices"] if d.get("receives"))
            problems += parse_record(prefix.record())["problems"]
            if status != sc.get("expect_exit", 0) or done != want:
                problems.append("exit status %d, %d of %d burns done" % (status, done, want))
            if problems:
                break
        failed += bool(problems)
        print(("FAIL %s: %s" % (name, "; ".join(problems))) if problems else
              "time %s %s" % (name, " ".join("%.2f" % s for s in seconds)), flush=True)
    return 1 if failed else 0


def run_one(prefix, exe, image, args, name, when, base):
    """One run of the list on this prefix: (name, problems, seconds)."""
    t0 = time.monotonic()
    sc = scncc.compile_file(os.path.join(args.scenarios, base + ".scn"))
    if sc["firmware_release"] >= 0:  # the one release scncc lets Wine run
        exe = os.path.abspath(args.exe_r0102)
    with open(os.path.join(args.scenarios, base + ".out"), "rb") as f:
        want = f.read()
    try:
        if when:
            problems = run_interrupted(prefix, exe, sc, want, when, image, args.records)
        else:
            prefix.set_scenario(os.path.join(args.records, base + ".rec"), image)
            status, stdout = wineenv.run(prefix.wine + [exe] + sc["args"],
                                         locale_env(prefix.env, sc["lang"]), timeout=180)
            problems = check(sc, want, stdout, status, prefix.record(),
                             prefix.service_events(), image)
    except subprocess.TimeoutExpired as e:
        problems = ["did not end within %d s; standard output: %r"
                    % (e.timeout, e.output)] + last_words(prefix, e.stderr)
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        problems = ["could not run: %s" % e]
    return name, problems, time.monotonic() - t0


def drain(pending, one, report):
    """Takes runs from the queue until it is empty and reports each, also one
    whose harness raised: a run is never lost from the count."""
    while True:
        try:
            run = pending.get_nowait()
        except queue.Empty:
            return
        try:
            result = one(*run)
        except Exception as e:  # noqa: BLE001
            result = run[0], ["the harness failed: %s: %s" % (type(e).__name__, e)], 0
        report(*result)


def run_all(args, exe, image, arch, runs):
    """Runs the list on --jobs prefixes side by side, each with its own
    server, simulated driver and service: most of a run is the scanner's
    6-second burn, which overlaps. Prints each result as it comes; returns
    (passed, failed)."""
    jobs = max(1, min(args.jobs, len(runs)))
    template = os.path.abspath(args.prefix)
    paths = [template] + ["%s-%d" % (template, k) for k in range(1, jobs)]
    try:
        wineenv.stop(wineenv.make_prefix(template, arch))
        for path in paths[1:]:
            if not os.path.exists(os.path.join(path, "system.reg")):
                wineenv.stop(wineenv.base_env(path, arch))
                wineenv.copy_prefix(template, path, leave_out=(HOST_DIR,))
    except (OSError, subprocess.SubprocessError) as e:
        print("FAIL making the Wine prefixes %s: %s" % (template, e))
        return 0, 1
    pending = queue.Queue()
    for run in runs:
        pending.put(run)
    lock = threading.Lock()
    tally = {"passed": 0, "failed": 0}

    def report(name, problems, seconds):
        with lock:
            print("%s %s (%.1f s)" % ("ok  " if not problems else "FAIL", name, seconds))
            for p in problems:
                print("    " + p.replace("\n", "\n    "))
            sys.stdout.flush()
            tally["failed" if problems else "passed"] += 1

    def worker(path):
        try:
            prefix = Prefix(path, vars(args), arch)
        except Exception as e:  # noqa: BLE001 (the runs stay for the other prefixes)
            report("setting up prefix %s" % path, ["the Wine prefix, the simulated scanner or "
                                                   "the service: %s" % e], 0)
            wineenv.stop(wineenv.base_env(path, arch))
            return
        try:
            drain(pending, lambda *run: run_one(prefix, exe, image, args, *run), report)
        finally:
            prefix.stop()

    threads = [threading.Thread(target=worker, args=(path,)) for path in paths]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return tally["passed"], tally["failed"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--self-test", action="store_true", help="check the checks, no Wine")
    for name in ("exe", "exe-r0102", "driver", "ctl", "standin", "prefix", "scenarios",
                 "records"):
        parser.add_argument("--" + name)
    parser.add_argument("--image", default="", help="the embedded image file, if known")
    parser.add_argument("--only", nargs="*",
                        help="run only these scenarios (interrupt_WHEN_BASE for the Ctrl+C runs)")
    parser.add_argument("--live", metavar="NAME", help="run one scenario for the eye")
    parser.add_argument("--time", action="store_true", help="time the --only scenarios")
    parser.add_argument("--runs", type=int, default=3, help="runs of each, with --time")
    parser.add_argument("--time-limit", type=float, default=900,
                        help="seconds a run of --time may take")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("SCANFW_WINE_JOBS", "6")),
                        help="prefixes run side by side (default 6, or SCANFW_WINE_JOBS)")
    args = parser.parse_args()
    if args.self_test:
        return self_test()

    started = time.monotonic()
    arch = wineenv.announce("e2e", args.exe)
    image = embedded_image(args.exe, args.image if os.path.exists(args.image or "") else "")
    exe = os.path.abspath(args.exe)
    with open(os.path.join(args.records, "wine.list")) as f:
        runs = [(name, None, name) for name in f.read().split()]
    runs += [("interrupt_%s_%s" % (when, base), when, base) for base, when in INTERRUPTS]
    if args.live or args.time:
        try:
            prefix = Prefix(args.prefix, vars(args), arch)
        except (RuntimeError, OSError, subprocess.SubprocessError) as e:
            print("FAIL setting up the Wine prefix, the simulated scanner or the service: %s" % e)
            wineenv.stop(wineenv.base_env(os.path.abspath(args.prefix), arch))
            return 1
        try:
            if args.time:
                return timed(prefix, exe, image, args)
            sc = scncc.compile_file(os.path.join(args.scenarios, args.live + ".scn"))
            with open(os.path.join(args.scenarios, args.live + ".out"), "rb") as f:
                want = f.read()
            return live(prefix, exe, sc, want, os.path.join(args.records, args.live + ".rec"),
                        image)
        finally:
            prefix.stop()
    if args.only:
        runs = [run for run in runs if run[0] in args.only]
    # The Ctrl+C runs, the longest of all, first, so the tail is short.
    runs.sort(key=lambda run: (run[1] is None, run[0]))
    passed, failed = run_all(args, exe, image, arch, runs)
    if passed + failed < len(runs):
        print("FAIL %d of %d runs were not run" % (len(runs) - passed - failed, len(runs)))
    print("wall time %.0f s with %d prefixes side by side; the scenarios Wine cannot run, with "
          "the reasons: %s" % (time.monotonic() - started, max(1, min(args.jobs, len(runs))),
                               os.path.join(args.records, "excluded.txt")))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if passed == len(runs) and not failed else 1


if __name__ == "__main__":
    sys.exit(main())
