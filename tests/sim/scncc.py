#!/usr/bin/env python3
"""The scenario compiler, the one reader of tests/scenarios/*.scn: it
refuses what it does not know (file, line, reason), resolves what the
harnesses expect, decides which harness can run a scenario and why another
cannot, and writes the record declared in scenario_record.h.

  scncc.py plan DIR OUT_DIR      the records, and what each harness runs, for CMake
  scncc.py readme README.md      the README's tables name what the schema has
  scncc.py selftest"""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
HARNESSES = ("fake", "wine", "umockdev")
TARGET = (0x3A7C, 0x4E21)


class Bad(Exception):
    """A line the compiler refuses; the message is the reason."""


# ---- the record's layout, read from its one declaration ----

def read_layout(path=os.path.join(HERE, "scenario_record.h")):
    text = open(path).read()
    consts = {m.group(1): int(m.group(2), 0) for m in re.finditer(
        r"#define (SCN_\w+) (0x[0-9A-Fa-f]+|\d+)u?\b", text)}
    codes = {"uint8_t": "B", "uint16_t": "H", "uint32_t": "I", "int32_t": "i", "char": "s"}
    structs = {}
    for m in re.finditer(r"typedef struct (\w+) \{(.*?)\} \1;", text, re.S):
        fields, size = [], 0
        for f in re.finditer(r"^\s*(\w+) (\w+)(?:\[(\w+)\])?;", m.group(2), re.M):
            kind, name, count = f.groups()
            n = 1 if count is None else int(consts.get(count, count))
            fields.append((name, kind, n, size))
            size += n * (structs[kind][1] if kind in structs else struct.calcsize(codes[kind]))
        structs[m.group(1)] = (fields, size)
    return consts, structs, codes


C, STRUCTS, CODES = read_layout()
RECORD_SIZE = STRUCTS["scn_record"][1]


def pack(kind, value):
    """A dict as the struct `kind` lays it out; missing fields are zero."""
    fields, size = STRUCTS[kind]
    out = bytearray(size)
    for name, ftype, n, offset in fields:
        v = value.get(name, 0)
        if ftype == "char":
            data = v.encode() if isinstance(v, str) else bytes(v)
            if len(data) > n:
                raise Bad("%s: %d bytes, at most %d" % (name, len(data), n))
            out[offset:offset + len(data)] = data
            continue
        items = list(v) if isinstance(v, (list, tuple)) else [v] if n == 1 else []
        if ftype in STRUCTS:
            width = STRUCTS[ftype][1]
            for i, item in enumerate(items):
                out[offset + i * width:offset + (i + 1) * width] = pack(ftype, item)
        else:
            struct.pack_into("<%d%s" % (len(items), CODES[ftype]), out, offset, *items)
    return bytes(out)


# ---- the schema ----

def named(prefix, *words):
    return {w: C[prefix + w.upper().replace("-", "_")] for w in words}


PHASES = named("SCN_PHASE_", "readiness", "download", "bulk", "burn")
STAGES = named("SCN_STAGE_", "write", "read")
KINDS = named("SCN_FAULT_", "fail", "short", "long", "timeout", "waitfail", "overlapped", "stall",
               "gone")
STATES = named("SCN_SERVICE_", "running", "stopped", "paused", "absent", "denied", "no-manager")
SEEN_STATES = dict(STATES, **named("SCN_SERVICE_", "start-pending", "stop-pending",
                                   "continue-pending", "pause-pending"))
STARTS = named("SCN_START_", "auto", "demand", "disabled")
IMAGES = named("SCN_IMAGE_", "ok", "find", "load", "lock", "empty")
SIGNALS = named("SCN_SIGNAL_", "SIGHUP", "SIGINT", "SIGTERM")
SERVICE_FLAGS = {"stop=refused": C["SCN_SERVICE_STOP_REFUSED"],
                 "start-request=refused": C["SCN_SERVICE_START_REFUSED"]}
SERVICE_NUMBERS = {"hint=": "wait_hint", "config-error=": "config_error",
                   "status-fails=": "status_fails"}
SERVICE_OPTIONS = ("start=",) + tuple(SERVICE_FLAGS) + tuple(SERVICE_NUMBERS)

# The release the Windows test build's second executable, scanfw-r0102.exe,
# knows for its image.
TEST_RELEASE = 0x0102

# What a harness cannot make: harness -> reason, by what the scenario asks.
CLOCK = {"wine": "needs the virtual clock", "umockdev": "needs the virtual clock"}
PROCESS = {h: "only the umockdev testbed runs the Linux executable as a process"
           for h in ("fake", "wine")}
