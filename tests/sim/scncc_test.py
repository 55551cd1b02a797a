"""The scenario compiler's own checks (scncc.py selftest): what it refuses
and why, what it resolves, and which harness it lets run what."""
import struct

import scncc

DEVICE = "device: 0 3a7c 4e21\n"

# text, the message it must be refused with
REFUSED = [
    ("wine: no\n", "t.scn:1: unknown directive 'wine'"),
    ("title x\n", "t.scn:1: not a directive"),
    ("lang: 0404 0409\n", "t.scn:1: one LANGID"),
    ("lang: 10000\n", "t.scn:1: LANGID 10000 is out of range"),
    ("# c\n\ndevice: 0 3a7c\n", "t.scn:3: INDEX VENDOR PRODUCT"),
    ("device: 256 3a7c 4e21\n", "index 256 is out of range"),
    ("device: 0 3a7c 4e21 descriptor-bytes=9\n", "descriptor-bytes 9 is out of range"),
    ("device: 0 3a7c 4e21 fast\n", "device option 'fast'"),
    ("device: 1 3a7c 4e21\ndevice: 0 3a7c 4e21\n", "t.scn:2: device indices must ascend"),
    ("readiness:\n", "give 1 to 64 statuses"),
    ("readiness: 65536\n", "status 65536 is out of range"),
    ("burn: x\n", "'x' is not a decimal number"),
    ("download: 0 0\n", "one status"),
    ("burn-time: 1 2\n", "one number of ms"),
    ("fault: bulk 1 read fail\n", "bulk has only the stage write"),
    ("fault: burn 0 read fail\n", "the first exchange is 1"),
    ("fault: burn 1 read slow\n", "fault kind 'slow'"),
    ("fault: sleep 1 read fail\n", "phase 'sleep'"),
    ("fault: burn 1 read\n", "PHASE N STAGE KIND"),
    ("service: asleep\n", "service state 'asleep'"),
    ("service: running start=never\n", "start type 'never'"),
    ("service: running hint=\n", "service option 'hint='"),
    ("image: gone\n", "image 'gone'"),
    ("expect-wire: R X\n", "wire item 'X'"),
    ("expect-wire: R*x\n", "wire item 'R*x'"),
    ("expect-wire: R*2049\n", "at most 2048 items"),
    (DEVICE + "expect-opened: 1\n", "expect-opened names 1, which is not attached"),
    ("expect-service: running\n", "STATE START, or absent"),
    ("elapsed: 5 1\n", "MIN must not exceed MAX"),
    ("elapsed: 0 5 from-fault\n", "from-fault without a fault"),
    ("run-as: root\n", "only nobody"),
    ("run-as: nobody root\n", "only nobody"),
    ("fault-offset: 10\n", "fault-offset: without a bulk fault"),
    ("usbfs-limit: 1 maybe\n", "refusals 'maybe'"),
    ("usbfs-limit:\n", "BYTES, then optionally"),
    ("expect-exit: 256\n", "exit status 256 is out of range"),
    ("expect-exit:\n", "one exit status"),
    ("expect-service-calls: some\n", "only none"),
    ("interrupt: SIGKILL burn 1\n", "signal 'SIGKILL'"),
    ("interrupt: SIGINT burn 0\n", "the first request is 1"),
    ("interrupt: SIGINT burn\n", "SIGNAL PHASE N"),
    ("title: a\ntitle: b\n", "t.scn:2: title given twice"),
    ("clock: 1\nrun-as: nobody\n", "no harness can run it"),
    (DEVICE + "burn: 7\n", "fake: the burn never ends, and while it polls only request-ms "
                           "moves the virtual clock; umockdev: the burn wait runs out its 10"),
]

