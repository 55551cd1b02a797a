#!/usr/bin/env python3
"""The shipped scanfw.exe, end to end under Wine, against a simulated scanner
(a kernel driver in Wine's winedevice) and a stand-in still-image service.

For every scenario in tests/scenarios that can run in real time (those
without `wine: no ...`): set up the devices, answers, faults and service,
run scanfw.exe with the scenario's arguments and locale, and compare its
standard output byte for byte with NAME.out (LF as CR LF), then what the
scanner received, which devices were opened, and the service's state at the
end and while the image was being written.

--live NAME runs one scenario with the transcript shown as it happens (the
program sees a console) and then reports what the scanner received; this is
what scripts/run.sh shows a newcomer."""
import argparse
import hashlib
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineenv  # noqa: E402

TARGET = (0x3A7C, 0x4E21)
READINESS_QUERY = bytes.fromhex("20020000120002000000000000000000")
BURN_QUERY = bytes.fromhex("20020000120008000000000000000000")
DRIVER_NAME = "scanfwsim"
HOST_DIR = "scanfw-e2e"  # C:\scanfw-e2e in the prefix
WIN_DIR = "C:\\" + HOST_DIR + "\\"
LOCALES = {"0404": "zh_TW.UTF-8", "0804": "zh_CN.UTF-8"}

# How the driver numbers phases, stages and fault kinds.
PHASES = {"readiness": 1, "download": 2, "bulk": 3, "burn": 4}
STAGES = {"write": 0, "read": 1}
KINDS = {"fail": 1, "short": 2, "long": 3}
START_TYPES = {2: "auto", 3: "demand", 4: "disabled"}


class Unsupported(Exception):
    """The scenario asks for something the simulator cannot do."""


# ---- scenarios ----

