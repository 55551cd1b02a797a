#!/usr/bin/env python3
"""Writes the placeholder firmware image: a deterministic byte stream of the
real image's size, for builds made without the scanner's firmware.

The bytes are SHA-256 in counter mode, block i being
SHA-256(SEED + i as 8 little-endian bytes), so every build on every machine
gets the same file and no stretch of it repeats. It is not firmware: an
executable that carries it must never be run against a real scanner."""
import argparse
import hashlib
import os
import sys

SEED = b"scanfw placeholder firmware image, not firmware\0"


def placeholder_bytes(size):
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(SEED + counter.to_bytes(8, "little")).digest()
        counter += 1
    return bytes(out[:size])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, required=True)
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    if args.size <= 0:
        parser.error("--size must be positive")
    data = placeholder_bytes(args.size)
    # Written beside the target and renamed, so an interrupted build never
    # leaves a short image that a later build would take as complete.
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    partial = args.output + ".partial"
    with open(partial, "wb") as f:
        f.write(data)
    os.replace(partial, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