# text, what it resolves to (keys of the compiled scenario)
RESOLVED = [
    ("", {"target": -1, "wire": "", "checks": 0, "readiness": [0], "burn": [0]}),
    (DEVICE + "expect-wire: R*3 D B S*2\n", {"target": 0, "wire": "RRRDBSS", "checks": 1}),
    ("expect-wire:\n", {"wire": "", "checks": 1}),
    ("device: 0 04a9 1905\ndevice: 2 3a7c 4e21\ndevice: 3 3a7c 4e21\nexpect-opened: 0 2\n",
     {"target": 1, "opened": [0, 2]}),
    ("device: 0 3a7c 4e21 descriptor-fails\ndevice: 1 3a7c 4e21\n", {"target": 1}),
    ("device: 0 3a7c 4e21 descriptor-bytes=3\n", {"target": -1}),
    ("device: 0 3a7c 4e21 descriptor-bytes=4\n", {"target": 0}),
    ("args: -b 5\nlang: 0404\n", {"args": ["-b", "5"], "lang": 0x404}),
    ("expect-service: absent\n", {"expect_service": {"state": 4}}),
    ("", {"bulk_fault_offset": 0xFFFFFFFF, "usbfs_limit": 16777216}),
    ("fault: bulk 1 write gone\nfault-offset: 99\nusbfs-limit: 0 never-refused\n",
     {"bulk_fault_offset": 99, "usbfs_limit": 0, "usbfs_refusals": 2}),
    ("expect-exit: 5\nexpect-service-calls: none\n", {"expect_exit": 5, "checks": 64}),
    ("expect-service-during-transfer: stopped disabled\n",
     {"expect_service_during": {"state": 2, "start": 4}}),
    ("service: paused start=demand stop=refused hint=300\n",
     {"service": {"state": 3, "start": 3, "wait_hint": 300, "flags": 1}}),
    ("elapsed: 4.9 9\n", {"elapsed_min_ms": 4900, "elapsed_max_ms": 9000, "checks": 32}),
    ("fault: bulk 1 write fail\nelapsed: 0 5 from-fault\n",
     {"elapsed_max_ms": 5000, "elapsed_from_fault": 1}),
    ("burn-time: 2500\n", {"burn_time_ms": 2500, "burn": [0]}),
    ("interrupt: SIGTERM bulk 1\n",
     {"interrupt_signal": 15, "interrupt_phase": 3, "interrupt_occurrence": 1}),
]

# text, the harnesses that run it, and a word of the reason each other one gets
HARNESS_CASES = [
    (DEVICE, ("fake", "wine", "umockdev"), {}),
    (DEVICE + "clock: FFFFF060\n", ("fake",), {"wine": "virtual clock", "umockdev": "virtual"}),
    (DEVICE + "request-ms: 1\n", ("fake",), {"wine": "virtual clock"}),
    (DEVICE + "readiness: 5\n", ("fake",), {"wine": "10 minutes", "umockdev": "10 minutes"}),
    (DEVICE + "readiness: 5 6\n", ("fake", "wine", "umockdev"), {}),
    (DEVICE + "readiness: 5\nfault: readiness 3 read fail\n", ("fake", "wine", "umockdev"), {}),
    ("readiness: 5\n", ("fake", "wine", "umockdev"), {}),
    (DEVICE + "fault: burn 1 read timeout\n", ("fake",), {"wine": "withhold"}),
    (DEVICE + "fault: burn 1 read waitfail\n", ("fake",), {"wine": "wait"}),
    (DEVICE + "fault: bulk 1 write overlapped\n", ("fake",), {"wine": "completion query"}),
    (DEVICE + "fault: bulk 1 write long\n", ("fake", "wine"), {"umockdev": "usbfs"}),
    (DEVICE + "fault: burn 1 read long\n", ("fake",), {"wine": "past the reader's buffer"}),
    (DEVICE + "fault: burn 1 read stall\n", ("umockdev",), {"fake": "completes", "wine": "completes"}),
    (DEVICE + "fault: download 1 write fail\nfault: burn 1 read short\n",
     ("fake", "wine", "umockdev"), {}),
    ("device: 0 3a7c 4e21 descriptor-bytes=2\n", ("fake", "wine"), {"umockdev": "kernel's copy"}),
    (DEVICE + "service: denied\n", ("fake",), {"wine": "rights", "umockdev": "no service manager"}),
    (DEVICE + "service: no-manager\n", ("fake", "umockdev"), {"wine": "always has"}),
    (DEVICE + "service: running config-error=5\n", ("fake",), {"wine": "configuration query"}),
    (DEVICE + "service: running status-fails=3\n", ("fake",), {"wine": "status query"}),
    (DEVICE + "service: running start-request=refused\n", ("fake",), {"wine": "start request"}),
    (DEVICE + "service: stopped start=demand stop=refused hint=9\n", ("fake", "wine", "umockdev"), {}),
    (DEVICE + "image: lock\n", ("fake",), {"wine": "carries its image"}),
    (DEVICE + "run-as: nobody\nexpect-stderr: rules\n", ("umockdev",), {"fake": "process"}),
    (DEVICE + "elapsed: 1 2\n", ("umockdev",), {"wine": "process"}),
    (DEVICE + "burn: 0 7\nrequest-ms: 9\n", ("fake",), {"umockdev": "virtual clock"}),
    (DEVICE + "burn: 7\nargs: --check\n", ("fake", "wine", "umockdev"), {}),
    (DEVICE + "burn-time: 20000\n", ("wine", "umockdev"), {"fake": "request-ms"}),
    (DEVICE + "fault: bulk 1 write gone\n", ("umockdev",), {"fake": "unplugged", "wine": "unplugged"}),
    ("device: 0 3a7c 4e21 reenumerate\n", ("umockdev",), {"fake": "come back", "wine": "come back"}),
    (DEVICE + "fault: bulk 1 write short\nfault-offset: 5\n", ("umockdev",), {"fake": "offset"}),
    (DEVICE + "usbfs-limit: 1048576 refused\n", ("umockdev",), {"wine": "usbfs"}),
    (DEVICE + "expect-exit: 4\nexpect-service-calls: none\n", ("fake", "wine", "umockdev"), {}),
    (DEVICE + "readiness: 5\ninterrupt: SIGINT readiness 1\n", ("umockdev",),
     {"fake": "console control events", "wine": "timed"}),
]