NO_SERVICE = "Linux has no service manager: the service's answers cannot be made"
LIMITS = {
    "kind timeout": {"wine": "a real driver cannot withhold the completion of a synchronous "
                             "request",
                     "umockdev": "a Linux transfer has no completion event to withhold (its "
                                 "kind is stall)"},
    "kind waitfail": {"wine": "a real driver cannot fail the wait",
                      "umockdev": "a Linux transfer has no wait that can fail"},
    "kind overlapped": {"wine": "a real driver cannot fail the completion query",
                        "umockdev": "a Linux transfer has no completion query"},
    "kind long": {"umockdev": "usbfs never reports more bytes than were asked for"},
    "read long": {"wine": "the system would copy the extra byte past the reader's buffer"},
    "kind stall": {"fake": "the fake completes every request; a request that never ends is "
                           "the Linux backend's time bound",
                   "wine": "the simulated driver completes every request"},
    "kind gone": {"fake": "the fake's devices cannot be unplugged",
                  "wine": "the simulated driver's devices cannot be unplugged during a run"},
    "fault-offset": {h: "the image goes out in one write here: an offset within it means "
                        "nothing" for h in ("fake", "wine")},
    "usbfs-limit": {h: "only usbfs accounts for the memory of submitted URBs"
                    for h in ("fake", "wine")},
    "service denied": {"wine": "the stand-in service cannot refuse rights",
                       "umockdev": NO_SERVICE},
    "service no-manager": {"wine": "Wine always has a service manager"},
    "service start-request=refused": {"wine": "the stand-in service cannot refuse a start "
                                              "request", "umockdev": NO_SERVICE},
    "service config-error=": {"wine": "the stand-in service cannot fail the configuration "
                                      "query", "umockdev": NO_SERVICE},
    "service status-fails=": {"wine": "the stand-in service cannot fail one status query",
                              "umockdev": NO_SERVICE},
    "reenumerate": {"fake": "the fake's devices cannot leave and come back during a run",
                    "wine": "the simulated driver's devices cannot leave and come back during "
                            "a run"},
    "device option": {"umockdev": "the identity is the kernel's copy of the device descriptor: "
                                  "it cannot fail or come short"},
    "image not ok": {h: "the built executable always carries its image"
                     for h in ("wine", "umockdev")},
    "never ready": {h: "the readiness wait runs out its 10 minutes in real time"
                    for h in ("wine", "umockdev")},
    "interrupt": {"fake": "the fake delivers console control events, not signals (those cases "
                           "are tests/unit/interrupt_test.cpp)",
                  "wine": "a signal cannot be timed to a request under Wine (its Ctrl+C runs "
                          "are INTERRUPTS in tests/e2e/e2e_test.py)"},
    "never burnt": {h: "the burn wait runs out its 10 minutes in real time"
                    for h in ("wine", "umockdev")},
    "never burnt, no request-ms": {"fake": "the burn never ends, and while it polls only "
                                           "request-ms moves the virtual clock"},
    "burn-time, no request-ms": {"fake": "the burn's time never passes: while it polls only "
                                         "request-ms moves the virtual clock"},
    "clock": CLOCK, "request-ms": CLOCK,
    "expect-stderr": {"wine": "the Wine harness does not read standard error"},
    "elapsed": PROCESS, "run-as": PROCESS,
    "firmware-release": {h: "the built executable knows only the release it was built with "
                            "(none in a test build; under Wine a second one knows %04X)"
                            % TEST_RELEASE for h in ("wine", "umockdev")},
    "firmware-release %04X" % TEST_RELEASE: {
        "umockdev": "the built executable knows only the release it was built with (none in "
                    "a test build)"},
    "expect-log": {h: "the record is read back in process" for h in ("wine", "umockdev")},
}


def number(text, base=10, limit=0xFFFFFFFF, what="number"):
    try:
        value = int(text, base)
    except ValueError:
        raise Bad("%r is not a %s number" % (text, "hex" if base == 16 else "decimal"))
    if not 0 <= value <= limit:
        raise Bad("%s %s is out of range" % (what, text))
    return value


def one(words, what):
    if len(words) != 1:
        raise Bad(what)
    return words[0]


def one_of(word, table, what):
    if word not in table:
        raise Bad("%s %r: one of %s" % (what, word, ", ".join(table)))
    return table[word]


