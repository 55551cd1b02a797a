#!/usr/bin/env python3
"""Checks where the Linux executables keep the firmware image: each carrier
holds it, byte for byte, in its own section `.scanfw_firmware`, allocated
and neither writable nor executable, inside a loadable segment that is
mapped read-only; each non-carrier (the fake-platform test binary) holds
no such section."""
import argparse
import struct
import sys

from checks import Check

SECTION = ".scanfw_firmware"
SHF_WRITE, SHF_ALLOC, SHF_EXECINSTR = 0x1, 0x2, 0x4
SHT_PROGBITS = 1
PT_LOAD = 1
PF_X, PF_W = 0x1, 0x2


class Elf:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:4] != b"\x7fELF":
            raise ValueError("%s is not an ELF file" % path)
        self.is64 = d[4] == 2
        self.end = "<" if d[5] == 1 else ">"
        phoff, shoff = struct.unpack_from(self.end + ("QQ" if self.is64 else "II"), d,
                                          0x20 if self.is64 else 0x1C)
        phentsize, phnum, shentsize, shnum, shstrndx = struct.unpack_from(
            self.end + "HHHHH", d, 0x36 if self.is64 else 0x2A)
        self.sections = [self._section(shoff + i * shentsize)
                         for i in range(shnum)]
        names = self.sections[shstrndx]
        for s in self.sections:
            start = names["offset"] + s["name_off"]
            s["name"] = d[start:d.index(b"\0", start)].decode()
        self.segments = [self._segment(phoff + i * phentsize)
                         for i in range(phnum)]

    def _section(self, at):
        f = struct.unpack_from(self.end + ("IIQQQQIIQQ" if self.is64 else "10I"), self.data, at)
        return {"name_off": f[0], "type": f[1], "flags": f[2], "addr": f[3],
                "offset": f[4], "size": f[5]}

    def _segment(self, at):
        if self.is64:
            t, flags, off, vaddr, _, filesz, memsz, _ = struct.unpack_from(
                self.end + "IIQQQQQQ", self.data, at)
        else:
            t, off, vaddr, _, filesz, memsz, flags, _ = struct.unpack_from(
                self.end + "IIIIIIII", self.data, at)
        return {"type": t, "flags": flags, "offset": off, "vaddr": vaddr,
                "filesz": filesz, "memsz": memsz}

    def find(self, name):
        return [s for s in self.sections if s["name"] == name]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--carrier", action="append", default=[])
    parser.add_argument("--not-carrier", action="append", default=[])
    args = parser.parse_args()
    with open(args.image, "rb") as f:
        image = f.read()

    check = Check()
    expect = check.expect

    for path in args.carrier:
        elf = Elf(path)
        found = elf.find(SECTION)
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
        held = elf.data[s["offset"]:s["offset"] + s["size"]]
        expect(held == image, "the section's bytes are the image file's")
        loads = [g for g in elf.segments if g["type"] == PT_LOAD
                 and g["vaddr"] <= s["addr"]
                 and s["addr"] + s["size"] <= g["vaddr"] + g["filesz"]]
        expect(len(loads) == 1 and not loads[0]["flags"] & (PF_W | PF_X),
               "it is mapped from the file in a read-only segment",
               "segments %r" % loads)

    for path in args.not_carrier:
        elf = Elf(path)
        expect(not elf.find(SECTION), "%s carries no image" % path)
        expect(image not in elf.data,
               "%s holds no copy of the image's bytes" % path)

    return check.report()


if __name__ == "__main__":
    sys.exit(main())
