#!/usr/bin/env python3
"""Configures the project in a scratch build tree with an empty, a missing,
no and a real firmware image, and checks what the build makes of each."""
import hashlib
import os
import shutil
import subprocess
import sys

from checks import check, expect, parse_args, read, run_build, write

WARNING = "NEVER RUN THIS EXECUTABLE ON A REAL SCANNER"
HERE = os.path.dirname(os.path.abspath(__file__))


def cmake(args, *extra):
    status, text = run_build([args.cmake] + list(extra), stdin=subprocess.DEVNULL, timeout=600)
    # CMake wraps long messages at arbitrary spaces: compare with the white
    # space folded.
    return status, " ".join(text.split())


def configure(args, build, image):
    return cmake(args, "-S", args.source, "-B", build,
                 "-DSCANFW_FIRMWARE_IMAGE=" + image)


def main():
    args = parse_args(["source", "work", "cmake", "check-probe"])
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    build = os.path.join(args.work, "build")

    empty = write(os.path.join(args.work, "empty.bin"), b"")
    missing = os.path.join(args.work, "no-such-image.bin")
    # (image, whether configuring succeeds, what it must say, the check)
    for image, ok, words, what in [
            (empty, False, "is empty", "an empty image file is refused at configure time"),
            (missing, False, "does not exist",
             "a missing image file is refused at configure time"),
            ("", True, WARNING, "without an image the placeholder is announced loudly")]:
        status, out = configure(args, build, image)
        expect((status == 0) == ok and words in out, what, "status %d\n%s" % (status, out))

    # Odd-sized, so padding or rounding of the length would show.
    real = write(os.path.join(args.work, "real-image.bin"),
                 bytes((i * 7 + (i >> 9)) & 0xFF for i in range(100003)))
    status, out = configure(args, build, real)
    if not expect(status == 0 and WARNING not in out,
                  "a real image configures without the warning",
                  "status %d\n%s" % (status, out)):
        return 1

    status, out = cmake(args, "--build", build, "-j2", "--target", "scanfw",
                        "scanfw_image_probe")
    if not expect(status == 0, "scanfw and the probe build with that image", out):
        return 1
    expect(not os.path.exists(os.path.join(build, "firmware", "placeholder-image.bin")),
           "no placeholder is made when an image is given")

    probe = os.path.join(build, "tests", "scanfw_image_probe")
    for what, command in [
            ("the probe reaches exactly the given image",
             [args.check_probe, "--probe", probe, "--image", real]),
            ("scanfw carries exactly the given image",
             [os.path.join(HERE, "inspect_elf.py"), "--image", real,
              "--carrier", os.path.join(build, "scanfw")])]:
        expect(subprocess.call([sys.executable] + command) == 0, what)

    # --version names that image and, not being the placeholder, warns of
    # nothing.
    want = ("scanfw 0.3.53.0\nFirmware image: 100003 bytes\nSHA-256: %s\n"
            % hashlib.sha256(read(real)).hexdigest()).encode()
    version = subprocess.run([os.path.join(build, "scanfw"), "--version"],
                             stdout=subprocess.PIPE, timeout=60,
                             env=dict(os.environ, LC_ALL="C"))
    expect(version.returncode == 0 and version.stdout == want,
           "--version names the given image and no placeholder",
           "status %d\n%r" % (version.returncode, version.stdout))

    if check.failures == 0:
        shutil.rmtree(args.work, ignore_errors=True)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
