#!/usr/bin/env python3
"""The release artefacts.

rebuild: the preset's program built again from a copy of the sources in
other folders must be the same bytes, debug information included.

script: scripts/release.sh end to end with a generated image and a
throwaway CA, signer and time-stamp authority made here with openssl."""
import argparse
import hashlib
import http.server
import io
import os
import tempfile
import random
import shutil
import subprocess
import sys
import tarfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCES = os.path.join(HERE, "..", "resources")
sys.path.insert(0, RESOURCES)
from checks import check, expect, load_pe, read, run, run_build, write  # noqa: E402
import wineenv  # noqa: E402

VERSION = "0.3.53.0"
# The Windows programs a release ships, with their PE machines.
EXES = {"scanfw.exe": "i386", "scanfw-x64.exe": "x86-64"}
DEB = "scanfw_%s_amd64.deb" % VERSION
# What the package installs; dpkg-deb lists these and every folder above
# them, sorted.
INSTALLED = ["usr/bin/scanfw", "usr/lib/udev/rules.d/70-scanfw.rules",
             "usr/share/doc/scanfw/changelog.gz", "usr/share/doc/scanfw/copyright",
             "usr/share/man/man1/scanfw.1.gz"]
PACKAGE_FILES = sorted({"./" + f for f in INSTALLED} |
                       {"./" + f[:i + 1] for f in INSTALLED for i in range(len(f)) if f[i] == "/"} |
                       {"./"})


def check_pe_header(path):
    """No moment of the build in the PE file: the header's link time and the
    resource directory's time are 0; the header's check sum is the file's."""
    pe = load_pe(path, "RESOURCE")
    for what, got, want in [
            ("no link time in the PE header", pe.FILE_HEADER.TimeDateStamp, 0),
            ("no time in the resource directory",
             pe.DIRECTORY_ENTRY_RESOURCE.struct.TimeDateStamp, 0),
            ("the header's check sum is the file's", pe.OPTIONAL_HEADER.CheckSum,
             pe.generate_checksum())]:
        expect(got == want, "%s: %s" % (os.path.basename(path), what),
               "%#x, expected %#x" % (got, want))


# ---------------------------------------------------------------- rebuild

def rebuild(args):
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    copy = os.path.join(work, "elsewhere", "source")
    ignore = shutil.ignore_patterns("build", "dist", ".git")
    shutil.copytree(args.source, copy, ignore=ignore, symlinks=True)
    other = os.path.join(work, "another-build")
    t0 = time.monotonic()
    # The preset as this build tree was configured: the same image.
    rc, out = run_build([args.cmake, "--preset", args.preset, "-B", other,
                         "-DCMAKE_BUILD_TYPE=" + args.build_type,
                         "-DSCANFW_FIRMWARE_IMAGE=" + args.image], cwd=copy)
    if rc == 0:
        rc, out = run_build([args.cmake, "--build", other, "-j", "2", "--target", "scanfw"])
    if not expect(rc == 0, "the %s preset builds from %s into %s" % (args.preset, copy, other),
                  out):
        return check.report()
    print("  built in %.0f s" % (time.monotonic() - t0))
    rebuilt = os.path.join(other, os.path.basename(args.exe))
    check.identical(args.exe, rebuilt, "%s of another folder is identical to the preset's %s"
                    % (os.path.basename(args.exe), args.exe))
    print("  sha256 %s" % hashlib.sha256(read(rebuilt)).hexdigest())
    if args.preset == "windows":
        check_pe_header(rebuilt)
    shutil.rmtree(work, ignore_errors=True)
    return check.report()


# ---------------------------------------------------------------- script

def openssl(*argv, cwd):
    rc, out = run(["openssl"] + list(argv), cwd=cwd)
    if rc != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (" ".join(argv), out))


def make_ca(d, name):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
            "-out", name + ".pem", "-days", "3650", "-subj", "/CN=scanfw test " + name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    return os.path.join(d, name + ".pem")