class Scenario:
    def __init__(self, path):
        self.name = os.path.basename(path)[:-4]
        self.path = path
        self.title = ""
        self.args = []
        self.lang = "0409"
        self.devices = []  # dicts
        self.readiness = [0]
        self.download = 0
        self.burn = [0]
        self.fault = None
        self.service = {"state": "running", "start": "auto", "hint": 0, "refuse_stop": 0}
        self.image = "ok"
        self.wine_no = None
        self.expect = {}
        self.expect_exit = 0
        self.ignored = []
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if not line or line.startswith("#"):
                    continue
                word, _, value = line.partition(":")
                self._directive(word.strip(), value.strip())
        with open(path[:-4] + ".out", "rb") as f:
            self.out = f.read()

    def _directive(self, word, value):
        values = value.split()
        if word == "title":
            self.title = value
        elif word == "args":
            self.args = values
        elif word == "lang":
            self.lang = value.lower()
        elif word == "device":
            device = {"index": int(values[0]), "vendor": int(values[1], 16),
                      "product": int(values[2], 16), "fails": 0, "bytes": 8}
            for option in values[3:]:
                if option == "descriptor-fails":
                    device["fails"] = 1
                elif option.startswith("descriptor-bytes="):
                    device["bytes"] = int(option.split("=", 1)[1])
                else:
                    raise Unsupported("device option " + option)
            self.devices.append(device)
        elif word == "readiness":
            self.readiness = [int(v) for v in values]
        elif word == "download":
            self.download = int(values[0])
        elif word == "burn":
            self.burn = [int(v) for v in values]
        elif word == "fault":
            phase, occurrence, stage, kind = values
            self.fault = (phase, int(occurrence), stage, kind)
        elif word == "service":
            self.service["state"] = values[0]
            for option in values[1:]:
                key, _, v = option.partition("=")
                if key == "start":
                    self.service["start"] = v
                elif key == "hint":
                    self.service["hint"] = int(v)
                elif key == "stop" and v == "refused":
                    self.service["refuse_stop"] = 1
                else:
                    self.service.setdefault("unsupported", []).append(option)
        elif word == "image":
            self.image = value
        elif word == "wine":
            if values and values[0] == "no":
                self.wine_no = ("no " + " ".join(values[1:])).strip()
        elif word == "expect-exit":
            self.expect_exit = int(value)
        elif word.startswith("expect-"):
            self.expect[word] = value
        elif word in ("clock", "request-ms"):
            self.ignored.append(word)  # the virtual clock's business
        else:
            raise Unsupported("directive " + word)

    def driver_lines(self):
        """The scenario as e2ectl reads it."""
        if self.image != "ok":
            raise Unsupported("image: " + self.image)
        state = self.service["state"]
        if state not in ("running", "stopped", "paused", "absent"):
            raise Unsupported("service: " + state)
        if self.service.get("unsupported"):
            raise Unsupported("service options " + " ".join(self.service["unsupported"]))
        lines = []
        for d in self.devices:
            lines.append("device %d %x %x 100 0 %d %d" % (
                d["index"], d["vendor"], d["product"], d["fails"], d["bytes"]))
        lines.append("readiness " + " ".join(str(s) for s in self.readiness))
        lines.append("download %d" % self.download)
        lines.append("burn " + " ".join(str(s) for s in self.burn))
        if self.fault:
            phase, occurrence, stage, kind = self.fault
            if kind not in KINDS:
                raise Unsupported("fault kind " + kind)
            if (stage, kind) == ("read", "long"):
                # The system would copy the extra byte past the reader's buffer.
                raise Unsupported("a read reporting more bytes than were asked for")
            lines.append("fault %d %d %d %d" % (PHASES[phase], occurrence, STAGES[stage],
                                                KINDS[kind]))
        lines.append("service %s %s %d %d" % (state, self.service["start"],
                                              self.service["hint"],
                                              self.service["refuse_stop"]))
        return "\r\n".join(lines) + "\r\n"

    def found_index(self):
        """The device scanfw should update: the lowest-numbered one whose
        descriptor, as far as the driver fills it, names the target."""
        for d in sorted(self.devices, key=lambda d: d["index"]):
            if d["fails"]:
                continue
            raw = (d["vendor"].to_bytes(2, "little") + d["product"].to_bytes(2, "little"))
            raw = raw[:d["bytes"]] + bytes(max(0, 4 - d["bytes"]))
            if (int.from_bytes(raw[:2], "little"), int.from_bytes(raw[2:4], "little")) == TARGET:
                return d["index"]
        return None


def expected_stdout(scenario, image_length, image_sha):
    """NAME.out with {image-length} and {image-sha256} replaced by the
    embedded image's facts, and every LF as CR LF."""
    out = scenario.out.replace(b"{image-length}", str(image_length).encode())
    out = out.replace(b"{image-sha256}", image_sha.encode())
    return out.replace(b"\n", b"\r\n")


def expand_wire(text):
    tokens = []
    for token in text.split():
        letter, _, count = token.partition("*")
        tokens.extend([letter] * (int(count) if count else 1))
    return tokens


# ---- the image ----

def embedded_image(exe, image_file):
    if image_file:
        with open(image_file, "rb") as f:
            return f.read()
    try:
        import pefile
    except ImportError:
        # Debian's python3-pefile, when another Python runs this script.
        sys.path.append("/usr/lib/python3/dist-packages")
        import pefile
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.name is None or str(kind.name) != "BINARY":
            continue
        for entry in kind.directory.entries:
            if entry.id == 119:
                data = entry.directory.entries[0].data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    raise RuntimeError("no BINARY/119 resource in " + exe)


# ---- the prefix ----