def statuses(words):
    if not 1 <= len(words) <= C["SCN_MAX_ANSWERS"]:
        raise Bad("give 1 to %d statuses" % C["SCN_MAX_ANSWERS"])
    return [number(w, 10, 0xFFFF, "status") for w in words]


def d_device(sc, words, rest):
    if len(words) < 3:
        raise Bad("INDEX VENDOR PRODUCT, then options")
    d = {"index": number(words[0], 10, 255, "index"), "vendor": number(words[1], 16, 0xFFFF),
         "product": number(words[2], 16, 0xFFFF), "release": 0x0100, "descriptor_bytes": 8}
    for option in words[3:]:
        if option.startswith("release="):
            d["release"] = number(option[8:], 16, 0xFFFF, "release")
            continue
        if option.startswith("burn="):
            d["own_burn"], d["burn"] = 1, statuses([option[5:]])[0]
            continue
        if option == "reenumerate":
            d["reenumerate"] = 1
            sc["limits"].append("reenumerate")
            continue
        if option == "descriptor-fails":
            d["descriptor_fails"] = 1
        elif option.startswith("descriptor-bytes="):
            d["descriptor_bytes"] = number(option[17:], 10, 8, "descriptor-bytes")
        else:
            raise Bad("device option %r: descriptor-fails, descriptor-bytes=N, release=HHHH, "
                      "burn=S or reenumerate" % option)
        sc["limits"].append("device option")
    if sc["devices"] and d["index"] <= sc["devices"][-1]["index"]:
        raise Bad("device indices must ascend")
    if len(sc["devices"]) == C["SCN_MAX_DEVICES"]:
        raise Bad("at most %d devices" % C["SCN_MAX_DEVICES"])
    sc["devices"].append(d)


def d_fault(sc, words, rest):
    if len(words) != 4:
        raise Bad("PHASE N STAGE KIND")
    phase, stage = one_of(words[0], PHASES, "phase"), one_of(words[2], STAGES, "stage")
    occurrence = number(words[1], what="occurrence")
    if occurrence == 0:
        raise Bad("the first exchange is 1")
    if words[0] == "bulk" and words[2] != "write":
        raise Bad("bulk has only the stage write")
    if len(sc["faults"]) == C["SCN_MAX_FAULTS"]:
        raise Bad("at most %d faults" % C["SCN_MAX_FAULTS"])
    sc["faults"].append({"phase": phase, "stage": stage, "occurrence": occurrence,
                         "kind": one_of(words[3], KINDS, "fault kind")})
    sc["limits"] += ["kind " + words[3], words[2] + " " + words[3]]


def d_service(sc, words, rest):
    if not words:
        raise Bad("STATE then options")
    s = sc["service"]
    s["state"] = one_of(words[0], STATES, "service state")
    sc["limits"].append("service " + words[0])
    for option in words[1:]:
        key, eq, value = option.partition("=")
        if key == "start":
            s["start"] = one_of(value, STARTS, "start type")
        elif option in SERVICE_FLAGS:
            s["flags"] |= SERVICE_FLAGS[option]
        elif key + eq in SERVICE_NUMBERS and value:
            s[SERVICE_NUMBERS[key + eq]] = number(value)
            option = key + eq  # the limits go by the option, whatever its value
        else:
            raise Bad("service option %r" % option)
        sc["limits"].append("service " + option)


def d_expect_wire(sc, words, rest):
    for token in words:
        m = re.fullmatch(r"([RDBS])(?:\*(\d+))?", token)
        if not m:
            raise Bad("wire item %r: R, D, B or S, optionally *N" % token)
        sc["wire"] += m.group(1) * int(m.group(2) or 1)
    if len(sc["wire"]) > C["SCN_MAX_WIRE"]:
        raise Bad("at most %d items" % C["SCN_MAX_WIRE"])


def service_state(words):
    if words == ["absent"]:
        return {"state": STATES["absent"]}
    if len(words) != 2:
        raise Bad("STATE START, or absent")
    return {"state": one_of(words[0], SEEN_STATES, "state"),
            "start": one_of(words[1], STARTS, "start")}


def d_elapsed(sc, words, rest):
    if len(words) == 3 and words[2] == "from-fault":
        sc["elapsed_from_fault"] = 1
        words = words[:2]
    try:
        low, high = (int(round(float(w) * 1000)) for w in words)
    except ValueError:
        raise Bad("MIN MAX, seconds, then optionally from-fault")
    if not 0 <= low <= high:
        raise Bad("MIN must not exceed MAX")
    sc["elapsed_min_ms"], sc["elapsed_max_ms"] = low, high


