"""The real window under Wine in an X server of its own, used as a user would: start mendora.exe or
its probe, press keys and buttons, drive Wine's pickers, save screenshots, and read what the probe
says the controls show."""

import atexit
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wine_runner  # noqa: E402
from wine_runner import harness, win_path  # noqa: E402

EXE = wine_runner.EXE
PROBE = os.path.join(wine_runner.WIN_BUILD, "mendora-window-probe.exe")
SCREENSHOTS = os.path.join(wine_runner.WIN_BUILD, "screenshots")
TITLE = "Mendora Recovery"
LOG_NAME = "Velto_Sony_XAVC_recovery.log"

# The action buttons' control ids, and the fields that show the picked folders and image.
ACTIONS = {"workdir_browse": 2019, "source_open": 2002, "outdir_browse": 2004, "analyze": 2016,
           "recover_sample": 2009, "recover_all": 2017}
FOLDER_FIELDS = {"workdir_browse": 2018, "outdir_browse": 2003}
IMAGE_FIELD = 2001
# Client positions (centres) of the buttons the tests press by hand; the left column is 421 wide.
BUTTONS = {"workdir_browse": (393, 52), "outdir_browse": (393, 176), "recover_sample": (182, 261),
           "recover_all": (308, 261)}
# The client area's corner relative to the X window's, as a probe told it: the same for every start
# of the window on one desktop.
_client_offset = []

# Wine's folder tree finds an item by the letters typed within a short spell; a pause longer than
# that spell starts the next name afresh.
TYPING_SPELL = 1.0


def wait_for(what, check, timeout=600):
    """Polls until check() gives a true value and returns it. The limit only ends a run that went
    wrong: on a machine busy with other tests Wine can take minutes to show a window or end a run."""
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


scratch = wine_runner.scratch


def typable(name):
    """Letters xdotool can type into Wine: those of Latin-1, which Wine's keyboard maps; others
    (Cyrillic, CJK) never reach the program."""
    return all(ord(c) < 0x100 for c in name)


def read_text(path):
    """A file of narrow Windows text: the program's manifest makes its ANSI code page UTF-8, for the
    program and its child alike, so a folder named in any script reads back as it was typed."""
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def processes_with(text):
    """Linux pids of the Wine processes whose command line holds `text`."""
    done = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True)
    return [int(line.split(None, 1)[0]) for line in done.stdout.splitlines()
            if text in line and "ps -eo" not in line]


_desktop = {}


class FolderTreeAstray(AssertionError):
    """The letters typed into a folder picker's tree took it elsewhere."""


def desktop_env(screen="1400x900x24"):
    """The environment of every program this test process starts: an X server (of the size the
    first call asks for) and a Wine prefix of its own. Wine's desktop process stays tied to the
    display it first saw, so one prefix serves one display, and the console tests that run beside
    these keep theirs."""
    if not _desktop:
        read_end, write_end = os.pipe()
        xserver = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen,
                                    "-nolisten", "tcp"], pass_fds=(write_end,),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        # the server writes the number and then its line end; it stops if the pipe is gone by then
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 32)
            if not chunk:
                raise AssertionError("Xvfb did not start")
            number += chunk
        number = number.decode().strip()
        prefix = scratch("wine-window-")
        env = dict(wine_runner.wine_env(), DISPLAY=":" + number, WINEPREFIX=prefix)
        why = wine_runner.boot_prefix(env)
        if why:
            raise AssertionError("the Wine prefix could not be made: " + why)

        def end_desktop():
            server = wine_runner.wine_program("wineserver") or "wineserver"
            subprocess.run([server, "-k"], env=env, capture_output=True, timeout=60)
            xserver.terminate()
            xserver.wait()
            os.close(read_end)
        atexit.register(end_desktop)
        _desktop.update(env)
    return dict(_desktop)