class Prefix:
    def __init__(self, path, binaries):
        self.path = os.path.abspath(path)
        env = wineenv.base_env(self.path)
        # A server left by an interrupted run would still hold the old driver.
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.env = wineenv.prepare_prefix(self.path)
        self.host_dir = os.path.join(self.path, "drive_c", HOST_DIR)
        os.makedirs(self.host_dir, exist_ok=True)
        drivers = os.path.join(self.path, "drive_c", "windows", "system32", "drivers")
        self._install(binaries["driver"], os.path.join(drivers, DRIVER_NAME + ".sys"))
        for key in ("ctl", "standin", "client"):
            self._install(binaries[key],
                          os.path.join(self.host_dir, os.path.basename(binaries[key])))
        self.ctl = WIN_DIR + os.path.basename(binaries["ctl"])
        self.standin = WIN_DIR + os.path.basename(binaries["standin"])
        self.client = WIN_DIR + os.path.basename(binaries["client"])
        self.service_log = os.path.join(
            self.host_dir, os.path.splitext(os.path.basename(binaries["standin"]))[0] + ".log")
        self.call(self.ctl, "install-driver", DRIVER_NAME,
                  "C:\\windows\\system32\\drivers\\%s.sys" % DRIVER_NAME)
        self.call(self.ctl, "install-service", self.standin)

    @staticmethod
    def _install(source, target):
        with open(source, "rb") as f:
            data = f.read()
        if os.path.exists(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    return
        temporary = target + ".new"
        with open(temporary, "wb") as f:
            f.write(data)
        os.replace(temporary, target)

    def call(self, *command, env=None, timeout=120):
        status, out = wineenv.run(["wine"] + list(command), env or self.env, timeout=timeout)
        if status != 0:
            raise RuntimeError("%s exited %d: %s" % (" ".join(command), status,
                                                    out.decode(errors="replace")))
        return out.decode(errors="replace")

    def set_scenario(self, scenario):
        with open(os.path.join(self.host_dir, "scenario.txt"), "w", newline="") as f:
            f.write(scenario.driver_lines())
        self.call(self.ctl, "scenario", WIN_DIR + "scenario.txt", self.standin)
        # Only what happens during the run counts.
        open(self.service_log, "w").close()

    def record(self):
        return self.call(self.ctl, "record")

    def service_events(self):
        events = []
        if os.path.exists(self.service_log):
            with open(self.service_log) as f:
                for line in f:
                    what, stamp = line.split()
                    events.append((int(stamp), what))
        return events

    def stop(self):
        wineenv.stop(self.env)


def locale_env(env, lang):
    run_env = dict(env)
    for var in ("LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"):
        run_env.pop(var, None)
    run_env["LC_ALL"] = LOCALES.get(lang, "en_US.UTF-8")
    return run_env


# ---- the simulator's own check ----

SELF_CHECK = """\
device 1 3a7c 4e21 100 0 0 8\r
device 2 3a7c 4e21 100 0 0 6\r
readiness 5 0\r
download 9\r
burn 7 0\r
fault 4 2 1 2\r
service stopped demand 0 0\r
"""


def self_check(prefix):
    """The simulator does what the checks below trust it to do: unknown
    indices do not open, descriptors come as filled, answers follow the
    lists and repeat the last, a fault hits only its request, the bulk
    write's hash is the bytes'. A broken simulator fails here, not as a
    puzzling scanfw failure."""
    with open(os.path.join(prefix.host_dir, "scenario.txt"), "w", newline="") as f:
        f.write(SELF_CHECK)
    prefix.call(prefix.ctl, "scenario", WIN_DIR + "scenario.txt", prefix.standin)
    ready = READINESS_QUERY.hex()
    burn = BURN_QUERY.hex()
    out = prefix.call(prefix.client, "0", "open")
    out += prefix.call(prefix.client, "2", "open", "descriptor")
    out += prefix.call(prefix.client, "1", "open", "descriptor", "exchange", ready,
                       "exchange", ready, "exchange", ready,
                       "exchange", "200200002a0008000400000010000000", "bulk", "16",
                       "exchange", burn, "exchange", burn, "exchange", burn)
    want = ("open fails\n"
            "open ok\ndescriptor ok 3a7c 4e21 0100 0000 bytes=6\n"
            "open ok\ndescriptor ok 3a7c 4e21 0100 0000 bytes=8\n"
            "exchange ok status=5\nexchange ok status=0\nexchange ok status=0\n"
            "exchange ok status=9\nbulk ok count=16\n"
            "exchange ok status=7\nexchange read-ok count=31\nexchange ok status=0\n")
    problems = []
    if out.replace("\r\n", "\n") != want:
        problems.append("test client saw:\n%s\nexpected:\n%s" % (out, want))
    record = prefix.record()
    crc = zlib.crc32(bytes((k * 7 + 3) & 0xFF for k in range(16)))
    if ("bulk 1 length=16 crc32=%d " % crc) not in record:
        problems.append("bulk hash not recorded as %d:\n%s" % (crc, record))
    if "open 0" in record or "open 2" not in record:
        problems.append("opened devices wrong:\n" + record)
    return problems


def checker_self_check():
    """The checks below can fail: a made-up run of a made-up scenario passes
    as recorded, and each kind of wrong run is caught."""
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "made_up.scn"), "w") as f:
            f.write("device: 0 04a9 1905\ndevice: 1 3a7c 4e21\nreadiness: 0\nburn: 0\n"
                    "expect-wire: R D B S\nexpect-opened: 0 1\n"
                    "expect-service: running auto\n"
                    "expect-service-during-transfer: stopped disabled\n")
        with open(os.path.join(d, "made_up.out"), "wb") as f:
            f.write(b"0\nDone!!\n\n")
        scenario = Scenario(os.path.join(d, "made_up.scn"))
    download = "200200002a00080004000000" + (10).to_bytes(4, "little").hex()
    record = ("open 0\ndescriptor 0\nopen 1\ndescriptor 1\n"
              "command 1 readiness %s\nread 1 readiness length=32 status=0\n"
              "command 1 download %s\nread 1 download length=32 status=0\n"
              "bulk 1 length=10 crc32=77 time=200 stisvc-start=4\n"
              "command 1 burn %s\nread 1 burn length=32 status=0\n"
              "service running auto\n" % (READINESS_QUERY.hex(), download, BURN_QUERY.hex()))
    events = [(100, "stop"), (300, "start")]
    good = b"0\r\nDone!!\r\n\r\n"
    problems = []
    if check(scenario, good, 0, record, events, 10, 77):
        problems.append("a right run is not accepted")
    wrong = {
        "bare line feeds": (b"0\nDone!!\n\n", record, events),
        "a missing line": (b"0\r\n", record, events),
        "another image": (good, record.replace("crc32=77", "crc32=78"), events),
        "a missing burn query": (good, record.replace("command 1 burn", "x"), events),
        "the wrong device updated": (good, record.replace("command 1 ", "command 0 "), events),
        "an extra device opened": (good, "open 2\n" + record, events),
        "the service left disabled": (good, record.replace("service running auto",
                                                           "service stopped disabled"), events),
        "the service running during the transfer": (good, record, [(300, "start")]),
        "the service enabled during the transfer": (good, record.replace("stisvc-start=4",
                                                                         "stisvc-start=2"),
                                                    events),
    }
    for what, (stdout, text, service_events) in wrong.items():
        if not check(scenario, stdout, 0, text, service_events, 10, 77):
            problems.append("a run with %s is not caught" % what)
    if not check(scenario, good, 1, record, events, 10, 77):
        problems.append("a non-zero exit status is not caught")
    scenario.expect_exit = 4
    if not check(scenario, good, 0, record, events, 10, 77):
        problems.append("exit status 0 where 4 is expected is not caught")
    scenario.expect_exit = 0
    scenario.expect["expect-service-calls"] = "none"
    if not check(scenario, good, 0, record, events, 10, 77):
        problems.append("a stopped and started service is not caught as touched")
    del scenario.expect["expect-service-calls"]
    scenario.out = b"{image-length} {image-sha256}\n"
    if (check(scenario, b"10 ab\r\n", 0, record, events, 10, 77, "ab") or
            not check(scenario, b"10 ac\r\n", 0, record, events, 10, 77, "ab")):
        problems.append("the image facts are not put into the expected output")
    return problems