def d_interrupt(sc, words, rest):
    if len(words) != 3:
        raise Bad("SIGNAL PHASE N")
    sc["interrupt_signal"] = one_of(words[0], SIGNALS, "signal")
    sc["interrupt_phase"] = one_of(words[1], PHASES, "phase")
    sc["interrupt_occurrence"] = number(words[2], what="occurrence")
    if sc["interrupt_occurrence"] == 0:
        raise Bad("the first request is 1")


def d_usbfs_limit(sc, words, rest):
    if not 1 <= len(words) <= 2:
        raise Bad("BYTES, then optionally refused or never-refused")
    sc["usbfs_limit"] = number(words[0], what="limit")
    if len(words) == 2:
        sc["usbfs_refusals"] = one_of(words[1], {"refused": C["SCN_USBFS_REFUSED"],
                                                 "never-refused": C["SCN_USBFS_NEVER_REFUSED"]},
                                      "refusals")


def release(words):
    word = one(words, "HHHH, or unknown")
    return -1 if word == "unknown" else number(word, 16, 0xFFFF, "release")


def setter(key, convert, text=False):
    """A handler that sets sc[key] to convert(the words, or the whole text)."""
    def handler(sc, words, rest):
        sc[key] = convert(rest if text else words)
    return handler


def only(word):
    def convert(words):
        if words != [word]:
            raise Bad("only " + word)
        return 1
    return convert


# directive -> (handler, the check it asks for, the words of its values the
# README's row must name)
DIRECTIVES = {
    "title": (setter("title", str, text=True), 0, ()),
    "args": (setter("args", list), 0, ()),
    "lang": (setter("lang", lambda w: number(one(w, "one LANGID, hex"), 16, 0xFFFF, "LANGID")),
             0, ()),
    "clock": (setter("clock", lambda w: number(one(w, "one tick count, hex"), 16)), 0, ()),
    "device": (d_device, 0, ("descriptor-fails", "descriptor-bytes=", "release=", "burn=",
                             "reenumerate")),
    "readiness": (setter("readiness", statuses), 0, ()),
    "download": (setter("download", lambda w: statuses([one(w, "one status")])[0]), 0, ()),
    "burn": (setter("burn", statuses), 0, ()),
    "request-ms": (setter("request_ms", lambda w: number(one(w, "one number of ms"))), 0, ()),
    "burn-time": (setter("burn_time_ms", lambda w: number(one(w, "one number of ms"))), 0, ()),
    "fault": (d_fault, 0, tuple(PHASES) + tuple(STAGES) + tuple(KINDS)),
    "service": (d_service, 0, tuple(STATES) + SERVICE_OPTIONS),
    "image": (setter("image", lambda w: one_of(one(w, "ok, find, load, lock or empty"), IMAGES,
                                               "image")), 0, tuple(IMAGES)),
    "run-as": (setter("run_as_nobody", only("nobody")), 0, ("nobody",)),
    "firmware-release": (setter("firmware_release", release), 0, ("unknown",)),
    "interrupt": (d_interrupt, 0, tuple(SIGNALS) + tuple(PHASES)),
    "fault-offset": (setter("bulk_fault_offset", lambda w: number(one(w, "BYTES"),
                                                                 limit=0xFFFFFFFE)), 0, ()),
    "usbfs-limit": (d_usbfs_limit, 0, ("refused", "never-refused")),
    "expect-wire": (d_expect_wire, C["SCN_CHECK_WIRE"], ("R", "D", "B", "S")),
    "expect-opened": (setter("opened", lambda w: [number(i, 10, 255, "index") for i in w]),
                      C["SCN_CHECK_OPENED"], ()),
    "expect-service": (setter("expect_service", service_state), C["SCN_CHECK_SERVICE"],
                       ("absent",)),
    "expect-service-during-transfer": (setter("expect_service_during", service_state),
                                       C["SCN_CHECK_SERVICE_DURING"], ()),
    "expect-stderr": (setter("expect_stderr", lambda r: r or one([], "the text it must hold"),
                             text=True), C["SCN_CHECK_STDERR"], ()),
    "elapsed": (d_elapsed, C["SCN_CHECK_ELAPSED"], ()),
    "expect-exit": (setter("expect_exit", lambda w: number(one(w, "one exit status"), 10, 255,
                                                          "exit status")), 0, ()),
    "expect-service-calls": (setter("no_service_calls", only("none")),
                             C["SCN_CHECK_NO_SERVICE_CALLS"], ("none",)),
    "expect-log": (setter("expect_log", only("appended")), C["SCN_CHECK_LOG"], ("appended",)),
}
REPEATABLE = ("device", "fault")


