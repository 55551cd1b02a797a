#!/usr/bin/env python3
"""The scenario compiler: the one reader of tests/scenarios/*.scn.

It owns the directives, their values and defaults, and what each harness
can make of them. It refuses what it does not know (file, line, reason),
resolves what the harnesses expect (the target, the expanded wire, the
devices that may be opened, the service states), decides which harness can
run the scenario and why another cannot, and writes the compiled record
declared in scenario_record.h.

  scncc.py compile NAME.scn -o NAME.rec
  scncc.py plan DIR OUT_DIR      (what each harness runs, for CMake)
  scncc.py readme README.md [--write]  (the directive tables, checked)
  scncc.py selftest"""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
HEADER = os.path.join(HERE, "scenario_record.h")
HARNESSES = ("fake", "wine", "umockdev")
TARGET = (0x3A7C, 0x4E21)
READY = (0, 6)


class Bad(Exception):
    """A line the compiler refuses; the message is the reason."""


# ---- the record's layout, read from its one declaration ----

def read_layout(path=HEADER):
    text = open(path).read()
    consts = {m.group(1): int(m.group(2), 0) for m in re.finditer(
        r"#define (SCN_\w+) (0x[0-9A-Fa-f]+|\d+)u?\b", text)}
    sizes = {"uint8_t": ("B", 1), "uint16_t": ("H", 2), "uint32_t": ("I", 4),
             "int32_t": ("i", 4), "char": ("s", 1)}
    structs = {}
    for m in re.finditer(r"typedef struct (\w+) \{(.*?)\} \1;", text, re.S):
        fields, size = [], 0
        for f in re.finditer(r"^\s*(\w+) (\w+)(?:\[(\w+)\])?;", m.group(2), re.M):
            kind, name, count = f.group(1), f.group(2), f.group(3)
            n = 1 if count is None else (int(count) if count.isdigit() else consts[count])
            width = sizes[kind][1] if kind in sizes else structs[kind][1]
            fields.append((name, kind, n, size))
            size += width * n
        structs[m.group(1)] = (fields, size)
    return consts, structs


C, STRUCTS = read_layout()
RECORD_SIZE = STRUCTS["scn_record"][1]


def pack(kind, value):
    """Packs a dict (or a number, bytes) as the struct `kind` lays it out."""
    if kind == "char":
        raise TypeError
    fields, size = STRUCTS[kind]
    out = bytearray(size)
    for name, ftype, n, offset in fields:
        v = value.get(name, 0)
        if ftype == "char":
            data = v.encode("utf-8") if isinstance(v, str) else bytes(v)
            if len(data) > n:
                raise Bad("%s too long (%d bytes, at most %d)" % (name, len(data), n))
            out[offset:offset + len(data)] = data
        elif ftype in STRUCTS:
            items = v if n > 1 else [v]
            width = STRUCTS[ftype][1]
            for i, item in enumerate(items or []):
                out[offset + i * width:offset + (i + 1) * width] = pack(ftype, item)
        else:
            code = {"uint8_t": "B", "uint16_t": "H", "uint32_t": "I", "int32_t": "i"}[ftype]
            items = list(v) if isinstance(v, (list, tuple)) else [v] if n == 1 else []
            struct.pack_into("<%d%s" % (len(items), code), out, offset, *items)
    return bytes(out)


# ---- the directives ----

def number(text, base=10, limit=0xFFFFFFFF, what="number"):
    try:
        value = int(text, base)
    except ValueError:
        raise Bad("%r is not a %s number" % (text, "hex" if base == 16 else "decimal"))
    if value < 0 or value > limit:
        raise Bad("%s %s is out of range" % (what, text))
    return value


def statuses(words):
    if not words or len(words) > C["SCN_MAX_ANSWERS"]:
        raise Bad("give 1 to %d statuses" % C["SCN_MAX_ANSWERS"])
    return [number(w, 10, 0xFFFF, "status") for w in words]


def one_of(word, table, what):
    if word not in table:
        raise Bad("%s %r: one of %s" % (what, word, ", ".join(table)))
    return table[word]