# ---- one scenario ----

def parse_record(text):
    events, service = [], None
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        if words[0] == "service":
            service = " ".join(words[1:])
        elif words[0] in ("open", "descriptor", "command", "read", "bulk"):
            fields = {}
            for w in words[2:]:
                if "=" in w:
                    k, v = w.split("=", 1)
                    fields[k] = v
            events.append((words[0], int(words[1]), words[2:], fields))
    return events, service


def wire_tokens(events, found, image_length, image_crc):
    download = (bytes.fromhex("200200002a00080004000000") +
                image_length.to_bytes(4, "little")).hex()
    tokens = []
    for kind, index, words, fields in events:
        if kind == "command":
            data = words[1]
            letter = {READINESS_QUERY.hex(): "R", download: "D",
                      BURN_QUERY.hex(): "S"}.get(data, "?" + data)
        elif kind == "bulk":
            whole = (int(fields["length"]) == image_length and
                     int(fields["crc32"]) == image_crc)
            letter = "B" if whole else "B?(length=%s crc32=%s)" % (fields["length"],
                                                                  fields["crc32"])
        else:
            continue
        tokens.append(letter if index == found else "%s@%d" % (letter, index))
    return tokens


def service_during_transfer(scenario, events, service_events):
    bulk = [f for kind, _, _, f in events if kind == "bulk"]
    if not bulk:
        return "(no bulk write)"
    start = bulk[0]["stisvc-start"]
    if start == "none":
        return "absent"
    when = int(bulk[0]["time"])
    state = scenario.service["state"]
    for stamp, what in service_events:
        if stamp <= when:
            state = {"start": "running", "stop": "stopped"}[what]
    return "%s %s" % (state, START_TYPES.get(int(start), start))