def make_leaf(d, ca, name, subject, usage):
    """name.pem and name.key, a certificate of the CA `ca` for `usage`."""
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
            "-out", name + ".csr", "-subj", "/CN=scanfw test " + subject, cwd=d)
    write(os.path.join(d, name + ".ext"), "basicConstraints=CA:FALSE\n"
          "keyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n" % usage)
    openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
            "-CAcreateserial", "-out", name + ".pem", "-days", "3650",
            "-extfile", name + ".ext", cwd=d)
    return os.path.join(d, name + ".pem"), os.path.join(d, name + ".key")


TSA_CONFIG = """[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = {d}/tsa.serial
crypto_device = builtin
signer_cert = {d}/tsa.pem
signer_key = {d}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


class TimeStampAuthority:
    """An RFC 3161 time-stamp authority on 127.0.0.1, answering with
    `openssl ts -reply` under a certificate of the test CA; counts the
    requests it answered."""

    def __init__(self, d, ca):
        make_leaf(d, ca, "tsa", "time-stamp authority", "critical,timeStamping")
        write(os.path.join(d, "tsa.serial"), "01\n")
        write(os.path.join(d, "tsa.cnf"), TSA_CONFIG.format(d=d))
        self.answered = 0
        tsa = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                write(os.path.join(d, "query.tsq"),
                      self.rfile.read(int(self.headers.get("Content-Length", "0"))))
                rc, out = run(["openssl", "ts", "-reply", "-config", os.path.join(d, "tsa.cnf"),
                               "-queryfile", "query.tsq", "-out", "reply.tsr"], cwd=d)
                if rc != 0:
                    self.send_error(500, out[-200:])
                    return
                reply = read(os.path.join(d, "reply.tsr"))
                tsa.answered += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def release(args, out, argv, env=None, cwd=None):
    """Runs release.sh into the folder `out` under the work folder:
    (status, output, seconds, that folder)."""
    out = os.path.join(args.work, out)
    t0 = time.monotonic()
    rc, text = run_build(["bash", args.script] + argv + ["--out", out], env=env, cwd=cwd)
    return rc, text, time.monotonic() - t0, out


def verify(exe, ca, *more):
    return run(["osslsigncode", "verify", "-CAfile", ca] + list(more) + ["-in", exe])


def check_refusals(args, image, cert, key):
    work = args.work
    empty = write(os.path.join(work, "empty.bin"), b"")
    missing = os.path.join(work, "missing.pem")
    # (what, arguments, words the message must contain)
    cases = [
        ("no image", [], "--image"),
        ("a missing image", ["--image", os.path.join(work, "nothing.bin")], "does not exist"),
        ("an empty image", ["--image", empty], "empty"),
        ("a folder as image", ["--image", work], "not a regular file"),
        ("a release that is not four hex digits",
         ["--image", image, "--firmware-release", "1.2"], "four hex digits"),
        ("a missing certificate file",
         ["--image", image, "--cert", missing, "--key", key], missing),
        ("a missing key file",
         ["--image", image, "--cert", cert, "--key", missing], missing),
        ("--cert without --key", ["--image", image, "--cert", cert], "--key"),
        ("--timestamp-url without a certificate",
         ["--image", image, "--timestamp-url", "http://127.0.0.1:9/"], "--cert"),
    ]
    for what, argv, words in cases:
        rc, out, dt, out_dir = release(args, "refused", argv)
        expect(rc != 0 and "release: " in out and words in out and
               not os.path.exists(out_dir),
               "refuses %s: status %d, says so, writes nothing (%.1f s)" % (what, rc, dt),
               out)


def check_package(args, dist, image, epoch):
    deb = os.path.join(dist, DEB)
    rc, out = run(["dpkg-deb", "--contents", deb])
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    expect(rc == 0 and names == PACKAGE_FILES,
           "dpkg-deb --contents lists exactly the package's files", out)
    # The data.tar members: (name, mode, owner, mtime).
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE).stdout
    with tarfile.open(fileobj=io.BytesIO(tar)) as t:
        members = [(m.name, m.mode, "%s/%s" % (m.uname, m.gname), m.mtime) for m in t]
    expect(all(owner == "root/root" and mtime == epoch for _, _, owner, mtime in members),
           "every file is root's, dated SOURCE_DATE_EPOCH",
           [m for m in members if m[2] != "root/root" or m[3] != epoch])
    modes = {n: m for n, m, _, _ in members}
    expect(modes.get("./usr/bin/scanfw") == 0o755 and
           modes.get("./usr/lib/udev/rules.d/70-scanfw.rules") == 0o644,
           "scanfw is 0755, the rule 0644", modes)

    rc, control = run(["dpkg-deb", "--field", deb])
    fields = dict(line.split(": ", 1) for line in control.splitlines()
                  if ": " in line and not line.startswith(" "))
    expect((fields.get("Package"), fields.get("Version"), fields.get("Architecture"))
           == ("scanfw", VERSION, "amd64"), "control: scanfw %s amd64" % VERSION, control)
    depends = [d.strip().split()[0] for d in fields.get("Depends", "").split(",")]
    expect("libusb-1.0-0" in depends and "libc6" in depends,
           "control: depends on libusb-1.0-0 and libc6", fields.get("Depends"))
    rc, scripts = run(["dpkg-deb", "--info", deb, "postinst"])
    expect(rc == 0 and "udevadm control --reload-rules" in scripts,
           "postinst reloads the udev rules", scripts)

    # What the package installs, unpacked: the rule is the project's, the
    # program carries the image, the man page renders without warnings.
    root = os.path.join(args.work, "unpacked")
    rc, out = run(["dpkg-deb", "-x", deb, root])
    check.identical(os.path.join(args.source, "platform/linux/70-scanfw.rules"),
                    os.path.join(root, "usr/lib/udev/rules.d/70-scanfw.rules"),
                    "the rule is platform/linux/70-scanfw.rules")
    rc, out = run([sys.executable, os.path.join(RESOURCES, "inspect_elf.py"),
                   "--image", image, "--carrier", os.path.join(root, "usr/bin/scanfw")])
    expect(rc == 0, "the packaged scanfw carries the image in place", out)
    rc, out = run(["man", "--warnings", "-l", "-Tutf8",
                   os.path.join(root, "usr/share/man/man1/scanfw.1.gz")],
                  env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
    page = subprocess.run(["col", "-b"], input=out, stdout=subprocess.PIPE, text=True).stdout
    wanted = ["--exit-code", "--verbose", "--list", "--version", "--help", "EXIT STATUS",
              "/usr/lib/udev/rules.d/70-scanfw.rules", "never"]
    expect(rc == 0 and "warning" not in page.lower() and all(w in page for w in wanted),
           "the man page renders without warnings and names the options, exit "
           "status and files", page)

    rc, out = run(["lintian", "--fail-on", "error", deb])
    errors = [line for line in out.splitlines() if line.startswith("E: ")]
    expect(rc == 0 and not errors, "lintian: no error", out)
    print("  lintian: %s" % (out.strip().replace("\n", "\n           ") or "nothing"))


def script(args):
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    keys = os.path.join(work, "keys")
    os.makedirs(keys)
    ca, other_ca = make_ca(keys, "ca"), make_ca(keys, "other-ca")
    cert, key = make_leaf(keys, os.path.join(keys, "ca"), "signer", "signer", "codeSigning")

    # A small image of bytes no other file has: the release must carry
    # exactly these.
    rnd = random.Random(0x3A7C4E21)
    image = write(os.path.join(work, "test-image.bin"),
                  bytes(rnd.getrandbits(8) for _ in range(196613)))

    check_refusals(args, image, cert, key)

    signing = ["--image", image, "--cert", cert, "--key", key, "--ca", ca]
    # The runs after the first reuse its build folders, but for the second
    # run, which builds from scratch elsewhere.
    outside = {k: v for k, v in os.environ.items() if k != "SCANFW_RELEASE_BUILDS"}
    reuse = {"SCANFW_RELEASE_BUILDS": os.path.join(work, "builds")}
    env = dict({k: v for k, v in outside.items() if k != "SOURCE_DATE_EPOCH"}, **reuse)
    rc, out, dt, dist1 = release(args, "dist1", signing, env=env)
    if not expect(rc == 0, "release.sh signs and packages (%.0f s)" % dt, out):
        return check.report()
    print("  " + out.strip().replace("\n", "\n  "))
    rc, commit_time = run(["git", "-C", args.source, "log", "-1", "--format=%ct"])
    epoch = int(commit_time.strip())
    expect(sorted(os.listdir(dist1)) == sorted(list(EXES) + [DEB, "SHA256SUMS"]),
           "writes %s, %s and SHA256SUMS" % (", ".join(EXES), DEB), os.listdir(dist1))

    rc, out = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist1)
    expect(rc == 0 and out.count(": OK") == len(EXES) + 1, "SHA256SUMS checks every file", out)

    for name, machine in EXES.items():
        exe = os.path.join(dist1, name)
        rc, out = verify(exe, ca)
        expect(rc == 0 and "Signature verification: ok" in out,
               "%s: osslsigncode verify -CAfile passes" % name, out)
        print("  " + "\n  ".join(l for l in out.splitlines()
                                 if l.strip().startswith(("Message digest algorithm", "Subject",
                                                          "Signing time", "Signature verification",
                                                          "Number of verified"))))
        expect("Signing time: %s" % time.strftime("%b %e %H:%M:%S %Y", time.gmtime(epoch)) in out,
               "%s: the signing time is the commit's" % name, out)
        rc, out = verify(exe, other_ca)
        expect(rc != 0, "%s: and does not pass against another CA" % name, out)

        rc, out = run([sys.executable, os.path.join(RESOURCES, "inspect_pe.py"),
                       "--exe", exe, "--image", image, "--machine", machine])
        expect(rc == 0, "the signed %s: %s, BINARY/119 is the image, resources as built"
               % (name, machine), out)
        check_pe_header(exe)

    check_package(args, dist1, image, epoch)

    # The same inputs elsewhere: another temp folder, output folder, working
    # folder and time zone, SOURCE_DATE_EPOCH given rather than worked out.
    # The temp folder is on another kind of file system where there is one
    # (folders have other sizes on tmpfs than on disk).
    tmp2 = os.path.join(work, "second", "tmp")
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        tmp2 = tempfile.mkdtemp(prefix="scanfw-release-", dir="/dev/shm")
    else:
        os.makedirs(tmp2)
    env2 = dict(outside, TMPDIR=tmp2, TZ="Asia/Taipei", SOURCE_DATE_EPOCH=str(epoch))
    rc, out, dt, dist2 = release(args, "second/dist", signing, env=env2, cwd=tmp2)
    if expect(rc == 0, "a second run (%.0f s)" % dt, out):
        for name in list(EXES) + [DEB, "SHA256SUMS"]:
            check.identical(os.path.join(dist1, name), os.path.join(dist2, name),
                            "second run: %s is identical" % name)

    # A signature that the given CA does not vouch for is not kept.
    rc, out, dt, dist3 = release(args, "dist-bad-ca", ["--image", image, "--cert", cert,
                                                       "--key", key, "--ca", other_ca], env=dict(env2, **reuse))
    expect(rc != 0 and "verifying the signature" in out and not os.path.exists(dist3),
           "a signature that does not verify: refused, nothing written (%.0f s)" % dt, out)

    # The unsigned build is the signed file minus its signature.
    rc, out, dt, dist4 = release(args, "dist-unsigned", ["--image", image],
                                 env=dict(env2, **reuse))
    if expect(rc == 0 and "NOT signed" in out, "an unsigned run (%.0f s)" % dt, out):
        for name in EXES:
            stripped = os.path.join(work, "signature-removed-" + name)
            rc, out = run(["osslsigncode", "remove-signature", "-in", os.path.join(dist1, name),
                           "-out", stripped])
            if expect(rc == 0, "osslsigncode removes the signature of %s" % name, out):
                check.identical(stripped, os.path.join(dist4, name),
                                "the signed %s minus its signature is the unsigned one" % name)
        check.identical(os.path.join(dist1, DEB), os.path.join(dist4, DEB),
                        "the package does not depend on signing")

    # With a time stamp: asked of the authority once, and verified.
    tsa = TimeStampAuthority(keys, os.path.join(keys, "ca"))
    env5 = dict({k: v for k, v in env2.items() if k.lower() not in ("http_proxy", "https_proxy")},
                no_proxy="127.0.0.1", **reuse)
    try:
        rc, out, dt, dist5 = release(args, "dist-time-stamped",
                                     signing + ["--timestamp-url", tsa.url], env=env5)
    finally:
        tsa.close()
    if expect(rc == 0 and tsa.answered == len(EXES),
              "a time-stamped run: the authority answered %d request(s) (%.0f s)"
              % (tsa.answered, dt), out):
        for name in EXES:
            rc, out = verify(os.path.join(dist5, name), ca, "-TSA-CAfile", ca)
            expect(rc == 0 and "Timestamp Server Signature verification: ok" in out and
                   "Signature verification: ok" in out,
                   "%s: its signature and time stamp verify" % name, out)

    # The signed programs at work: the success scenario under Wine, each
    # with the simulated scanner built for its architecture.
    for name, build in (("scanfw.exe", args.build), ("scanfw-x64.exe", args.x64_build)):
        helpers = {k: os.path.join(build, "tests", f) for k, f in (
            ("driver", "scanfwsim.sys"), ("ctl", "e2ectl.exe"), ("standin", "stisvc_standin.exe"))}
        if not all(os.path.exists(f) for f in helpers.values()):
            print("note %s was not run under Wine: %s has no simulated scanner (build its "
                  "preset first, as scripts/test.sh does)" % (name, build))
            continue
        env = dict(os.environ, SCANFW_WINE_TEMPLATE=os.path.join(build, "wineprefix-template"))
        rc, out = run([sys.executable, os.path.join(HERE, "..", "e2e", "e2e_test.py"),
                       "--exe", os.path.join(dist1, name), "--image", image,
                       "--only", "success_en", "--jobs", "1",
                       "--driver", helpers["driver"], "--ctl", helpers["ctl"],
                       "--standin", helpers["standin"], "--records",
                       os.path.join(build, "scenarios"), "--prefix",
                       "%s-%s" % (args.prefix, EXES[name]),
                       "--scenarios", os.path.join(args.source, "tests", "scenarios")], env=env)
        if rc == wineenv.SKIP:
            print("  " + out.strip().replace("\n", "\n  "))
            continue
        expect(rc == 0 and "ok   success_en" in out,
               "the signed %s updates the simulated scanner under Wine" % name, out)
        print("  " + "\n  ".join(l for l in out.splitlines() if "success_en" in l or
                                 l.startswith("e2e:")))

    # The later runs use the second run's temp folder too.
    if tmp2.startswith("/dev/shm/"):
        shutil.rmtree(tmp2, ignore_errors=True)
    if not check.failures:
        shutil.rmtree(work, ignore_errors=True)
    return check.report()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("rebuild")
    for name in ("source", "preset", "exe", "build-type", "work"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--cmake", default="cmake")
    p.add_argument("--image", default="", help="SCANFW_FIRMWARE_IMAGE as configured")
    p = sub.add_parser("script")
    for name in ("source", "work", "build", "x64-build", "prefix"):
        p.add_argument("--" + name, required=True)
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    if args.what == "rebuild":
        return rebuild(args)
    args.script = os.path.join(args.source, "scripts", "release.sh")
    return script(args)


if __name__ == "__main__":
    sys.exit(main())