PHASES = {"readiness": C["SCN_PHASE_READINESS"], "download": C["SCN_PHASE_DOWNLOAD"],
          "bulk": C["SCN_PHASE_BULK"], "burn": C["SCN_PHASE_BURN"]}
STAGES = {"write": C["SCN_STAGE_WRITE"], "read": C["SCN_STAGE_READ"]}
KINDS = {k: C["SCN_FAULT_" + k.upper()] for k in
         ("fail", "short", "long", "timeout", "waitfail", "overlapped", "stall")}
STATES = {"running": C["SCN_SERVICE_RUNNING"], "stopped": C["SCN_SERVICE_STOPPED"],
          "paused": C["SCN_SERVICE_PAUSED"], "absent": C["SCN_SERVICE_ABSENT"],
          "denied": C["SCN_SERVICE_DENIED"], "no-manager": C["SCN_SERVICE_NO_MANAGER"]}
STARTS = {"auto": C["SCN_START_AUTO"], "demand": C["SCN_START_DEMAND"],
          "disabled": C["SCN_START_DISABLED"]}
IMAGES = {"ok": 0, "find": 1, "load": 2, "lock": 3, "empty": 4}

# What a harness cannot make, by fault kind (and stage); None: it can.
FAULT_LIMITS = {
    "timeout": {"wine": "a real driver cannot withhold the completion of a synchronous request",
                "umockdev": "a Linux transfer has no completion event to withhold (its kind is stall)"},
    "waitfail": {"wine": "a real driver cannot fail the wait",
                 "umockdev": "a Linux transfer has no wait that can fail"},
    "overlapped": {"wine": "a real driver cannot fail the completion query",
                   "umockdev": "a Linux transfer has no completion query"},
    "long": {"umockdev": "usbfs never reports more bytes than were asked for"},
    "stall": {"fake": "the fake completes every request; a request that never ends is the "
                      "Linux backend's time bound",
              "wine": "the simulated driver completes every request"},
}
NO_SERVICE = "Linux has no service manager: the service's answers cannot be made"
SERVICE_LIMITS = {
    "denied": {"wine": "the stand-in service cannot refuse rights", "umockdev": NO_SERVICE},
    "no-manager": {"wine": "Wine always has a service manager"},
    "start-request=refused": {"wine": "the stand-in service cannot refuse a start request",
                              "umockdev": NO_SERVICE},
    "config-error": {"wine": "the stand-in service cannot fail the configuration query",
                     "umockdev": NO_SERVICE},
}
VIRTUAL_CLOCK = {"wine": "needs the virtual clock", "umockdev": "needs the virtual clock"}
LINUX_PROCESS = {h: "only the umockdev testbed runs the Linux executable as a process"
                 for h in ("fake", "wine")}


def d_title(sc, words, rest):
    sc["title"] = rest


def d_args(sc, words, rest):
    sc["args"] = words


def d_lang(sc, words, rest):
    if len(words) != 1:
        raise Bad("one LANGID, hex")
    sc["lang"] = number(words[0], 16, 0xFFFF, "LANGID")


def d_clock(sc, words, rest):
    if len(words) != 1:
        raise Bad("one tick count, hex")
    sc["clock"] = number(words[0], 16)
    sc["limits"].append(VIRTUAL_CLOCK)


def d_device(sc, words, rest):
    if len(words) < 3:
        raise Bad("INDEX VENDOR PRODUCT, then options")
    d = {"index": number(words[0], 10, 255, "index"), "vendor": number(words[1], 16, 0xFFFF),
         "product": number(words[2], 16, 0xFFFF), "release": 0x0100, "language": 0,
         "descriptor_fails": 0, "descriptor_bytes": 8}
    for option in words[3:]:
        if option == "descriptor-fails":
            d["descriptor_fails"] = 1
        elif option.startswith("descriptor-bytes="):
            d["descriptor_bytes"] = number(option[17:], 10, 8, "descriptor-bytes")
        else:
            raise Bad("device option %r: descriptor-fails or descriptor-bytes=N" % option)
        sc["limits"].append({"umockdev": "the identity is the kernel's copy of the device "
                                         "descriptor: it cannot fail or come short"})
    if sc["devices"] and d["index"] <= sc["devices"][-1]["index"]:
        raise Bad("device indices must ascend")
    if len(sc["devices"]) == C["SCN_MAX_DEVICES"]:
        raise Bad("at most %d devices" % C["SCN_MAX_DEVICES"])
    sc["devices"].append(d)


