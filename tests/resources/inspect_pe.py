#!/usr/bin/env python3
"""Inspects the built scanfw.exe with pefile: the headers, the image as
BINARY/119 in language 0x0404, the manifest, the version record, the
imports and the size of our own code."""
import re
import struct
import sys
import xml.etree.ElementTree as ET

from checks import check, equal, expect, load_pe, parse_args, read, resources

RT_VERSION, RT_MANIFEST = 16, 24

MS, LS = 3, 53 << 16  # 0.3.53.0
# The words of the version record's fixed part: (check, first word, values)
FIXED = [
    ("signature", 0, [0xFEEF04BD]),
    ("structure version 1.0", 1, [0x00010000]),
    ("file version 0.3.53.0", 2, [MS, LS]),
    ("product version 0.3.53.0", 4, [MS, LS]),
    ("flags mask 0x3F", 6, [0x3F]),
    ("no flag set", 7, [0]),
    ("VOS_NT_WINDOWS32", 8, [0x00040004]),
    ("VFT_APP", 9, [1]),
    ("no subtype", 10, [0]),
    ("no file date", 11, [0, 0]),
]
PRODUCT = "Scanner Firmware Updater"
STRINGS = [
    ("CompanyName", "scanfw"),
    ("FileDescription", PRODUCT),
    ("FileVersion", "0.3.53.0"),
    ("InternalName", PRODUCT),
    ("LegalCopyright", "Copyright (C) the scanfw authors"),
    ("OriginalFilename", PRODUCT),
    ("ProductName", PRODUCT),
    ("ProductVersion", "0.3.53.0"),
]

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll",
               "user32.dll", "ucrtbase.dll"}
RUNTIME_DLL = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread|libssp)",
                         re.IGNORECASE)

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
WINDOWS_SETTINGS = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"


# --machine: the PE header's machine, the optional header's magic.
MACHINES = {"i386": (0x14C, 0x10B, "PE32 (32-bit)"),
            "x86-64": (0x8664, 0x20B, "PE32+ (64-bit)")}


def only_entry(tree, rtype, name, lang, what):
    """The (rva, size) of the single resource of that type, checked to be
    the only name and language under it."""
    names = tree.get(rtype, {})
    if not equal(list(names), [name], "%s: the only entry under its type is %r" % (what, name)):
        return None
    langs = names[name]
    if not equal(list(langs), [lang], "%s: the only language is 0x%04x" % (what, lang)):
        return None
    return langs[lang]


# VS_VERSIONINFO and its children: wLength, wValueLength, wType, a UTF-16
# key, the value and the children, each part aligned to 32 bits.
def align4(n):
    return (n + 3) & ~3


def parse_block(data, at):
    length, value_length, vtype = struct.unpack_from("<3H", data, at)
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    pos = align4(key_end + 2)
    value_end = pos + (value_length * 2 if vtype == 1 else value_length)
    block = {"length": length, "type": vtype, "key": data[at + 6:key_end].decode("utf-16-le"),
             "value": data[pos:value_end], "children": []}
    pos = align4(value_end)
    while pos < at + length:
        block["children"].append(parse_block(data, pos))
        pos = align4(pos + block["children"][-1]["length"])
    return block


def check_version(data):
    root = parse_block(data, 0)
    equal(root["key"], "VS_VERSION_INFO", "version: root key")
    equal(root["length"], len(data), "version: record fills the resource")
    fixed = root["value"]
    if not equal(len(fixed), 52, "version: fixed part present"):
        return
    words = struct.unpack("<13I", fixed)
    for what, at, want in FIXED:
        got = list(words[at:at + len(want)])
        expect(got == want, "version: " + what, " ".join("%08x" % w for w in got))

    equal([c["key"] for c in root["children"]], ["StringFileInfo", "VarFileInfo"],
          "version: StringFileInfo then VarFileInfo")
    for child in root["children"]:
        if child["key"] == "StringFileInfo":
            tables = child["children"]
            if not equal([t["key"] for t in tables], ["040404b0"],
                         "version: one string table, 040404b0"):
                continue
            strings = []
            for s in tables[0]["children"]:
                text = s["value"].decode("utf-16-le")
                expect(s["type"] == 1 and text.endswith("\0"),
                       "version: %s is NUL-terminated text" % s["key"],
                       repr(text))
                strings.append((s["key"], text.rstrip("\0")))
            equal(strings, STRINGS, "version: the eight standard keys in order, our values")
        elif child["key"] == "VarFileInfo":
            vars_ = child["children"]
            if equal([v["key"] for v in vars_], ["Translation"], "version: one Translation entry"):
                equal(list(struct.iter_unpack("<HH", vars_[0]["value"])), [(0x0404, 1200)],
                      "version: translation 0x0404, code page 1200")