def parse(text, path):
    """The scenario in `text`; Bad("path:line: reason") at the first line it
    refuses."""
    sc = {"name": os.path.basename(path)[:-4], "title": "", "args": [], "lang": 0x0409,
          "devices": [], "readiness": [0], "burn": [0], "faults": [], "image": 0, "checks": 0,
          "wire": "", "opened": [], "expect_service": {}, "expect_service_during": {},
          "service": {"state": STATES["running"], "start": STARTS["auto"], "flags": 0},
          "bulk_fault_offset": C["SCN_NO_OFFSET"], "usbfs_limit": 16 << 20,
          "firmware_release": -1, "limits": []}
    seen = set()
    for line_number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        word, colon, rest = (part.strip() for part in line.partition(":"))
        try:
            if not colon:
                raise Bad("not a directive (WORD: values)")
            if word not in DIRECTIVES:
                raise Bad("unknown directive %r" % word)
            if word in seen and word not in REPEATABLE:
                raise Bad("%s given twice" % word)
            seen.add(word)
            handler, check, _ = DIRECTIVES[word]
            handler(sc, rest.split(), rest)
            sc["checks"] |= check
            if word in LIMITS:
                sc["limits"].append(word)
        except Bad as e:
            raise Bad("%s:%d: %s" % (path, line_number, e))
    try:
        resolve(sc)
    except Bad as e:
        raise Bad("%s: %s" % (path, e))
    return sc


def named_device(args):
    """The index --device names in args (\\\\.\\usbscanN or N), or None."""
    for i, arg in enumerate(args[:-1]):
        if arg == "--device":
            m = re.fullmatch(r"(?i:\\\\\.\\usbscan)?(0|[1-9]\d{0,2})", args[i + 1])
            return int(m.group(1)) if m else None
    return None


def updated(sc, d):
    """Whether an update sends commands to this scanner: an executable that
    knows its image's release leaves a newer one (without --allow-older) and
    the same one (without --allow-reinstall) as they are."""
    known = sc["firmware_release"]
    if known < 0:
        return True
    if d["release"] > known:
        return "--allow-older" in sc["args"]
    if d["release"] == known:
        return "--allow-reinstall" in sc["args"]
    return True


def resolve(sc):
    """What the harnesses expect, and which of them can run the scenario."""
    # The devices commands reach: the scanner discovery settles on (among
    # the one --device names), or with --all every scanner.
    sc["target"] = -1
    named = named_device(sc["args"])
    for slot, d in enumerate(sc["devices"]):
        raw = (struct.pack("<HH", d["vendor"], d["product"])[:d["descriptor_bytes"]] +
               bytes(4))[:4]
        if d.get("descriptor_fails") or struct.unpack("<HH", raw) != TARGET:
            continue
        if "--device" in sc["args"] and d["index"] != named:
            continue
        if updated(sc, d):
            d["receives"] = 1
        if sc["target"] < 0:
            sc["target"] = slot
        if "--all" not in sc["args"]:
            break
    if sc["bulk_fault_offset"] != C["SCN_NO_OFFSET"] and \
            not any(f["phase"] == PHASES["bulk"] for f in sc["faults"]):
        raise Bad("fault-offset: without a bulk fault")
    if sc.get("elapsed_from_fault") and not sc["faults"]:
        raise Bad("elapsed: from-fault without a fault")
    if sc["image"]:
        sc["limits"].append("image not ok")
    if "firmware-release" in sc["limits"] and sc["firmware_release"] in (-1, TEST_RELEASE):
        sc["limits"].remove("firmware-release")
        if sc["firmware_release"] == TEST_RELEASE:
            sc["limits"].append("firmware-release %04X" % TEST_RELEASE)
    indices = [d["index"] for d in sc["devices"]]
    for index in sc["opened"]:
        if index not in indices:
            raise Bad("expect-opened names %d, which is not attached" % index)
        sc["devices"][indices.index(index)]["expect_opened"] = 1
    if sc["target"] >= 0 and sc["readiness"][-1] not in (0, 6) and sc["image"] == 0 and \
            not any(f["phase"] == PHASES["readiness"] for f in sc["faults"]) and \
            sc.get("interrupt_phase") != PHASES["readiness"]:
        sc["limits"].append("never ready")
    # A scanner that answers 7 (still burning) to the end keeps the burn loop
    # polling, without a pause, until 10 minutes have passed.
    burns = [d["burn"] if d.get("own_burn") else sc["burn"][-1]
             for d in sc["devices"] if d.get("receives")]
    if 7 in burns and sc["image"] == 0 and not sc["faults"] and \
            "never ready" not in sc["limits"] and not sc.get("interrupt_signal") and \
            not set(sc["args"]) & {"--help", "-h", "-?", "/?", "--version", "--list",
                                   "--check"}:
        sc["limits"].append("never burnt")
        if not sc.get("request_ms"):
            sc["limits"].append("never burnt, no request-ms")
    if sc.get("burn_time_ms") and not sc.get("request_ms"):
        sc["limits"].append("burn-time, no request-ms")
    sc["excluded"] = {}
    for limit in sc["limits"]:
        for harness, reason in LIMITS.get(limit, {}).items():
            sc["excluded"].setdefault(harness, reason)
    sc["harnesses"] = [h for h in HARNESSES if h not in sc["excluded"]]
    if not sc["harnesses"]:
        raise Bad("no harness can run it: " + "; ".join(
            "%s: %s" % kv for kv in sorted(sc["excluded"].items())))