def d_readiness(sc, words, rest):
    sc["readiness"] = statuses(words)


def d_download(sc, words, rest):
    if len(words) != 1:
        raise Bad("one status")
    sc["download"] = statuses(words)[0]


def d_burn(sc, words, rest):
    sc["burn"] = statuses(words)


def d_request_ms(sc, words, rest):
    if len(words) != 1:
        raise Bad("one number of milliseconds")
    sc["request_ms"] = number(words[0])
    sc["limits"].append(VIRTUAL_CLOCK)


def d_fault(sc, words, rest):
    if len(words) != 4:
        raise Bad("PHASE N STAGE KIND")
    phase = one_of(words[0], PHASES, "phase")
    occurrence = number(words[1], 10, 0xFFFFFFFF, "occurrence")
    if occurrence == 0:
        raise Bad("the first exchange is 1")
    stage = one_of(words[2], STAGES, "stage")
    if words[0] == "bulk" and words[2] != "write":
        raise Bad("bulk has only the stage write")
    kind = one_of(words[3], KINDS, "fault kind")
    if len(sc["faults"]) == C["SCN_MAX_FAULTS"]:
        raise Bad("at most %d faults" % C["SCN_MAX_FAULTS"])
    sc["faults"].append({"phase": phase, "stage": stage, "kind": kind, "occurrence": occurrence})
    sc["limits"].append(FAULT_LIMITS.get(words[3], {}))
    if words[2:] == ["read", "long"]:
        sc["limits"].append({"wine": "the system would copy the extra byte past the reader's buffer"})


def d_service(sc, words, rest):
    if not words:
        raise Bad("STATE then options")
    s = sc["service"]
    s["state"] = one_of(words[0], STATES, "service state")
    sc["limits"].append(SERVICE_LIMITS.get(words[0], {}))
    for option in words[1:]:
        key, _, value = option.partition("=")
        if key == "start":
            s["start"] = one_of(value, STARTS, "start type")
        elif option == "stop=refused":
            s["flags"] |= C["SCN_SERVICE_STOP_REFUSED"]
        elif option == "start-request=refused":
            s["flags"] |= C["SCN_SERVICE_START_REFUSED"]
            sc["limits"].append(SERVICE_LIMITS[option])
        elif key == "hint" and value:
            s["wait_hint"] = number(value)
        elif key == "config-error" and value:
            s["config_error"] = number(value)
            sc["limits"].append(SERVICE_LIMITS[key])
        else:
            raise Bad("service option %r" % option)


def d_image(sc, words, rest):
    if len(words) != 1:
        raise Bad("ok, find, load, lock or empty")
    sc["image"] = one_of(words[0], IMAGES, "image")
    if words[0] != "ok":
        sc["limits"].append({h: "the built executable always carries its image"
                             for h in ("wine", "umockdev")})


def expand_wire(words):
    wire = ""
    for token in words:
        m = re.fullmatch(r"([RDBS])(?:\*(\d+))?", token)
        if not m:
            raise Bad("wire item %r: R, D, B or S, optionally *N" % token)
        wire += m.group(1) * (int(m.group(2)) if m.group(2) else 1)
    if len(wire) > C["SCN_MAX_WIRE"]:
        raise Bad("at most %d items" % C["SCN_MAX_WIRE"])
    return wire


def d_expect_wire(sc, words, rest):
    sc["wire"] = expand_wire(words)
    sc["checks"] |= C["SCN_CHECK_WIRE"]


def d_expect_opened(sc, words, rest):
    sc["opened"] = [number(w, 10, 255, "index") for w in words]
    sc["checks"] |= C["SCN_CHECK_OPENED"]


def service_state(words):
    if words == ["absent"]:
        return {"state": STATES["absent"]}
    if len(words) != 2:
        raise Bad("STATE START, or absent")
    return {"state": one_of(words[0], STATES, "state"), "start": one_of(words[1], STARTS, "start")}


def d_expect_service(sc, words, rest):
    sc["expect_service"] = service_state(words)
    sc["checks"] |= C["SCN_CHECK_SERVICE"]


