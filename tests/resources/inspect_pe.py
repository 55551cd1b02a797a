#!/usr/bin/env python3
"""Inspects the built scanfw.exe with pefile: the headers, the image as
BINARY/119 in language 0x0404, the manifest, the version record, the
imports and the size of our own code."""
import argparse
import re
import struct
import sys
import xml.etree.ElementTree as ET

from checks import Check, import_pefile

pefile = import_pefile()

RT_VERSION = 16
RT_MANIFEST = 24
IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
SUBSYSTEM_CONSOLE = 3
IMAGE_FILE_EXECUTABLE_IMAGE = 0x2

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

check = Check()
expect = check.expect


def entry_key(entry):
    """A resource directory entry's name: the string, or the integer id."""
    if entry.name is not None:
        return str(entry.name)
    return entry.id


def resources(pe):
    """{type: {name: {language: (rva, size)}}} for every resource."""
    tree = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return tree
    for t in root.entries:
        names = tree.setdefault(entry_key(t), {})
        for n in t.directory.entries:
            langs = names.setdefault(entry_key(n), {})
            for lang in n.directory.entries:
                langs[lang.id] = (lang.data.struct.OffsetToData,
                                  lang.data.struct.Size)
    return tree


def only_entry(tree, rtype, name, lang, what):
    """The (rva, size) of the single resource of that type, checked to be
    the only name and language under it."""
    names = tree.get(rtype, {})
    if not expect(list(names) == [name],
                  "%s: the only entry under its type is %r" % (what, name),
                  "names under type %r: %r" % (rtype, list(names))):
        return None
    langs = names[name]
    if not expect(list(langs) == [lang],
                  "%s: the only language is 0x%04x" % (what, lang),
                  "languages: %s" % [hex(x) for x in langs]):
        return None
    return langs[lang]


# VS_VERSIONINFO and its children: wLength, wValueLength, wType, a UTF-16
# key, the value and the children, each part aligned to 32 bits.
def align4(n):
    return (n + 3) & ~3


def parse_block(data, at):
    length, value_length, vtype = struct.unpack_from("<3H", data, at)
    pos = at + 6
    key_end = pos
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos:key_end].decode("utf-16-le")
    pos = align4(key_end + 2)
    value_bytes = value_length * 2 if vtype == 1 else value_length
    value = data[pos:pos + value_bytes]
    pos = align4(pos + value_bytes)
    children = []
    end = at + length
    while pos < end:
        child = parse_block(data, pos)
        children.append(child)
        pos = align4(pos + child["length"])
    return {"length": length, "type": vtype, "key": key, "value": value,
            "children": children}