def check(scenario, stdout, status, record_text, service_events, image_length, image_crc,
          image_sha=""):
    problems = []
    want = expected_stdout(scenario, image_length, image_sha)
    if stdout != want:
        at = next((i for i in range(min(len(stdout), len(want))) if stdout[i] != want[i]),
                  min(len(stdout), len(want)))
        problems.append("standard output differs at byte %d\n    expected %r\n    got      %r"
                        % (at, want[max(0, at - 40):at + 80], stdout[max(0, at - 40):at + 80]))
    if status != scenario.expect_exit:
        problems.append("exit status %d, expected %d" % (status, scenario.expect_exit))
    events, final_service = parse_record(record_text)
    found = scenario.found_index()
    if "expect-wire" in scenario.expect:
        got = wire_tokens(events, found, image_length, image_crc)
        expected = expand_wire(scenario.expect["expect-wire"])
        if got != expected:
            problems.append("scanner received %s, expected %s" % (" ".join(got) or "nothing",
                                                                 " ".join(expected) or "nothing"))
    else:
        # Without a wire expectation still nothing may reach another device.
        stray = [t for t in wire_tokens(events, found, image_length, image_crc) if "@" in t]
        if stray:
            problems.append("requests reached other devices: " + " ".join(stray))
    if "expect-opened" in scenario.expect:
        opened = sorted({index for kind, index, _, _ in events if kind == "open"})
        expected = sorted(int(v) for v in scenario.expect["expect-opened"].split())
        if opened != expected:
            problems.append("opened devices %s, expected %s" % (opened, expected))
    if "expect-service" in scenario.expect:
        if final_service != scenario.expect["expect-service"]:
            problems.append("service at the end: %s, expected %s"
                            % (final_service, scenario.expect["expect-service"]))
    if scenario.expect.get("expect-service-calls") == "none":
        # All the stand-in can show: it was neither stopped nor started, and
        # it ends as it was set up.
        initial = ("absent" if scenario.service["state"] == "absent" else
                   "%s %s" % (scenario.service["state"], scenario.service["start"]))
        if service_events or final_service != initial:
            problems.append("the service was touched: %s, at the end %s"
                            % (" ".join(w for _, w in service_events) or "no start or stop",
                               final_service))
    if "expect-service-during-transfer" in scenario.expect:
        during = service_during_transfer(scenario, events, service_events)
        if during != scenario.expect["expect-service-during-transfer"]:
            problems.append("service during the transfer: %s, expected %s"
                            % (during, scenario.expect["expect-service-during-transfer"]))
    return problems


