"""The Wine prefix that the tests run scanfw.exe in: 32-bit, made once under
the build tree and reused."""
import os
import subprocess
import tempfile
import time


def base_env(prefix):
    env = dict(os.environ)
    env["WINEPREFIX"] = os.path.abspath(prefix)
    env["WINEARCH"] = "win32"
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono or Gecko prompts
    env.pop("DISPLAY", None)
    return env


def prepare_prefix(prefix):
    env = base_env(prefix)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
        subprocess.run(["wineserver", "-w"], env=env, timeout=300)
    # Keep one server for the whole run rather than one per process.
    subprocess.Popen(["wineserver", "-p"], env=env,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return env


def stop(env):
    subprocess.run(["wineserver", "-k"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run(command, env, timeout=120):
    """Runs a Windows program; returns (exit status, stdout bytes)."""
    return run_watched(command, env, timeout)[:2]


def run_watched(command, env, timeout=120, watch=None):
    """Runs a Windows program, calling watch(process) every 0.1 s until it
    returns true or the program ends; (exit status, stdout, stderr) bytes,
    killed on a time-out or an error. Output goes to files, not pipes: Wine's
    helper processes inherit a pipe and would keep it open for long."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        with subprocess.Popen(command, env=env, stdout=out, stderr=err,
                              stdin=subprocess.DEVNULL) as process:
            try:
                while watch and process.poll() is None and not watch(process):
                    time.sleep(0.1)
                status = process.wait(timeout=timeout)
            except BaseException:
                process.kill()
                raise
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()