def check_version(data):
    root = parse_block(data, 0)
    expect(root["key"] == "VS_VERSION_INFO", "version: root key",
           root["key"])
    expect(root["length"] == len(data), "version: record fills the resource",
           "%d of %d bytes" % (root["length"], len(data)))
    fixed = root["value"]
    if not expect(len(fixed) == 52, "version: fixed part present",
                  "%d bytes" % len(fixed)):
        return
    words = struct.unpack("<13I", fixed)
    for what, at, want in FIXED:
        got = list(words[at:at + len(want)])
        expect(got == want, "version: " + what, " ".join("%08x" % w for w in got))

    children = [c["key"] for c in root["children"]]
    expect(children == ["StringFileInfo", "VarFileInfo"],
           "version: StringFileInfo then VarFileInfo", children)
    for child in root["children"]:
        if child["key"] == "StringFileInfo":
            tables = [t["key"] for t in child["children"]]
            if not expect(tables == ["040404b0"],
                          "version: one string table, 040404b0", tables):
                continue
            strings = []
            for s in child["children"][0]["children"]:
                text = s["value"].decode("utf-16-le")
                expect(s["type"] == 1 and text.endswith("\0"),
                       "version: %s is NUL-terminated text" % s["key"],
                       repr(text))
                strings.append((s["key"], text.rstrip("\0")))
            expect(strings == STRINGS,
                   "version: the eight standard keys in order, our values",
                   "got %r" % strings)
        elif child["key"] == "VarFileInfo":
            vars_ = child["children"]
            ok = expect([v["key"] for v in vars_] == ["Translation"],
                        "version: one Translation entry",
                        [v["key"] for v in vars_])
            if ok:
                pairs = list(struct.iter_unpack("<HH", vars_[0]["value"]))
                expect(pairs == [(0x0404, 1200)],
                       "version: translation 0x0404, code page 1200",
                       [(hex(a), b) for a, b in pairs])


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
    expect(root.tag == ASM_V1 + "assembly" and
           root.get("manifestVersion") == "1.0",
           "manifest: an assembly manifest of version 1.0",
           "%s %r" % (root.tag, root.attrib))
    levels = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    if expect(len(levels) == 1, "manifest: one requestedExecutionLevel",
              len(levels)):
        level = levels[0]
        expect(level.tag == ASM_V3 + "requestedExecutionLevel" or
               level.tag.startswith("{urn:schemas-microsoft-com:asm.v2}"),
               "manifest: execution level in the trust namespace", level.tag)
        expect(level.get("level") == "asInvoker", "manifest: level asInvoker",
               level.get("level"))
        expect(level.get("uiAccess") == "false", "manifest: uiAccess false",
               level.get("uiAccess"))
    dpi = [e for e in root.iter() if e.tag == WINDOWS_SETTINGS + "dpiAware"]
    if expect(len(dpi) == 1, "manifest: one dpiAware setting", len(dpi)):
        expect((dpi[0].text or "").strip() == "true",
               "manifest: dpiAware true", dpi[0].text)


def check_imports(pe):
    dlls = []
    for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attr, []):
            dlls.append(entry.dll.decode("ascii", "replace").lower())
    print("  imports: %s" % ", ".join(sorted(set(dlls))))
    expect("kernel32.dll" in dlls, "imports: KERNEL32")
    runtime = [d for d in dlls if RUNTIME_DLL.match(d)]
    expect(not runtime, "imports: no C++, GCC or threading runtime DLL",
           runtime)
    other = [d for d in dlls if d not in SYSTEM_DLLS
             and not d.startswith("api-ms-win-")]
    expect(not other, "imports: system DLLs only", other)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--code-limit-kib", type=int, default=300)
    args = parser.parse_args()
    with open(args.image, "rb") as f:
        image = f.read()
    with open(args.exe, "rb") as f:
        exe_size = len(f.read())

    pe = pefile.PE(args.exe, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])

    expect(pe.FILE_HEADER.Machine == IMAGE_FILE_MACHINE_I386, "PE: i386",
           hex(pe.FILE_HEADER.Machine))
    expect(pe.OPTIONAL_HEADER.Magic == PE32_MAGIC, "PE: PE32 (32-bit)",
           hex(pe.OPTIONAL_HEADER.Magic))
    expect(pe.FILE_HEADER.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE and
           not pe.is_dll(), "PE: an executable, not a DLL")
    expect(pe.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_CONSOLE,
           "PE: console subsystem", pe.OPTIONAL_HEADER.Subsystem)

    tree = resources(pe)
    print("  resource types: %r" % list(tree))
    expect([t for t in tree if isinstance(t, str) and t.upper() == "BINARY"]
           == ["BINARY"], 'resources: one type named "BINARY" (a string)',
           list(tree))
    found = only_entry(tree, "BINARY", 119, 0x0404, "image")
    if found:
        rva, size = found
        expect(size == len(image), "image: %d bytes, the image file's size"
               % len(image), size)
        expect(pe.get_data(rva, size) == image,
               "image: the bytes are the image file's, unchanged")
    found = only_entry(tree, RT_MANIFEST, 1, 0x0409, "manifest")
    if found:
        check_manifest(pe.get_data(*found))
    found = only_entry(tree, RT_VERSION, 1, 0x0404, "version")
    if found:
        check_version(pe.get_data(*found))
    expect(set(tree) == {"BINARY", RT_MANIFEST, RT_VERSION},
           "resources: the image, the manifest and the version record only",
           list(tree))

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
