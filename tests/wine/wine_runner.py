"""The Windows build run under Wine beside the Linux build: one throwaway Wine prefix per test run
(made by "setup", removed by "cleanup"), Windows paths for Linux ones, and the two programs' output
made comparable by naming the paths they print."""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

WIN_BUILD = os.environ.get("MENDORA_WINDOWS_BUILD_DIR") or os.path.join(harness.BUILD_DIR, "..", "build-win")
EXE = os.path.join(WIN_BUILD, "mendora.exe")
PREFIX = os.path.join(harness.BUILD_DIR, "wine-prefix")
UNUSABLE = PREFIX + ".cannot-start"
SKIPPED = 77


def wine_program(name):
    """Debian keeps the 64-bit loader and the server in /usr/lib/wine; elsewhere they are on PATH."""
    for path in ("/usr/lib/wine/" + name, shutil.which(name)):
        if path and os.access(path, os.X_OK):
            return path
    return None


def wine_env():
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
    env.pop("DISPLAY", None)
    return env


def scratch(prefix):
    """A new folder inside the test run's temporary folder, which goes when the run ends."""
    return tempfile.mkdtemp(prefix=prefix, dir=harness._root)


def win_path(path):
    """Wine shows the Linux root as drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Program:
    """One build of the engine: how it is started and how it writes a path."""

    def __init__(self, command, path):
        self.command, self.path = command, path
        self.sep = "\\" if path is win_path else "/"

    def run(self, *args, cwd=None):
        """Exit code, standard output and standard error; Windows line ends read as "\\n". The two
        go to files, not pipes: a program that starts Wine's desktop (explorer.exe) hands it the
        handles, and it keeps a pipe open for a minute after the program has ended."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(self.command + list(args), stdout=out, stderr=err, cwd=cwd, env=wine_env(),
                                  timeout=600).returncode
            text = []
            for f in (out, err):
                f.seek(0)
                text.append(f.read().decode("utf-8", "replace").replace("\r\n", "\n"))
        return code, text[0], text[1]

    def neutral(self, text, names):
        """The text with every named path replaced by its name, and its separator after it by "<SEP>"."""
        for name, path in names.items():
            text = text.replace(self.path(path) + self.sep, name + "<SEP>").replace(self.path(path), name)
        return text


LINUX = Program([harness.ENGINE], os.path.abspath)
WINDOWS = Program([wine_program("wine64") or "wine64", win_path(EXE)], win_path)


def skip_when_wine_cannot_start():
    """Every Wine test starts here: one clear line and the skip code when the prefix could not be made."""
    if not os.path.exists(EXE):
        sys.exit("the Windows build is missing: %s (scripts/build-windows.sh makes it)" % EXE)
    if os.path.exists(UNUSABLE):
        with open(UNUSABLE) as f:
            print("Wine cannot start, Windows tests skipped: %s" % f.read().strip())
        sys.exit(SKIPPED)


def boot_prefix(env):
    """Makes the Wine prefix of `env`; None, or why it could not be made. A first wineboot that
    fails (it once ended with status 53 while the machine was busy) is tried once more, after its
    wineserver has gone.

    The server is started first and stays until cleanup, and with it the services wineboot starts
    (winedevice.exe and its drivers). A server that went when a program ended starts them again
    with the next program, and they write to that program's standard error: Wine's own driver
    host once crashed there ("Unhandled page fault ... in IoCreateDevice") and the line stood in
    our program's output. Their output goes to a file here, which no test reads."""
    wine = wine_program("wine64")
    if not wine:
        return "no wine64 program found"
    server = wine_program("wineserver") or "wineserver"
    why = None
    for _ in range(2):
        try:
            os.makedirs(env["WINEPREFIX"], exist_ok=True)  # the server starts in it
            subprocess.run([server, "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            # not a pipe: the services keep it open after wineboot has ended
            with tempfile.TemporaryFile() as log:
                done = subprocess.run([wine, "wineboot", "-i"], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                      env=env, timeout=600)
                log.seek(0)
                text = log.read().decode(errors="replace")
            if done.returncode == 0:
                return None
            why = "wineboot ended with %d: %s" % (done.returncode, text[-300:])
        except (OSError, subprocess.TimeoutExpired) as e:
            why = str(e)
        subprocess.run([server, "-k"], env=env, capture_output=True, timeout=60)
    return why


def setup():
    cleanup()
    why = boot_prefix(wine_env())
    if why:
        with open(UNUSABLE, "w") as f:
            f.write(why.replace("\n", " ") + "\n")
        print("Wine cannot start, Windows tests skipped: %s" % why)


def cleanup():
    server = wine_program("wineserver")
    if server and os.path.isdir(PREFIX):
        subprocess.run([server, "-k"], env=wine_env(), capture_output=True, timeout=60)
    shutil.rmtree(PREFIX, ignore_errors=True)
    if os.path.exists(UNUSABLE):
        os.remove(UNUSABLE)


if __name__ == "__main__":
    {"setup": setup, "cleanup": cleanup}[sys.argv[1]]()