def d_expect_service_during(sc, words, rest):
    sc["expect_service_during"] = service_state(words)
    sc["checks"] |= C["SCN_CHECK_SERVICE_DURING"]


def d_expect_stderr(sc, words, rest):
    if not rest:
        raise Bad("the text standard error must hold")
    sc["expect_stderr"] = rest
    sc["checks"] |= C["SCN_CHECK_STDERR"]
    sc["limits"].append(LINUX_PROCESS)


def d_elapsed(sc, words, rest):
    if len(words) != 2:
        raise Bad("MIN MAX, seconds")
    try:
        low, high = (int(round(float(w) * 1000)) for w in words)
    except ValueError:
        raise Bad("MIN MAX, seconds")
    if not 0 <= low <= high:
        raise Bad("MIN must not exceed MAX")
    sc["elapsed_min_ms"], sc["elapsed_max_ms"] = low, high
    sc["checks"] |= C["SCN_CHECK_ELAPSED"]
    sc["limits"].append(LINUX_PROCESS)


def d_run_as(sc, words, rest):
    if words != ["nobody"]:
        raise Bad("only nobody")
    sc["run_as_nobody"] = 1
    sc["limits"].append(LINUX_PROCESS)


# name, values, default, meaning, handler. The README's tables are made of
# these rows; the test `scenarios.readme` keeps them the same.
SETUP = [
    ("title", "free text", "", "", d_title),
    ("args", "the command-line arguments, separated by spaces", "none", "", d_args),
    ("lang", "the user's default LANGID, hex (`0404`, `0804`, `0409`); under Wine and umockdev "
     "`0404` runs with `LC_ALL=zh_TW.UTF-8`, `0804` with `zh_CN.UTF-8`, anything else with "
     "`en_US.UTF-8`", "`0409`", "", d_lang),
    ("clock", "the tick counter at the start, hex", "`0`", "fake only: the virtual clock", d_clock),
    ("device", "`INDEX VENDOR PRODUCT` (vendor, product hex; indices ascending), then any of "
     "`descriptor-fails`, `descriptor-bytes=N`", "none attached",
     "a descriptor option: not umockdev", d_device),
    ("readiness", "statuses (decimal) the scanner answers to the readiness query, in order; the "
     "last repeats", "`0`", "never ready: fake only (10 minutes)", d_readiness),
    ("download", "the status answered to the download command", "`0`", "", d_download),
    ("burn", "statuses answered to the burn-status query, in order; the last repeats", "`0`", "",
     d_burn),
    ("request-ms", "virtual milliseconds each request takes", "`0`", "fake only", d_request_ms),
    ("fault", "`PHASE N STAGE KIND`: the Nth exchange of PHASE (`readiness`, `download`, `bulk`, "
     "`burn`) fails at STAGE (`write` or `read`; `bulk` has only `write`) as KIND: `fail` (the "
     "request fails), `short` (one byte fewer reported), `long` (one more), `timeout` "
     "(completion never signalled), `waitfail` (the wait fails), `overlapped` (the completion "
     "query fails), `stall` (the device never completes it); may be given more than once",
     "none", "`fail`, `short`: all; `long`: fake, Wine (write only); `timeout`, `waitfail`, "
     "`overlapped`: fake; `stall`: umockdev", d_fault),
    ("service", "`STATE` then options. STATE: `running`, `stopped`, `paused`, `absent` (not "
     "installed), `denied` (cannot be opened), `no-manager`. Options: "
     "`start=auto|demand|disabled`, `stop=refused`, `start-request=refused`, `hint=MS` (wait "
     "hint), `config-error=N` (the first configuration query fails with error N)",
     "`running start=auto`", "`denied`, `start-request=refused`, `config-error`: fake only; "
     "`no-manager`: not Wine", d_service),
    ("image", "`ok`, or the failing step: `find`, `load`, `lock`, `empty`", "`ok`",
     "not `ok`: fake only", d_image),
    ("run-as", "`nobody`: scanfw runs as that user while the device nodes stay root's",
     "the tester", "umockdev only (as root)", d_run_as),
]
EXPECT = [
    ("expect-wire", "what the scanner that was found received, in order: `R` readiness query, "
     "`D` download command announcing the image's length, `B` one bulk write of the whole image, "
     "`S` burn-status query; every byte as the protocol gives it. `R*3` may stand for `R R R`. "
     "Empty: nothing received. Every other device must receive nothing, with or without it.",
     d_expect_wire),
    ("expect-opened", "the indices of the attached devices that were opened, once each; every "
     "other attached device must never be opened (umockdev: only the scanner is ever opened)",
     d_expect_opened),
    ("expect-service", "the service's state and start type at the end, as `STATE START` "
     "(`running auto`, `stopped demand`, ...) or `absent` (not umockdev: Linux has none)",
     d_expect_service),
    ("expect-service-during-transfer", "the same, at the moment the scanner received the bulk "
     "write", d_expect_service_during),
    ("expect-stderr", "a text that standard error must hold (umockdev only)", d_expect_stderr),
    ("elapsed", "`MIN MAX`: the run's duration in seconds (umockdev only)", d_elapsed),
]
HANDLERS = {row[0]: row[-1] for row in SETUP + EXPECT}
REPEATABLE = {"device", "fault"}


