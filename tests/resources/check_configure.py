#!/usr/bin/env python3
"""Configures the project in a scratch build tree with an empty, a missing,
no and a real firmware image, and checks what the build makes of each."""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

from checks import Check

WARNING = "NEVER RUN THIS EXECUTABLE ON A REAL SCANNER"

check = Check()
expect = check.expect


def cmake(args, *extra):
    p = subprocess.run([args.cmake] + list(extra), stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                       timeout=600)
    # CMake wraps long messages at arbitrary spaces: compare with the white
    # space folded.
    text = p.stdout.decode("utf-8", "replace")
    return p.returncode, " ".join(text.split())


def configure(args, build, image):
    return cmake(args, "-S", args.source, "-B", build,
                 "-DSCANFW_FIRMWARE_IMAGE=" + image)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--check-probe", required=True)
    args = parser.parse_args()

    here = os.path.dirname(os.path.abspath(__file__))
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    build = os.path.join(args.work, "build")

    empty = os.path.join(args.work, "empty.bin")
    open(empty, "wb").close()
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
    real = os.path.join(args.work, "real-image.bin")
    with open(real, "wb") as f:
        f.write(bytes((i * 7 + (i >> 9)) & 0xFF for i in range(100003)))
    status, out = configure(args, build, real)
    if not expect(status == 0 and WARNING not in out,
                  "a real image configures without the warning",
                  "status %d\n%s" % (status, out)):
        return 1

    status, out = cmake(args, "--build", build, "-j2", "--target", "scanfw",
                        "scanfw_image_probe")
    if not expect(status == 0, "scanfw and the probe build with that image",
                  out):
        return 1
    expect(not os.path.exists(os.path.join(build, "firmware",
                                            "placeholder-image.bin")),
           "no placeholder is made when an image is given")

    probe = os.path.join(build, "tests", "scanfw_image_probe")
    status = subprocess.call([sys.executable, args.check_probe,
                              "--probe", probe, "--image", real])
    expect(status == 0, "the probe reaches exactly the given image")
    status = subprocess.call([sys.executable,
                              os.path.join(here, "inspect_elf.py"),
                              "--image", real,
                              "--carrier", os.path.join(build, "scanfw")])
    expect(status == 0, "scanfw carries exactly the given image")

    # --version names that image and, not being the placeholder, warns of
    # nothing.
    with open(real, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    want = ("scanfw 0.3.53.0\nFirmware image: 100003 bytes\nSHA-256: %s\n"
            % digest).encode()
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