def record(sc):
    # What the compiler resolved and the header has no field for would be lost.
    unknown = set(sc) - {f[0] for f in STRUCTS["scn_record"][0]} - \
        {"name", "title", "opened", "limits", "excluded", "no_service_calls", "expect_log"}
    if unknown:
        raise Bad("scenario_record.h has no field for %s" % ", ".join(sorted(unknown)))
    fields = dict(sc)
    fields.update({
        "magic": C["SCN_MAGIC"], "version": C["SCN_VERSION"], "size": RECORD_SIZE,
        "harnesses": sum(1 << HARNESSES.index(h) for h in sc["harnesses"]),
        "readiness_count": len(sc["readiness"]), "burn_count": len(sc["burn"]),
        "device_count": len(sc["devices"]), "fault_count": len(sc["faults"]),
        "wire_length": len(sc["wire"]), "argc": len(sc["args"]),
        "args": b"".join(a.encode() + b"\0" for a in sc["args"])})
    return pack("scn_record", fields)


def compile_file(path):
    with open(path, encoding="utf-8") as f:
        return parse(f.read(), path)


def readme(path):
    """The README's directive tables: one row for each directive and no
    other, each naming every value word the compiler takes."""
    rows = dict(re.findall(r"^\| `([\w-]+):` \|(.*)$", open(path, encoding="utf-8").read(), re.M))
    problems = ["%s has no row for %s:" % (path, d) for d in DIRECTIVES if d not in rows]
    problems += ["%s describes %s:, which the compiler does not know" % (path, d)
                 for d in rows if d not in DIRECTIVES]
    for name, (_, _, words) in DIRECTIVES.items():
        problems += ["%s: the row of %s: does not name `%s`" % (path, name, w)
                     for w in words if name in rows and "`%s" % w not in rows[name]]
    for p in problems:
        print(p)
    return 1 if problems else 0


def plan(directory, out_dir):
    """Compiles every scenario; writes nothing unless all of them compile."""
    lists, excluded, files, failed = {h: [] for h in HARNESSES}, [], {}, False
    for name in sorted(f[:-4] for f in os.listdir(directory) if f.endswith(".scn")):
        try:
            sc = compile_file(os.path.join(directory, name + ".scn"))
            files[name + ".rec"] = record(sc)
        except Bad as e:
            print(e, file=sys.stderr)
            failed = True
            continue
        for h in HARNESSES:
            if h in sc["harnesses"]:
                lists[h].append(name)
            else:
                excluded.append("%-9s %-32s %s\n" % (h, name, sc["excluded"][h]))
    if failed:
        return 1
    files.update({h + ".list": "".join(n + "\n" for n in lists[h]) for h in HARNESSES})
    files["plan.cmake"] = "# Made by scncc.py plan: the scenarios each harness runs.\n" + "".join(
        "set(SCANFW_SCENARIOS_%s %s)\n" % (h.upper(), " ".join(lists[h])) for h in HARNESSES)
    files["excluded.txt"] = "".join(excluded)
    os.makedirs(out_dir, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
    return 0


def main(argv):
    if len(argv) == 3 and argv[0] == "plan":
        return plan(argv[1], argv[2])
    if len(argv) == 2 and argv[0] == "readme":
        return readme(argv[1])
    if argv == ["selftest"]:
        import scncc_test
        return scncc_test.main()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