def check_manifest(data):
    expect(not data.startswith(b"\xef\xbb\xbf") and
           data.lstrip().startswith(b"<?xml"),
           "manifest: starts with the XML declaration", data[:60])
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        expect(False, "manifest: UTF-8 text", e)
        return
    expect(re.search(r'encoding="UTF-8"', text, re.IGNORECASE) is not None,
           "manifest: declares UTF-8")
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        expect(False, "manifest: well-formed XML", e)
        return
    equal((root.tag, root.get("manifestVersion")), (ASM_V1 + "assembly", "1.0"),
          "manifest: an assembly manifest of version 1.0")
    levels = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    if equal(len(levels), 1, "manifest: one requestedExecutionLevel"):
        level = levels[0]
        expect(level.tag == ASM_V3 + "requestedExecutionLevel" or
               level.tag.startswith("{urn:schemas-microsoft-com:asm.v2}"),
               "manifest: execution level in the trust namespace", level.tag)
        equal(level.get("level"), "asInvoker", "manifest: level asInvoker")
        equal(level.get("uiAccess"), "false", "manifest: uiAccess false")
    dpi = [e for e in root.iter() if e.tag == WINDOWS_SETTINGS + "dpiAware"]
    if equal(len(dpi), 1, "manifest: one dpiAware setting"):
        equal((dpi[0].text or "").strip(), "true", "manifest: dpiAware true")


def check_imports(pe):
    dlls = [entry.dll.decode("ascii", "replace").lower()
            for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT")
            for entry in getattr(pe, attr, [])]
    print("  imports: %s" % ", ".join(sorted(set(dlls))))
    expect("kernel32.dll" in dlls, "imports: KERNEL32")
    equal([d for d in dlls if RUNTIME_DLL.match(d)], [],
          "imports: no C++, GCC or threading runtime DLL")
    equal([d for d in dlls if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-")], [],
          "imports: system DLLs only")


def main():
    # The code is some 320 KiB, the statically linked threads of --all and of
    # the record's writer (winpthreads) included; the bound catches a
    # runtime or a table brought in by mistake, not a feature.
    args = parse_args(["exe", "image"], code_limit_kib={"type": int, "default": 384},
                      machine={"choices": sorted(MACHINES), "default": "i386"})
    image = read(args.image)
    exe_size = len(read(args.exe))
    pe = load_pe(args.exe, "IMPORT", "DELAY_IMPORT", "RESOURCE")

    machine, magic, kind = MACHINES[args.machine]
    equal(pe.FILE_HEADER.Machine, machine, "PE: " + args.machine)
    equal(pe.OPTIONAL_HEADER.Magic, magic, "PE: " + kind)
    expect(pe.FILE_HEADER.Characteristics & 0x2 and not pe.is_dll(),  # EXECUTABLE_IMAGE
           "PE: an executable, not a DLL")
    equal(pe.OPTIONAL_HEADER.Subsystem, 3, "PE: console subsystem")

    tree = resources(pe)
    print("  resource types: %r" % list(tree))
    equal([t for t in tree if isinstance(t, str) and t.upper() == "BINARY"], ["BINARY"],
          'resources: one type named "BINARY" (a string)')
    found = only_entry(tree, "BINARY", 119, 0x0404, "image")
    if found:
        equal(found[1], len(image), "image: %d bytes, the image file's size" % len(image))
        expect(pe.get_data(*found) == image, "image: the bytes are the image file's, unchanged")
    found = only_entry(tree, RT_MANIFEST, 1, 0x0409, "manifest")
    if found:
        check_manifest(pe.get_data(*found))
    found = only_entry(tree, RT_VERSION, 1, 0x0404, "version")
    if found:
        check_version(pe.get_data(*found))
    equal(set(tree), {"BINARY", RT_MANIFEST, RT_VERSION},
          "resources: the image, the manifest and the version record only")

    check_imports(pe)

    code = exe_size - len(image)
    print("  scanfw.exe: %d bytes; without the image %d bytes (%.1f KiB)"
          % (exe_size, code, code / 1024.0))
    expect(code < args.code_limit_kib * 1024,
           "size: the executable without the image is under %d KiB"
           % args.code_limit_kib, "%d bytes" % code)

    return check.report()


if __name__ == "__main__":
    sys.exit(main())