def new_scenario(name):
    return {"name": name, "title": "", "args": [], "lang": 0x0409, "clock": 0, "devices": [],
            "readiness": [0], "download": 0, "burn": [0], "request_ms": 0, "faults": [],
            "service": {"state": STATES["running"], "start": STARTS["auto"], "wait_hint": 0,
                        "flags": 0, "config_error": 0},
            "image": 0, "checks": 0, "wire": "", "opened": [], "expect_service": {},
            "expect_service_during": {}, "expect_stderr": "", "elapsed_min_ms": 0,
            "elapsed_max_ms": 0, "run_as_nobody": 0, "limits": []}


def parse(text, path):
    """The scenario in `text`; Bad("path:line: reason") for the first line
    it refuses."""
    sc = new_scenario(os.path.basename(path)[:-4] if path.endswith(".scn") else path)
    seen = set()
    for number_, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        try:
            word, colon, rest = stripped.partition(":")
            word = word.strip()
            if not colon:
                raise Bad("not a directive (WORD: values)")
            if word not in HANDLERS:
                raise Bad("unknown directive %r" % word)
            if word in seen and word not in REPEATABLE:
                raise Bad("%s given twice" % word)
            seen.add(word)
            rest = rest.strip()
            HANDLERS[word](sc, rest.split(), rest)
        except Bad as e:
            raise Bad("%s:%d: %s" % (path, number_, e))
    try:
        resolve(sc)
    except Bad as e:
        raise Bad("%s: %s" % (path, e))
    return sc


def resolve(sc):
    """What the harnesses expect, and which of them can run the scenario."""
    found = None
    for slot, d in enumerate(sc["devices"]):
        raw = (d["vendor"].to_bytes(2, "little") + d["product"].to_bytes(2, "little"))
        raw = raw[:d["descriptor_bytes"]].ljust(4, b"\0")
        if not d["descriptor_fails"] and (int.from_bytes(raw[:2], "little"),
                                          int.from_bytes(raw[2:], "little")) == TARGET:
            found = slot
            break
    sc["target"] = -1 if found is None else found
    indices = [d["index"] for d in sc["devices"]]
    for index in sc["opened"]:
        if index not in indices:
            raise Bad("expect-opened names %d, which is not attached" % index)
    for d in sc["devices"]:
        d["expect_opened"] = 1 if d["index"] in sc["opened"] else 0
    readiness_faults = [f for f in sc["faults"] if f["phase"] == PHASES["readiness"]]
    if found is not None and sc["readiness"][-1] not in READY and not readiness_faults \
            and sc["image"] == 0:
        sc["limits"].append({h: "the readiness wait runs out its 10 minutes in real time"
                             for h in ("wine", "umockdev")})
    sc["excluded"] = {}
    for limit in sc["limits"]:
        for harness, reason in limit.items():
            sc["excluded"].setdefault(harness, reason)
    sc["harnesses"] = [h for h in HARNESSES if h not in sc["excluded"]]
    if not sc["harnesses"]:
        raise Bad("no harness can run it: " + "; ".join(
            "%s: %s" % kv for kv in sorted(sc["excluded"].items())))


