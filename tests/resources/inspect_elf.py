#!/usr/bin/env python3
"""Checks where the Linux executables keep the firmware image: each carrier
holds it, byte for byte, in its own section `.scanfw_firmware`, allocated
and neither writable nor executable, inside a loadable segment that is
mapped read-only; each non-carrier (the fake-platform test binary) holds
no such section."""
import struct
import sys

from checks import check, expect, parse_args, read

SECTION = ".scanfw_firmware"
SHF_WRITE, SHF_ALLOC, SHF_EXECINSTR = 0x1, 0x2, 0x4
SHT_PROGBITS = 1
PT_LOAD = 1
PF_X, PF_W = 0x1, 0x2

SECTION_FIELDS = "name_off type flags addr offset size"
# By ELF class (1: 32-bit, 2: 64-bit): where the header's table offsets lie
# and their format, where its table sizes and counts lie, the layout of a
# section header, and the layout and fields of a program header.
LAYOUT = {
    1: (0x1C, "II", 0x2A, "10I", "8I", "type offset vaddr paddr filesz memsz flags align"),
    2: (0x20, "QQ", 0x36, "IIQQQQIIQQ", "IIQQQQQQ",
        "type flags offset vaddr paddr filesz memsz align"),
}


def read_elf(path):
    """(bytes, sections, segments) of an ELF file, each entry a dict of its
    fields, sections with their "name"."""
    d = read(path)
    if d[:4] != b"\x7fELF":
        raise ValueError("%s is not an ELF file" % path)
    offsets_at, offsets, sizes_at, section, segment, segment_fields = LAYOUT[d[4]]
    end = "<" if d[5] == 1 else ">"
    phoff, shoff = struct.unpack_from(end + offsets, d, offsets_at)
    phentsize, phnum, shentsize, shnum, shstrndx = struct.unpack_from(end + "5H", d, sizes_at)

    def table(at, size, count, layout, fields):
        return [dict(zip(fields.split(), struct.unpack_from(end + layout, d, at + i * size)))
                for i in range(count)]

    sections = table(shoff, shentsize, shnum, section, SECTION_FIELDS)
    names = sections[shstrndx]["offset"]
    for s in sections:
        start = names + s["name_off"]
        s["name"] = d[start:d.index(b"\0", start)].decode()
    return d, sections, table(phoff, phentsize, phnum, segment, segment_fields)


def main():
    args = parse_args(["image"], carrier={"action": "append", "default": []},
                      not_carrier={"action": "append", "default": []})
    image = read(args.image)

    for path in args.carrier:
        data, sections, segments = read_elf(path)
        found = [s for s in sections if s["name"] == SECTION]
        if not expect(len(found) == 1, "%s has one %s section" % (path, SECTION),
                      "found %d" % len(found)):
            continue
        s = found[0]
        expect(s["type"] == SHT_PROGBITS and s["flags"] & SHF_ALLOC,
               "the section is loaded with the program",
               "type %d flags %#x" % (s["type"], s["flags"]))
        expect(not s["flags"] & (SHF_WRITE | SHF_EXECINSTR),
               "the section is neither writable nor executable",
               "flags %#x" % s["flags"])
        expect(s["size"] == len(image),
               "the section is exactly the image's %d bytes" % len(image),
               "size %d" % s["size"])
        held = data[s["offset"]:s["offset"] + s["size"]]
        expect(held == image, "the section's bytes are the image file's")
        loads = [g for g in segments if g["type"] == PT_LOAD
                 and g["vaddr"] <= s["addr"]
                 and s["addr"] + s["size"] <= g["vaddr"] + g["filesz"]]
        expect(len(loads) == 1 and not loads[0]["flags"] & (PF_W | PF_X),
               "it is mapped from the file in a read-only segment",
               "segments %r" % loads)

    for path in args.not_carrier:
        data, sections, _ = read_elf(path)
        expect(all(s["name"] != SECTION for s in sections), "%s carries no image" % path)
        expect(image not in data,
               "%s holds no copy of the image's bytes" % path)

    return check.report()


if __name__ == "__main__":
    sys.exit(main())