def run_scenario(prefix, exe, scenario, image_length, image_crc, image_sha):
    prefix.set_scenario(scenario)
    status, stdout = wineenv.run(["wine", exe] + scenario.args,
                                 locale_env(prefix.env, scenario.lang), timeout=180)
    record = prefix.record()
    return check(scenario, stdout, status, record, prefix.service_events(),
                 image_length, image_crc, image_sha)


# ---- Ctrl+C ----

# Texts the interrupted runs add to or cut from a transcript, LF line ends.
BUSY = {"0409": b"Device is busy... Please wait...\n\n",
        "0404": bytes.fromhex("b35db3c6a6a3b84ca4a42e2e2e20bdd0b579add42e2e2e0a0a")}
CANCELLED = {"0409": b"Update cancelled!!\n\n",
             "0404": bytes.fromhex("a7f3b773a477a8faaef821210a0a")}
CANNOT_CANCEL = {
    "0409": b"FW Upgrade in progress, cannot cancel... Please wait...\n\n",
    "0404": bytes.fromhex("b6b4c5e9a4c9afc5a4a4a141b54caa6ba8faaef8a141bdd0b579add42e2e2e0a0a")}
UPGRADE_WAIT = {"0409": b"FW Upgrade! Please wait...\n\n",
                "0404": bytes.fromhex("b6b4c5e9a4c9afc5a141bdd0b579add42e2e2e0a0a")}

# SIGINT to the running scanfw.exe, which Wine hands to the registered console
# control handler as CTRL_C_EVENT: (base scenario, when, what is expected).
# "busy": once the scanner has answered a readiness query, and it answers
# busy for ever; the run must stop before the download command. "image": once
# the image is written, in the 6-second pause; the run must go on.
INTERRUPTS = [
    ("success_en", "busy"), ("success_zh", "busy"),
    ("success_en", "image"), ("success_zh", "image"),
]


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


