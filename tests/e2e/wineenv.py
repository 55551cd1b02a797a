"""The Wine prefix that the tests run scanfw.exe in: 32-bit, made once under
the build tree and reused."""
import os
import subprocess


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
    """Runs a Windows program; returns (exit status, stdout bytes).

    Output goes through a file, not a pipe: Wine's helper processes inherit
    the pipe and would keep it open long after the program has ended."""
    import tempfile
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.call(command, env=env, stdout=out, stderr=err,
                                 stdin=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        return status, out.read()