def set_dpi(dpi):
    """The DPI every program started from now on draws at: Wine reads it from the user's desktop
    settings when a program starts."""
    wine = wine_runner.wine_program("wine64") or "wine64"
    subprocess.run([wine, "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                    "/d", str(dpi), "/f"], env=desktop_env(), capture_output=True, timeout=120, check=True)


class Session:
    """One start of the program with its window, in a fresh X server."""

    def __init__(self, test, program=EXE, args=(), probe=False, started_by_shell=False, beside=None, env=None):
        """`beside`: a Session whose window is on the desktop already and is not this one's; `env`:
        variables the program gets beside the desktop's."""
        self.test = test
        self.probe = probe
        self.env = dict(desktop_env(), **(env or {}))
        self.state_path = None
        args = list(args)
        if probe:
            self.state_path = os.path.join(scratch("probe-"), "state.txt")
            args = ["--probe-state", win_path(self.state_path)] + args
        wine = wine_runner.wine_program("wine64") or "wine64"
        # "start" runs a program as a double-click does, with a new console for a console program
        shell = ["start", "/wait", "/unix", program] if started_by_shell else [win_path(program)]
        self.process = subprocess.Popen([wine] + shell + args, env=self.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            other = beside.main if beside else None
            self.main = wait_for("the main window", lambda: self.find(TITLE, other_than=other))
        except AssertionError:
            self.end()
            raise AssertionError("no main window on display %s; exit code %s; standard error:\n%s"
                                 % (self.env["DISPLAY"], self.process.returncode, self.stderr[-3000:]))
        if probe:
            wait_for("the probe's first state", lambda: self.state().get("window"))
            client = [int(v) for v in self.state()["client_origin"].split(",")]
            corner = self.geometry(self.main)[:2]
            _client_offset[:] = [client[0] - corner[0], client[1] - corner[1]]

    # --- X side -------------------------------------------------------------------------------
    def xdo(self, *args):
        done = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, capture_output=True, text=True,
                              timeout=60)
        return done.stdout

    def visible_titles(self):
        return sorted(self.xdo("getwindowname", wid).strip()
                      for wid in self.xdo("search", "--onlyvisible", "--name", ".").split())

    def find(self, title, other_than=None):
        """The X window showing `title`, skipping `other_than`; None when there is none."""
        for wid in self.xdo("search", "--onlyvisible", "--name", "^%s$" % re.escape(title)).split():
            if wid != other_than:
                return wid
        return None

    def geometry(self, wid):
        values = dict(line.split("=", 1) for line in self.xdo("getwindowgeometry", "--shell", wid).split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def keys(self, wid, *keys):
        self.xdo("windowfocus", "--sync", wid)
        for key in keys:
            self.xdo("key", key)

    def type_text(self, text):
        self.xdo("type", "--delay", 20, text)

    def click(self, x, y):
        """A press and release at a screen position, as a hand would make it."""
        self.xdo("mousemove", x, y)
        self.xdo("mousedown", 1)
        self.xdo("mouseup", 1)

    def click_control(self, control_id, x, y):
        """A click at (x, y) inside the control, which the probe places."""
        left, top = (int(v) for v in self.control(control_id, "rect").split(",")[:2])
        wx, wy = self.geometry(self.main)[:2]
        self.click(wx + _client_offset[0] + left + x, wy + _client_offset[1] + top + y)

    def press_button(self, name):
        """A click on one of BUTTONS, where the window shows it now."""
        assert _client_offset, "a probe must have shown where the client area starts"
        x, y = self.geometry(self.main)[:2]
        self.click(x + _client_offset[0] + BUTTONS[name][0], y + _client_offset[1] + BUTTONS[name][1])

    def screenshot(self, name):
        os.makedirs(SCREENSHOTS, exist_ok=True)
        path = os.path.join(SCREENSHOTS, name + ".png")
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True, capture_output=True)
        return path

    # --- pickers --------------------------------------------------------------------------------
    def pick_folder(self, button, folder, focused=True, press=None):
        """Presses a Browse button (Space when it has the focus, else a click, or press() when
        given) and walks Wine's folder tree to `folder`: Down to "/", each name typed and opened
        with Right, Return on the last. In a probe session, a pick that did not reach the window's
        field is made again, with a click."""
        press = press or (self.press_focused if focused else lambda: self.press_button(button))
        shown = lambda: self.control(FOLDER_FIELDS[button]) == win_path(folder)  # noqa: E731
        why = ""
        for _ in range(3):
            try:
                self.walk_folder_tree(press, folder)
            except FolderTreeAstray as e:
                # the walk is begun again in a new picker
                why = str(e)
                self.xdo("key", "Escape")
                wait_for("the folder browser to close", lambda: not self.find("Browse for Folder"))
                press = lambda: self.press_button(button)  # noqa: E731
                continue
            if not self.probe:
                return
            try:
                wait_for("the picked folder", shown, timeout=10)
                return
            except AssertionError:
                press = lambda: self.press_button(button)  # noqa: E731
        raise AssertionError("Wine's folder tree did not reach %s %s" % (folder, why))

    def walk_folder_tree(self, press, folder):
        dialog = self.open_dialog("Browse for Folder", press)
        parts = [p for p in os.path.abspath(folder).split("/") if p]
        if self.probe:
            self.walk_folder_tree_seen(dialog, parts)
        else:
            self.walk_folder_tree_timed(dialog, parts)
        self.xdo("key", "Return")
        wait_for("the folder browser to close", lambda: not self.find("Browse for Folder"))

    def folder_tree(self):
        """The items from the top of the open folder picker's tree down to the selected one, as
        the probe sees them."""
        return self.state().get("folder_tree", "").split("|")[:-1]

    def walk_folder_tree_seen(self, dialog, parts):
        """Each step taken once the probe shows the tree where the step leaves it: a busy machine
        may deliver typed letters too slowly for the tree to take them as one name, and the name
        is then typed again."""
        wait_for("the folder tree", self.folder_tree)
        self.keys(dialog, "Down")
        wait_for("the tree at /", lambda: self.folder_tree()[-1:] == ["/"])
        for i, part in enumerate(parts):
            self.xdo("key", "Right")
            reached = lambda: self.folder_tree()[-(i + 2):] == ["/"] + parts[:i + 1]  # noqa: E731
            for _ in range(5):
                time.sleep(TYPING_SPELL)  # a name typed now starts afresh
                if reached():
                    break
                if typable(part):
                    self.type_text(part)
                elif self.folder_tree()[-(i + 1):] == ["/"] + parts[:i]:
                    # letters outside the keyboard's layout never reach the tree: such a folder is the
                    # only one in its parent, the first item under it
                    self.only_entry(os.path.join("/", *parts[:i]), part)
                    self.xdo("key", "Down")
                try:
                    wait_for("the tree at " + part, reached, timeout=15)
                    break
                except AssertionError:
                    pass
            else:
                raise FolderTreeAstray("(it went to %s)" % "/".join(self.folder_tree()))

    def walk_folder_tree_timed(self, dialog, parts):
        """Without a probe each step is given the time a quiet machine needs."""
        time.sleep(TYPING_SPELL)  # the tree is filled after its window shows
        self.keys(dialog, "Down", "Right")
        for i, part in enumerate(parts):
            time.sleep(TYPING_SPELL)
            if typable(part):
                self.type_text(part)
            else:
                # letters outside the keyboard's layout never reach the tree: such a folder is the
                # only one in its parent, the first item under it
                self.only_entry(os.path.join("/", *parts[:i]), part)
                self.xdo("key", "Down")
            if i + 1 < len(parts):
                self.xdo("key", "Right")
        time.sleep(TYPING_SPELL)

    def open_dialog(self, title, press):
        """Presses until the dialog shows: a press made while the window still settles the end of
        a run (the button not yet enabled or focused) is simply made again."""
        for _ in range(10):
            press()
            try:
                return wait_for(title, lambda: self.find(title), timeout=6)
            except AssertionError:
                pass
        raise AssertionError("no %s dialog after ten presses" % title)

    def press_focused(self):
        self.keys(self.main, "space")

    def only_entry(self, folder, name):
        entries = os.listdir(folder)
        self.test.assertEqual(entries, [name], "the picker is walked by place: %s holds one entry" % folder)

    def pick_image(self, press, image):
        """press() presses Open...; the path is typed into File name and taken with Return. Names
        past the last one the keyboard can type are walked in the file list: Return on a folder's
        path shows it, Shift+Tab goes to the list, and each name, alone in its folder, is its first
        item, opened with Return."""
        dialog = self.open_dialog("Select Sony media image", press)
        self.xdo("windowfocus", dialog)
        parts = [p for p in os.path.abspath(image).split("/") if p]
        typed = 0
        while typed < len(parts) and typable(parts[typed]):
            typed += 1
        if typed == len(parts):
            self.type_text(win_path(image))
        else:
            self.type_text(win_path(os.path.join("/", *parts[:typed])) + "\\")
            self.xdo("key", "Return")
            time.sleep(TYPING_SPELL)
            self.xdo("key", "shift+Tab")
            for i in range(typed, len(parts)):
                self.only_entry(os.path.join("/", *parts[:i]), parts[i])
                time.sleep(TYPING_SPELL)
                self.xdo("key", "Home")
                if i + 1 < len(parts):
                    self.xdo("key", "Return")
        self.xdo("key", "Return")
        wait_for("the open-file dialog to close", lambda: not self.find("Select Sony media image"))
        if self.probe:
            wait_for("the picked image", lambda: self.control(IMAGE_FIELD) == win_path(image))

    def pick_inputs(self, work, image):
        """The working folder, then the image, each from the button that has the focus."""
        self.pick_folder("workdir_browse", work)
        self.pick_image(self.press_focused, image)

    # --- the program ----------------------------------------------------------------------------
    def state(self):
        """What the probe last wrote: key -> value."""
        text = read_text(self.state_path)
        return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)

    def control(self, control_id, field="text"):
        return self.state().get("control.%d.%s" % (control_id, field))

    def enabled(self):
        """The names of the action buttons enabled now, sorted."""
        return sorted(name for name, cid in ACTIONS.items() if self.control(cid, "enabled") == "1")

    def close(self):
        """Alt+F4 on the main window, as the close box sends it."""
        self.keys(self.main, "alt+F4")

    def close_ends_with_0(self):
        self.close()
        self.test.assertEqual(self.exit_code(), 0)

    def exit_code(self, timeout=120):
        try:
            self.collect(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("the program did not end")
        return self.process.returncode

    def collect(self, timeout=None):
        out, err = self.process.communicate(timeout=timeout)
        self.stdout, self.stderr = out.decode("utf-8", "replace"), err.decode("utf-8", "replace")

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
        if not hasattr(self, "stderr"):
            self.collect()


def session(test, *args, **kwargs):
    """A Session that ends with the test whatever happens."""
    s = Session(test, *args, **kwargs)
    test.addCleanup(s.end)
    return s
