#!/usr/bin/env python3
"""Runs image_probe (natively, or under Wine in two languages, since the
lookup must not depend on the user's) and checks that it reaches the image
it carries, in place; under Wine a probe without the resource and one with
an empty resource print their message and nothing else. On Linux walking
the image must not grow the anonymous memory (no copy on the heap)."""
import os
import sys
import zlib

from checks import check, equal, expect, native_or_wine, parse_args, read, run_in_locale

LOCALES = [("en_US.UTF-8", "0409", 0), ("zh_TW.UTF-8", "0404", 1)]

# (the probe's option, what it lacks, the catalogue texts it must print in
# each language)
MESSAGES = [
    ("bare_probe", "no image resource",
     ["Loading firmware (find resource) error!!\n",
      "加載固件（查找資源）錯誤!!\n"]),
    ("empty_probe", "empty image resource",
     ["Loading firmware (resource length is zero) error!!\n",
      "加載固件（資源長度為零）錯誤!!\n"]),
]


def parse(stdout, wine):
    text = stdout.decode("latin-1")
    if wine:
        if "\n" in text.replace("\r\n", ""):
            raise ValueError("a bare line feed in Windows output")
        text = text.replace("\r\n", "\n")
    values = {}
    for line in text.splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            values.setdefault(key, []).append(value)
    return values


def placement(values, exe):
    """"1" or "0": whether the view lies in mappings of the executable file
    itself, and whether one of them is writable (the bytes not the file's)."""
    try:
        want = int(values["Data"][-1], 16)
        last = want + int(values["Length"][-1])
    except (KeyError, ValueError):
        return "0", "?"
    writable = False
    for line in values.get("Map", []):
        fields = line.split(None, 5)
        start, end = (int(x, 16) for x in fields[0].split("-"))
        if want >= last or not start <= want < end:
            continue
        if (fields[5].rstrip() if len(fields) > 5 else "") != exe:
            break  # the rest of the view is elsewhere
        writable |= "w" in fields[1]
        want = end
    return str(int(want >= last)), str(int(writable))


def kib(values, when, key):
    """A figure of the probe's /proc/self/status, in KiB."""
    for line in values.get("Status" + when, []):
        name, _, figure = line.partition(":")
        if name == key:
            return int(figure.split()[0])
    raise KeyError(key + when)


def check_carrier(command, env, wine, size, crc, locales):
    for locale, lang_id, _ in locales:
        status, stdout = run_in_locale(command, env, locale)
        try:
            values = parse(stdout, wine)
        except ValueError as e:
            expect(False, "%s: output is a Windows text stream" % locale, str(e))
            continue
        shown = stdout.decode("latin-1")[:600]
        last = {key: value[-1] for key, value in values.items()}
        if not wine:
            last["InImage"], last["Writable"] = placement(values,
                                                          os.path.realpath(command[-1]))
        equal(status, 0, "%s: exit status 0" % locale)
        wanted = [("LangId", lang_id, "the program sees language %s" % lang_id),
                  ("Length", str(size), "Length equals the image file's %d bytes" % size),
                  ("CRC32", crc, "the bytes are the image file's (CRC-32 %s)" % crc),
                  ("InImage", "1", "Data lies inside the executable's mapped image")]
        for key, want, what in wanted[0 if lang_id else 1:]:
            expect(last.get(key) == want, "%s: %s" % (locale, what), shown)
        if not wine:
            if last["InImage"] == "1":
                expect(last["Writable"] == "0", "the mapping holding the image is read-only", shown)
            report_memory(values, size, shown)


def report_memory(values, size, shown):
    try:
        anon_before = kib(values, "Before", "RssAnon")
        anon_after = kib(values, "After", "RssAnon")
        file_after = kib(values, "After", "RssFile")
        peak = kib(values, "After", "VmHWM")
    except (KeyError, ValueError, IndexError):
        expect(False, "memory figures reported", shown)
        return
    image_kib = size // 1024
    print("  image %d KiB; peak resident %d KiB; anonymous %d -> %d KiB; "
          "file-backed %d KiB" % (image_kib, peak, anon_before, anon_after,
                                  file_after))
    # A copy of the image would show as anonymous memory of its size; allow
    # a quarter of it for the sanitizers' own bookkeeping.
    expect(anon_after - anon_before < max(image_kib // 4, 1024),
           "walking the image adds no anonymous memory of its size",
           "anonymous memory grew by %d KiB" % (anon_after - anon_before))


def check_message(what, command, env, wine, texts):
    for locale, _, language in LOCALES:
        status, stdout = run_in_locale(command, env, locale)
        want = texts[language].encode("cp950") + b"\n"
        if wine:
            want = want.replace(b"\n", b"\r\n")
        expect(status == 0 and stdout == want, "%s, %s: only its message" % (what, locale),
               "status %d\nexpected %r\ngot      %r" % (status, want, stdout[:300]))


def main():
    args = parse_args(["probe", "image"], wine=True,
                      bare_probe={"help": "the probe without resources"},
                      empty_probe={"help": "the probe with an empty image"})
    image = read(args.image)
    with native_or_wine(args, "resources", args.probe) as (env, wrap):
        locales = LOCALES if args.wine else [("native", "", 0)]
        check_carrier(wrap + [args.probe], env, args.wine, len(image),
                      "%08x" % zlib.crc32(image), locales)
        for option, what, texts in MESSAGES:
            if getattr(args, option):
                check_message(what, wrap + [getattr(args, option)], env, args.wine, texts)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