def record(sc):
    args = b"".join(a.encode() + b"\0" for a in sc["args"])
    fields = dict(sc)
    fields.update({
        "magic": C["SCN_MAGIC"], "version": C["SCN_VERSION"], "size": RECORD_SIZE,
        "harnesses": sum(1 << HARNESSES.index(h) for h in sc["harnesses"]),
        "readiness_count": len(sc["readiness"]), "burn_count": len(sc["burn"]),
        "readiness": sc["readiness"] + [0] * (C["SCN_MAX_ANSWERS"] - len(sc["readiness"])),
        "burn": sc["burn"] + [0] * (C["SCN_MAX_ANSWERS"] - len(sc["burn"])),
        "device_count": len(sc["devices"]), "fault_count": len(sc["faults"]),
        "devices": sc["devices"], "faults": sc["faults"], "wire_length": len(sc["wire"]),
        "argc": len(sc["args"]), "args": args})
    return pack("scn_record", fields)


def compile_file(path):
    with open(path, encoding="utf-8") as f:
        return parse(f.read(), path)


# ---- README ----

def readme_tables():
    rows = ["| directive | values | default | harnesses |", "|---|---|---|---|"]
    for name, values, default, harnesses, _ in SETUP:
        rows.append("| `%s:` | %s | %s | %s |" % (name, values, default, harnesses or "all"))
    rows += ["", "| directive | meaning |", "|---|---|"]
    rows += ["| `%s:` | %s |" % (name, meaning) for name, meaning, _ in EXPECT]
    return "\n".join(rows) + "\n"


BEGIN = "<!-- directives: made by tests/sim/scncc.py readme --write -->\n"
END = "<!-- end of directives -->\n"


def readme(path, write):
    text = open(path, encoding="utf-8").read()
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        print("%s: no directive tables between the markers" % path)
        return 1
    wanted = text[:start + len(BEGIN)] + readme_tables() + text[end:]
    if wanted == text:
        return 0
    if write:
        open(path, "w", encoding="utf-8").write(wanted)
        return 0
    print("%s: the directive tables differ from the compiler's; run\n  %s readme %s --write"
          % (path, sys.argv[0], path))
    return 1


# ---- plan ----

def plan(directory, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    lists = {h: [] for h in HARNESSES}
    excluded = []
    failed = False
    for name in sorted(f[:-4] for f in os.listdir(directory) if f.endswith(".scn")):
        try:
            sc = compile_file(os.path.join(directory, name + ".scn"))
        except Bad as e:
            print(e, file=sys.stderr)
            failed = True
            continue
        for h in HARNESSES:
            if h in sc["harnesses"]:
                lists[h].append(name)
            else:
                excluded.append("%-9s %-32s %s" % (h, name, sc["excluded"][h]))
    if failed:
        return 1
    with open(os.path.join(out_dir, "plan.cmake"), "w") as f:
        f.write("# Made by scncc.py plan: the scenarios each harness runs.\n")
        for h in HARNESSES:
            f.write("set(SCANFW_SCENARIOS_%s %s)\n" % (h.upper(), " ".join(lists[h])))
    for h in HARNESSES:
        with open(os.path.join(out_dir, h + ".list"), "w") as f:
            f.write("".join(n + "\n" for n in lists[h]))
    with open(os.path.join(out_dir, "excluded.txt"), "w") as f:
        f.write("".join(line + "\n" for line in excluded))
    return 0


def main(argv):
    if len(argv) == 4 and argv[0] == "compile" and argv[2] == "-o":
        try:
            data = record(compile_file(argv[1]))
        except (Bad, OSError) as e:
            print(e, file=sys.stderr)
            return 1
        with open(argv[3] + ".new", "wb") as f:
            f.write(data)
        os.replace(argv[3] + ".new", argv[3])
        return 0
    if len(argv) == 3 and argv[0] == "plan":
        return plan(argv[1], argv[2])
    if len(argv) in (2, 3) and argv[0] == "readme":
        return readme(argv[1], argv[2:] == ["--write"])
    if argv == ["selftest"]:
        import scncc_test
        return scncc_test.main()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