def main():
    problems = []
    for text, message in REFUSED:
        try:
            scncc.parse(text, "t.scn")
            problems.append("accepted: %r" % text)
        except scncc.Bad as e:
            if message not in str(e):
                problems.append("%r refused as %r, not %r" % (text, str(e), message))
    for text, want in RESOLVED:
        sc = scncc.parse(text, "t.scn")
        for key, value in want.items():
            got = sc[key]
            if got != value and not (isinstance(value, dict) and
                                     all(got.get(k) == v for k, v in value.items())):
                problems.append("%r: %s is %r, not %r" % (text, key, got, value))
    for text, runs, reasons in HARNESS_CASES:
        sc = scncc.parse(text, "t.scn")
        if tuple(sc["harnesses"]) != runs:
            problems.append("%r runs on %s, not %s" % (text, sc["harnesses"], list(runs)))
        for harness, word in reasons.items():
            if word not in sc["excluded"].get(harness, ""):
                problems.append("%r: %s's reason %r lacks %r"
                                % (text, harness, sc["excluded"].get(harness), word))
    # The record: its size is the header's, each field where the header puts it.
    sc = scncc.parse("lang: 0404\n" + DEVICE + "readiness: 5 0\nexpect-wire: R*2\n"
                     "args: -a\n", "t.scn")
    data = scncc.record(sc)
    fields = {name: offset for name, _, _, offset in scncc.STRUCTS["scn_record"][0]}
    if len(data) != scncc.RECORD_SIZE or scncc.RECORD_SIZE % 4:
        problems.append("record of %d bytes" % len(data))
    expect = [("magic", "<I", scncc.C["SCN_MAGIC"]), ("lang", "<I", 0x404),
              ("readiness_count", "<I", 2), ("readiness", "<2H", (5, 0)),
              ("target", "<i", 0), ("wire_length", "<I", 2), ("argc", "<I", 1),
              ("harnesses", "<I", 7), ("devices", "<3H", (0, 0x3A7C, 0x4E21)),
              ("wire", "3s", b"RR\0"), ("args", "3s", b"-a\0")]
    for name, fmt, value in expect:
        got = struct.unpack_from(fmt, data, fields[name])
        if got != (value if isinstance(value, tuple) else (value,)):
            problems.append("record field %s reads %r, not %r" % (name, got, value))
    for p in problems:
        print("FAIL " + p)
    print("%d cases, %d problems" % (len(REFUSED) + len(RESOLVED) + len(HARNESS_CASES) + 1,
                                     len(problems)))
    return 1 if problems else 0