def run_interrupted(prefix, exe, scenario, when, image_length, image_crc):
    """Runs scanfw, sends SIGINT when the driver's record shows `when`, and
    checks the run against what the stage allows."""
    lang = scenario.lang
    if when == "busy":
        scenario.readiness = [5]
        scenario.burn = [0]
    prefix.set_scenario(scenario)
    found = scenario.found_index()
    seen = {"busy": "read %d readiness" % found, "image": "bulk %d " % found}[when]
    query = "command %d readiness" % found
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(["wine", exe] + scenario.args,
                                   env=locale_env(prefix.env, lang), stdout=out,
                                   stderr=err, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        queries_at_signal = None
        try:
            while time.monotonic() < deadline and process.poll() is None:
                record = prefix.record()
                if seen in record:
                    queries_at_signal = record.count(query)
                    os.kill(wine_pid(process), signal.SIGINT)
                    break
                time.sleep(0.1)
            status = process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return ["did not end within a minute of the interrupt"]
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    record = prefix.record()
    problems = []
    if queries_at_signal is None:
        return ["the run ended before `%s` was seen: %r" % (seen, stdout)]
    if stderr:
        problems.append("standard error: %r" % stderr)
    if when == "busy":
        queries = record.count(query)
        # The interrupt is taken before the next query, so at most the one
        # already under way follows it.
        if queries > queries_at_signal + 1:
            problems.append("%d readiness queries after the interrupt"
                            % (queries - queries_at_signal))
        head = scenario.out[:scenario.out.index(BUSY[lang])]
        scenario.out = head + BUSY[lang] * queries + CANCELLED[lang]
        scenario.expect["expect-wire"] = "R*%d" % queries
        scenario.expect.pop("expect-service-during-transfer", None)
    else:
        at = scenario.out.index(UPGRADE_WAIT[lang])
        scenario.out = scenario.out[:at] + CANNOT_CANCEL[lang] + scenario.out[at:]
    scenario.expect["expect-service"] = "running auto"
    return problems + check(scenario, stdout, status, record, prefix.service_events(),
                            image_length, image_crc)


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


def run_live(prefix, exe, scenario):
    """Runs scanfw on a pseudo-terminal, so that it sees a console and each
    message shows as it is printed; returns what it printed, LF line ends."""
    import pty
    master, slave = pty.openpty()
    env = locale_env(prefix.env, scenario.lang)
    env["TERM"] = "dumb"
    raw = shown = b""
    with tempfile.TemporaryFile() as err:
        process = subprocess.Popen(["wine", exe] + scenario.args, env=env,
                                   stdin=subprocess.DEVNULL, stdout=slave, stderr=err)
        os.close(slave)
        while True:
            ready, _, _ = select.select([master], [], [], 0.2)
            chunk = b""
            if ready:
                try:
                    chunk = os.read(master, 4096)
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
        process.wait()
    return process.returncode, render(raw)


def live(prefix, exe, scenario, image, image_crc):
    print("== scanfw.exe %s under Wine (%s), scanner at \\\\.\\usbscan%s, service %s %s"
          % (" ".join(scenario.args) or "(no arguments)", locale_env({}, scenario.lang)["LC_ALL"],
             scenario.found_index(), scenario.service["state"], scenario.service["start"]))
    print("-" * 72)
    sys.stdout.flush()
    prefix.set_scenario(scenario)
    status, seen = run_live(prefix, exe, scenario)
    print("-" * 72)
    record = prefix.record()
    events, final_service = parse_record(record)
    problems = check(scenario, scenario.out.replace(b"\n", b"\r\n"), status, record,
                     prefix.service_events(), len(image), image_crc)
    if seen != scenario.out:
        problems.insert(0, "the transcript is not the expected one (%s.out)" % scenario.name)
    print("What the scanner received:")
    for kind, index, words, fields in events:
        if kind == "command":
            name = {"R": "readiness query", "D": "download command", "S": "burn-status query"}
            letter = wire_tokens([(kind, index, words, fields)], index, len(image), image_crc)[0]
            print("  command    %s  %s" % (" ".join(words[1][i:i + 2] for i in range(0, 32, 2)),
                                         name.get(letter, "unknown")))
        elif kind == "bulk":
            same = int(fields["length"]) == len(image) and int(fields["crc32"]) == image_crc
            print("  bulk write %s bytes, CRC-32 %08x: %s" % (
                fields["length"], int(fields["crc32"]),
                "length and CRC-32 equal the embedded image's" if same
                else "DIFFERS from the embedded image (%d bytes, CRC-32 %08x)"
                % (len(image), image_crc)))
            print("             while the still-image service was %s"
                  % service_during_transfer(scenario, events, prefix.service_events()))
    bulk_times = [int(f["time"]) for kind, _, _, f in events if kind == "bulk"]
    for stamp, what in prefix.service_events():
        when = ""
        if bulk_times:
            when = " %.2f s %s the image was written" % (
                abs(stamp - bulk_times[0]) / 1e7, "before" if stamp < bulk_times[0] else "after")
        print("Still-image service %s%s" % ("stopped" if what == "stop" else "started", when))
    print("Still-image service at the end: %s" % final_service)
    if problems:
        print("SOMETHING IS WRONG:")
        for p in problems:
            print("  " + p.replace("\n", "\n  "))
        return 1
    print("ok: transcript, scanner and service as expected")
    return 0


# ---- main ----

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--scenarios", required=True)
    parser.add_argument("--image", default="", help="the embedded image file, if known")
    parser.add_argument("--only", nargs="*",
                        help="run only these scenarios (interrupt_WHEN_BASE for the Ctrl+C runs)")
    parser.add_argument("--live", metavar="NAME", help="run one scenario for the eye")
    parser.add_argument("--force", action="store_true",
                        help="run the chosen scenarios even when they say `wine: no`")
    args = parser.parse_args()

    started = time.monotonic()
    image = embedded_image(args.exe, args.image if args.image and
                           os.path.exists(args.image) else "")
    image_crc = zlib.crc32(image)
    exe = os.path.abspath(args.exe)

    names = sorted(f[:-4] for f in os.listdir(args.scenarios) if f.endswith(".scn"))
    if args.live:
        names = [args.live]
    elif args.only:
        names = [n for n in names if n in args.only]

    try:
        prefix = Prefix(args.prefix, {"driver": args.driver, "ctl": args.ctl,
                                      "standin": args.standin, "client": args.client})
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        print("FAIL setting up the Wine prefix, the simulated scanner or the service: %s" % e)
        wineenv.stop(wineenv.base_env(os.path.abspath(args.prefix)))
        print("0 passed, 1 failed")
        return 1
    passed = failed = skipped = 0
    try:
        if args.live:
            return live(prefix, exe, Scenario(os.path.join(args.scenarios, args.live + ".scn")),
                        image, image_crc)
        problems = checker_self_check() + self_check(prefix)
        print("%s self-check of the simulator and the checks" % ("ok  " if not problems else "FAIL"))
        for p in problems:
            print("    " + p.replace("\n", "\n    "))
        if problems:
            failed += 1
        for name in names:
            t0 = time.monotonic()
            try:
                scenario = Scenario(os.path.join(args.scenarios, name + ".scn"))
                if scenario.wine_no and not args.force:
                    skipped += 1
                    print("skip %s (wine: %s)" % (name, scenario.wine_no))
                    continue
                problems = run_scenario(prefix, exe, scenario, len(image), image_crc,
                                        hashlib.sha256(image).hexdigest())
            except Unsupported as e:
                problems = ["the simulator cannot do this: %s (mark it `wine: no`)" % e]
            except (RuntimeError, subprocess.TimeoutExpired) as e:
                problems = ["could not run: %s" % e]
            print("%s %s (%.1f s)" % ("ok  " if not problems else "FAIL", name,
                                      time.monotonic() - t0))
            for p in problems:
                print("    " + p.replace("\n", "\n    "))
            sys.stdout.flush()
            if problems:
                failed += 1
            else:
                passed += 1
        for base, when in INTERRUPTS:
            name = "interrupt_%s_%s" % (when, base)
            if args.only and name not in args.only:
                continue
            t0 = time.monotonic()
            try:
                scenario = Scenario(os.path.join(args.scenarios, base + ".scn"))
                problems = run_interrupted(prefix, exe, scenario, when, len(image),
                                           image_crc)
            except (RuntimeError, subprocess.TimeoutExpired) as e:
                problems = ["could not run: %s" % e]
            print("%s %s (%.1f s)" % ("ok  " if not problems else "FAIL", name,
                                      time.monotonic() - t0))
            for p in problems:
                print("    " + p.replace("\n", "\n    "))
            sys.stdout.flush()
            if problems:
                failed += 1
            else:
                passed += 1
    finally:
        prefix.stop()
    print("%d scenarios skipped (wine: no); wall time %.0f s"
          % (skipped, time.monotonic() - started))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
