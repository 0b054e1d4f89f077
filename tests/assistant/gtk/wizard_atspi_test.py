#!/usr/bin/python3
"""The desktop wizard end to end, as a person and a screen reader see it.

tamsor-wizard runs on disc images given on its command line; this script
finds its windows and controls through AT-SPI (the accessibility tree a
screen reader reads), presses buttons through their actions, clicks check
boxes, radio buttons and list rows with the mouse (xdotool), holds Alt on
the keyboard and plays the client computer with the client helpers of the
Windows GUI test (BSDP with scapy, TFTP with curl, HTTP ranges and the
installer's messages). One scenario, step by step; the first failed check
ends it with the step's name and what the wizard showed. A key press that
changes the page, and accessibility faults that leave the wizard usable
(a control's role or name), are noted and reported at the end instead, so
the rest still runs. On a failure the screen and the accessibility tree are
saved in the kept work folder.

Run it inside atspi-session.sh (its own Xvfb, D-Bus and accessibility bus).
With --screenshots DIR it saves a picture of every page and dialog. With
--language LL it runs in that language (LANGUAGE=LL, LANG=LL_CC.UTF-8, the
locale made in the work folder when the system lacks it): it finds the
controls by their translated names from the program's catalog and checks
page titles and buttons, but none of the other texts.

Not covered here: the file chooser of "Open Disc Image...", real optical
drives (udev).
"""
import argparse
import gettext
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win32"))
import wizard_gui_test as windows  # noqa: E402  the client and the expected texts
from wizard_gui_test import (CONFIRM_QUIT, DEFAULT_WAIT, DISC1, DISC2, SHARE_FAILED,  # noqa: E402
                             TITLES, Failure, check, poll, stop)

import pyatspi  # noqa: E402
from gi.repository import GLib  # noqa: E402

# GTK 4.8 offers no accessible cache, which libatspi reports once per program.
GLib.log_set_handler("dbind", GLib.LogLevelFlags.LEVEL_WARNING, lambda *_: None)

LIST_NAME = "Choose the Orvane install disc you want to use:"
USE_DIAGS = "Use Verin Hardware Test"
OPEN_IMAGE = "Open Disc Image..."
# Labels inside these belong to the control, not to the page.
CONTROL_ROLES = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_RADIO_BUTTON,
                 pyatspi.ROLE_LIST_ITEM, pyatspi.ROLE_TOGGLE_BUTTON}
CSD_MARGIN = 32  # at most this many pixels around a GTK window for its decorations
LOCALES = {"da": "da_DK", "de": "de_DE", "es": "es_ES", "fi": "fi_FI", "fr": "fr_FR",
           "it": "it_IT", "ja": "ja_JP", "ko": "ko_KR", "nb": "nb_NO", "nl": "nl_NL",
           "pl": "pl_PL", "ru": "ru_RU", "sv": "sv_SE"}


class AnyText:
    """Stands for a text that the language mode does not check."""

    def __eq__(self, other):
        return True

    def __repr__(self):
        return "<any>"


ANY = AnyText()


# ---- The accessibility tree ---------------------------------------------------------

class Node:
    """One accessible as read at one moment, with its place in the tree."""

    def __init__(self, acc, parent):
        self.acc, self.parent, self.children = acc, parent, []
        self.role, self.name = acc.getRole(), acc.name or ""
        self.states = set(acc.getState().getStates())

    def has(self, state):
        return state in self.states

    def inside_control(self):
        node = self.parent
        while node is not None:
            if node.role in CONTROL_ROLES:
                return True
            node = node.parent
        return False

    def text(self):
        """A label's text (GTK names an empty one "GtkLabel"), else the name."""
        if self.role != pyatspi.ROLE_LABEL:
            return self.name
        try:
            text = self.acc.queryText()
            return text.getText(0, text.characterCount)
        except (NotImplementedError, GLib.Error):
            return self.name

    def extents(self):
        return self.acc.queryComponent().getExtents(pyatspi.WINDOW_COORDS)


class Tree:
    """A window's accessibles in document order. GTK 4 leaves hidden widgets
    out of the tree, so "absent" is how a hidden control reads."""

    def __init__(self, acc):
        self.nodes = []
        self.root = self.read(acc, None)

    def read(self, acc, parent):
        node = Node(acc, parent)
        self.nodes.append(node)
        for child in acc:
            if child is not None:
                node.children.append(self.read(child, node))
        return node

    def all(self, role, name=None):
        return [n for n in self.nodes if n.role == role and (name is None or n.name == name)]

    def first(self, role, name=None):
        found = self.all(role, name)
        return found[0] if found else None

    def labels(self, within=None):
        nodes = self.nodes if within is None else Tree.subtree(within)
        return [n for n in nodes if n.role == pyatspi.ROLE_LABEL and not n.inside_control()]

    @staticmethod
    def subtree(node):
        out = [node]
        for child in node.children:
            out.extend(Tree.subtree(child))
        return out

    def header(self):
        """The header bar: the window's child that sits highest."""
        def top(node):
            try:
                extents = node.extents()
                return (extents.y, -extents.height) if extents.height > 0 else (1 << 30, 0)
            except (NotImplementedError, GLib.Error):
                return (1 << 30, 0)
        return min(self.root.children, key=top) if self.root.children else None

    def dump(self):
        lines = []
        for node in self.nodes:
            depth, up = 0, node.parent
            while up is not None:
                depth, up = depth + 1, up.parent
            states = sorted(pyatspi.stateToString(s) for s in node.states)
            lines.append("%s%s %r [%s]" % ("  " * depth, node.acc.getRoleName(), node.name,
                                           " ".join(states)))
        return "\n".join(lines)


def read_tree(acc):
    """The tree, or None when a part of it went away while it was read
    (read_tree.error says what)."""
    try:
        return Tree(acc)
    except (GLib.Error, AttributeError) as error:
        read_tree.error = error
        return None


def xdotool(*arguments):
    result = subprocess.run(["xdotool", *arguments], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=30)
    return result.stdout.decode().split() if result.returncode == 0 else []


# ---- The scenario -------------------------------------------------------------------

class Scenario(windows.Scenario):
    """The Windows scenario's discs, client and installer steps
    (prepare_discs, boot_client, installer_progress...), which call back
    install_line and shot; the wizard side through AT-SPI."""

    def __init__(self, args):
        self.args = args
        self.step_name = "setup"
        self.folder = tempfile.mkdtemp(prefix="tamsor-atspi-", dir="/tmp")
        self.log_path = os.path.join(self.folder, "wizard-stderr.txt")
        self.log = open(self.log_path, "wb")
        self.shots = args.screenshots
        if self.shots:
            os.makedirs(self.shots, exist_ok=True)
        self.english = not args.language
        self.env = self.wizard_environment()
        self.translation = self.catalog()
        self.wizards = []
        self.process = None
        self.main = None
        self.main_xid = None
        self.tftp_port = self.http_port = None
        self.late_failures = []
        self.noted = set()
        self.default_height = None  # of the wait dialog with its template texts

    # ---- Language ------------------------------------------------------------------

    def wizard_environment(self):
        env = dict(os.environ)
        for name in ("TAMSOR_DISC_IMAGES", "LC_ALL", "LC_MESSAGES", "LANGUAGE"):
            env.pop(name, None)
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0")  # GTK's own allocations
        check(env.get("DISPLAY") and env.get("DBUS_SESSION_BUS_ADDRESS"),
              "no X display or session bus: run this inside atspi-session.sh")
        if self.english:
            env["LANG"] = "C.UTF-8"
            return env
        language = self.args.language
        locale = language if "_" in language else LOCALES.get(language, language + "_" +
                                                              language.upper())
        env.update(LANGUAGE=language, LANG=locale + ".UTF-8")
        known = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE).stdout.decode().lower()
        if locale.lower() + ".utf8" not in known.split():
            # gettext ignores LANGUAGE in the C locale: make this one here.
            path = os.path.join(self.folder, "locales")
            os.makedirs(path, exist_ok=True)
            made = subprocess.run(["localedef", "-i", locale, "-f", "UTF-8",
                                   os.path.join(path, locale + ".UTF-8")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            check(made.returncode in (0, 1), "localedef could not make %s.UTF-8 (Debian: "
                                             "locales)" % locale)
            env["LOCPATH"] = path
        return env

    def catalog(self):
        """The program's catalog of the language, as built beside it, else
        compiled from the sources; GTK's own for what ours lacks (Yes, No)."""
        if self.english:
            return gettext.NullTranslations()
        self.gtk = gettext.translation("gtk40", languages=[self.args.language], fallback=True)
        language = self.args.language
        built = os.path.join(os.path.dirname(os.path.abspath(self.args.wizard)), "locale",
                             language, "LC_MESSAGES", "tamsor.mo")
        if not os.path.exists(built):
            source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                  "assistant", "po", language + ".po")
            built = os.path.join(self.folder, language + ".mo")
            subprocess.run(["msgfmt", "-o", built, source], check=True)
        with open(built, "rb") as mo:
            return gettext.GNUTranslations(mo)

    def tr(self, english):
        ours = self.translation.gettext(english)
        if ours != english or self.english:
            return ours
        return self.gtk.gettext("_" + english).replace("_", "") if english in ("Yes", "No") \
            else ours

    def text(self, english):
        """A text that only the English run checks."""
        return english if self.english else ANY

    def note(self, message):
        """An accessibility fault that leaves the scenario able to go on."""
        if message not in self.noted:
            self.noted.add(message)
            self.late_failures.append(message)
            print("   FAILED (noted): " + message, flush=True)

    # ---- Processes and windows -----------------------------------------------------

    def start_wizard(self, images):
        process = subprocess.Popen([self.args.wizard, *images], env=self.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=self.log)
        self.wizards.append(process)
        return process

    def applications(self, pids):
        desktop = pyatspi.Registry.getDesktop(0)
        found = []
        for app in desktop:
            try:
                if app is not None and app.get_process_id() in pids:
                    found.append(app)
            except GLib.Error:
                pass
        return found

    def top_levels(self, pids=None):
        """The windows on screen of the given wizard processes (default: all).
        GTK 4.8 marks only plain windows "showing", dialogs just "visible"."""
        pids = pids or {p.pid for p in self.wizards if p.poll() is None}
        shown = []
        for app in self.applications(pids):
            try:
                shown.extend(w for w in app if w is not None and
                             w.getState().contains(pyatspi.STATE_VISIBLE))
            except GLib.Error:
                pass
        return shown

    def attach(self, process):
        """Waits for the wizard's window; remembers it and its X window."""
        self.process = process

        def window():
            if process.poll() is not None:
                raise Failure("the wizard ended at start (exit code %d)" % process.returncode)
            frames = self.top_levels({process.pid})
            return frames[0] if len(frames) == 1 else None
        deadline = time.monotonic() + 60
        self.main = None
        while self.main is None:
            check(time.monotonic() < deadline, "no wizard window within 60 s")
            self.main = window()
            time.sleep(0.1)
        if self.main.getRole() != pyatspi.ROLE_FRAME or self.main.name != "Tamsor":
            self.note("the wizard's window is a %s named %r, not a frame named 'Tamsor'"
                      % (self.main.getRoleName(), self.main.name))
        extents = self.main.queryComponent().getExtents(pyatspi.WINDOW_COORDS)
        deadline = time.monotonic() + 10
        self.main_xid = None
        while self.main_xid is None:
            check(time.monotonic() < deadline, "no X window of %dx%d for the wizard's window"
                  % (extents.width, extents.height))
            self.main_xid = self.x_window(extents.width, extents.height)
            time.sleep(0.1)
        # GTK's window coordinates leave out the margin of its client-side
        # decorations, which the X window includes.
        geometry = xdotool("getwindowgeometry", "--shell", self.main_xid)
        values = dict(item.split("=", 1) for item in geometry)
        self.margin = ((int(values["WIDTH"]) - extents.width) // 2,
                       (int(values["HEIGHT"]) - extents.height) // 2)

    def x_window(self, width, height, besides=None):
        """The wizard's visible X window of that size (other than besides)."""
        for wid in xdotool("search", "--onlyvisible", "--pid", str(self.process.pid)):
            values = dict(item.split("=", 1) for item in xdotool("getwindowgeometry", "--shell", wid))
            # The X window may be larger by the decorations' margin.
            if wid != besides and 0 <= int(values["WIDTH"]) - width <= 2 * CSD_MARGIN and \
                    0 <= int(values["HEIGHT"]) - height <= 2 * CSD_MARGIN:
                return wid
        return None

    def tree(self):
        """The wizard's window, read again until no part of it changes meanwhile."""
        deadline = time.monotonic() + 5
        while True:
            tree = read_tree(self.main)
            if tree is not None:
                return tree
            if self.process.poll() is not None:
                raise Failure("the wizard ended (exit status %d)" % self.process.returncode)
            check(time.monotonic() < deadline, "the wizard's window could not be read for 5 s: "
                  "%s" % read_tree.error)
            time.sleep(0.1)

    def is_main(self, acc):
        return acc.path == self.main.path

    def dialogs(self):
        return [w for w in self.top_levels({self.process.pid}) if not self.is_main(w)]

    def dialog(self, timeout, what):
        """The one dialog open within timeout, read; None when timeout is 0 and none is."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.dialogs()
            if found:
                tree = read_tree(found[0])
                if tree is not None:
                    return tree
            if time.monotonic() >= deadline:
                check(timeout == 0, "no %s within %g s" % (what, timeout))
                return None
            time.sleep(0.1)

    def dialog_content(self, tree):
        """(title of the window, non-empty texts, the buttons' texts)."""
        return (tree.root.name, [n.text() for n in tree.labels() if n.text()],
                [self.button_text(n) for n in tree.all(pyatspi.ROLE_PUSH_BUTTON)])

    def button_text(self, node):
        """The text a button shows; a name that differs from it is noted."""
        inner = [n.text() for n in Tree.subtree(node) if n.role == pyatspi.ROLE_LABEL]
        shown = inner[0] if len(inner) == 1 else node.name
        if node.name != shown:
            self.note("the button %r is named %r" % (shown, node.name))
        return shown

    def answer(self, tree, english):
        buttons = [n for n in tree.all(pyatspi.ROLE_PUSH_BUTTON)
                   if self.button_text(n) == self.tr(english)]
        check(buttons, "no button %r in the dialog: %r"
              % (self.tr(english), self.dialog_content(tree)[2]))
        self.act(buttons[0])
        poll(lambda: len(self.dialogs()), 0, 10, "open dialogs after %s" % english)

    def dialog_role(self, tree, what):
        if tree.root.role != pyatspi.ROLE_DIALOG:
            self.note("the %s is a %s, not a dialog" % (what, tree.root.acc.getRoleName()))

    # ---- Acting ------------------------------------------------------------------------

    def act(self, node):
        """Presses a control through its first action, as a screen reader does."""
        try:
            action = node.acc.queryAction()
            check(action.nActions > 0, "%r has no action" % node.name)
            action.doAction(0)
        except (NotImplementedError, GLib.Error) as error:
            raise Failure("the action of %s %r failed: %s"
                          % (node.acc.getRoleName(), node.name, error))

    def click(self, node, x=None, y=None):
        """A mouse click on the wizard's window: the node's middle, or (x, y)."""
        if x is None:
            extents = node.extents()
            x, y = extents.x + extents.width // 2, extents.y + extents.height // 2
        x, y = x + self.margin[0], y + self.margin[1]
        subprocess.run(["xdotool", "mousemove", "--window", self.main_xid, str(x), str(y),
                        "click", "1", "mousemove", "2000", "2000"], check=True, timeout=30)

    def focus(self):
        """Keyboard focus on the wizard's window (no window manager gives it)."""
        subprocess.run(["xdotool", "windowfocus", "--sync", self.main_xid], check=True, timeout=30)
        poll(lambda: self.main.getState().contains(pyatspi.STATE_ACTIVE), True, 5,
             "the wizard's window active after xdotool windowfocus")

    def control(self, role, english, tree=None):
        node = (tree or self.tree()).first(role, self.tr(english))
        check(node is not None, "no %s %r on the page" % (pyatspi.Role(role), self.tr(english)))
        return node

    def button(self, english):
        return self.control(pyatspi.ROLE_PUSH_BUTTON, english)

    def choice(self, english, tree=None):
        """A radio button (GTK 4.8 calls a grouped check button a check box)."""
        tree = tree or self.tree()
        for role in (pyatspi.ROLE_RADIO_BUTTON, pyatspi.ROLE_CHECK_BOX):
            node = tree.first(role, self.tr(english))
            if node is not None:
                if role != pyatspi.ROLE_RADIO_BUTTON:
                    self.note("%r is a %s, not a radio button" % (english, node.acc.getRoleName()))
                return node
        raise Failure("no radio button %r on the page" % self.tr(english))

    def checked(self, node):
        return pyatspi.STATE_CHECKED in set(node.acc.getState().getStates())

    def shown(self, role, english):
        return self.tree().first(role, self.tr(english)) is not None

    # ---- Pages --------------------------------------------------------------------

    def page(self):
        """(title, Go Back shown, the right-hand button's name)."""
        tree = self.tree()
        header = tree.header()
        labels = [n.text() for n in tree.labels(header)] if header else []
        right = [n.name for n in tree.all(pyatspi.ROLE_PUSH_BUTTON)
                 if n.name in (self.tr("Continue"), self.tr("Quit"))]
        return (labels[0] if labels else None,
                tree.first(pyatspi.ROLE_PUSH_BUTTON, self.tr("Go Back")) is not None,
                right[0] if len(right) == 1 else right)

    def on_page(self, index, timeout=15):
        want = (self.tr(TITLES[index]), index != 0, self.tr("Quit" if index >= 6 else "Continue"))
        poll(self.page, want, timeout, "page %d (title, Go Back shown, button)" % index)

    def press(self, english, index):
        self.act(self.button(english))
        self.on_page(index)

    def walk(self, forward, back, names=None):
        for index in forward:
            self.press("Continue", index)
            if names and index in names:
                self.shot(names[index])
        for index in back:
            self.press("Go Back", index)

    def keys_do_nothing(self, index):
        self.focus()
        focused = [n for n in self.tree().nodes if n.has(pyatspi.STATE_FOCUSED)]
        where = ("%s %r" % (focused[-1].acc.getRoleName(), focused[-1].name)) if focused else "none"
        for name, key in (("Enter", "Return"), ("Escape", "Escape")):
            subprocess.run(["xdotool", "key", key], check=True, timeout=30)
            time.sleep(0.5)  # give the wizard time to (not) act
            check(len(self.top_levels()) == 1, "%s closed the wizard or opened a window" % name)
            got = self.page()[0]
            if got != self.tr(TITLES[index]):
                self.late_failures.append("%s on page %d (focus on %s) moved it to %r"
                                          % (name, index, where, got))
                print("   FAILED: " + self.late_failures[-1], flush=True)
                self.press("Go Back", index)

    def disc_list(self):
        """(names of the list's items, indices of the selected ones)."""
        tree = self.tree()
        lists = tree.all(pyatspi.ROLE_LIST)
        check(len(lists) == 1, "%d lists on the disc page" % len(lists))
        items = [n for n in lists[0].children if n.role == pyatspi.ROLE_LIST_ITEM]
        names = []
        for item in items:
            inner = [n.text() for n in Tree.subtree(item) if n.role == pyatspi.ROLE_LABEL]
            if not item.name:
                self.note("a disc list item has no name (its labels: %r)" % inner)
            names.append(item.name or (inner[0] if inner else ""))
        return names, [i for i, item in enumerate(items) if item.has(pyatspi.STATE_SELECTED)]

    def list_node(self):
        node = self.tree().first(pyatspi.ROLE_LIST)
        check(node is not None, "no disc list")
        if node.name != self.tr(LIST_NAME):
            self.note("the disc list is named %r" % node.name)
        return node

    def click_list_empty_area(self):
        """A click below the last row, inside the list's box; False when the
        rows fill it."""
        node = self.list_node()
        box, up = node, node.parent
        while up is not None and up.role not in (pyatspi.ROLE_FRAME, pyatspi.ROLE_SCROLL_PANE):
            up = up.parent
        if up is not None and up.role == pyatspi.ROLE_SCROLL_PANE:
            box = up
        outer = box.extents()
        rows = [n.extents() for n in node.children]
        bottom = max((r.y + r.height for r in rows), default=outer.y)
        if outer.y + outer.height - bottom < 8:
            return False
        self.click(None, outer.x + outer.width // 2, (bottom + outer.y + outer.height) // 2)
        return True

    # ---- The install page ---------------------------------------------------------------

    def install_nodes(self, tree):
        """The progress bar and the status and remaining-time labels beside it."""
        bar = tree.first(pyatspi.ROLE_PROGRESS_BAR)
        check(bar is not None, "no progress bar on the install page")
        status = None
        for relation in bar.acc.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY and relation.getNTargets():
                target = relation.getTarget(0)
                status = next((n for n in tree.nodes if n.acc.path == target.path), None)
        siblings = bar.parent.children
        at = siblings.index(bar)
        before = [n for n in siblings[:at] if n.role == pyatspi.ROLE_LABEL]
        after = [n for n in siblings[at + 1:] if n.role == pyatspi.ROLE_LABEL]
        if status is None and before:
            status = before[-1]
        check(status is not None, "no status label before the progress bar")
        return bar, status, (after[0] if after else None)

    def percent(self, bar):
        value = bar.acc.queryValue()
        span = value.maximumValue - value.minimumValue
        return round((value.currentValue - value.minimumValue) * 100 / span) if span else None

    def moving(self, bar):
        """Whether the bar's pixels change (a pulsing bar) within about half a second."""
        extents = bar.extents()
        crop = "%dx%d+%d+%d" % (extents.width, extents.height, extents.x + self.margin[0],
                                extents.y + self.margin[1])
        frames = set()
        for _ in range(4):
            frames.add(subprocess.run(["import", "-window", self.main_xid, "-crop", crop, "rgb:-"],
                                      stdout=subprocess.PIPE, check=True, timeout=30).stdout)
            if len(frames) > 1:
                return True
            time.sleep(0.15)
        return False

    def install_line(self, status, remaining, position, marquee, timeout=15):
        """Waits for the install page's two lines and progress bar; position
        None: a moving bar, whose position means nothing."""
        def shown():
            bar, status_node, remaining_node = self.install_nodes(self.tree())
            return (status_node.text(), remaining_node.text() if remaining_node else "",
                    ANY if position is None else self.percent(bar), self.moving(bar))
        poll(shown, (self.text(status), self.text(remaining), position, marquee), timeout,
             "install page (status, remaining, percent, moving)")
        # A screen reader learns of a pulsing bar from its busy state.
        if self.install_nodes(self.tree())[0].has(pyatspi.STATE_BUSY) != marquee:
            self.note("the progress bar %s but is %smarked busy"
                      % ("pulses" if marquee else "stands still", "not " if marquee else ""))

    def check_bar_labelled(self):
        bar, status, _ = self.install_nodes(self.tree())
        if bar.name != status.text():
            self.note("the progress bar is named %r, not by its status label %r"
                      % (bar.name, status.text()))

    # ---- Pictures -------------------------------------------------------------------------

    def shot(self, name, folder=None, window="root"):
        folder = folder or self.shots
        if not folder:
            return
        time.sleep(0.4)  # let the window finish painting
        trim = ["-trim", "+repage"] if window == "root" and folder == self.shots else []
        subprocess.run(["import", "-window", window, *trim, os.path.join(folder, name + ".png")],
                       check=True, timeout=30)

    def shot_dialog(self, name):
        """The dialog's own window: without a window manager it has no frame
        and would blend into the wizard behind it."""
        if not self.shots:
            return
        dialogs = self.dialogs()
        check(len(dialogs) == 1, "%d dialogs to take a picture of" % len(dialogs))
        extents = dialogs[0].queryComponent().getExtents(pyatspi.WINDOW_COORDS)
        wid = self.x_window(extents.width, extents.height, besides=self.main_xid)
        check(wid is not None, "no X window for the dialog")
        self.shot(name, window=wid)

    def save_failure(self):
        try:
            self.shot("failure", self.folder)
        except (subprocess.SubprocessError, OSError):
            pass
        try:
            with open(os.path.join(self.folder, "failure-tree.txt"), "w") as out:
                for window in self.top_levels():
                    tree = read_tree(window)
                    out.write((tree.dump() if tree else "(gone)") + "\n\n")
        except (GLib.Error, OSError, Failure):
            pass

    def cleanup(self):
        for process in self.wizards:
            stop(process)
        self.log.close()

    def ended(self, process, what):
        """The process ends by itself with status 0."""
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            raise Failure("%s: the window closed but the process keeps running" % what)
        check(process.returncode == 0, "%s: exit status %d" % (what, process.returncode))

    # ---- The scenario ----------------------------------------------------------------------

    def run(self):
        disc1, disc2, image1, image2 = self.prepare_discs()
        self.run_without_disc(disc1)
        self.run_until_install(disc1, disc2)
        self.run_client(disc1, image1, image2)
        self.step("the end")
        check(not self.late_failures, "; ".join(self.late_failures))

    def run_without_disc(self, disc1):
        self.step("no disc: start")
        no_disc = self.start_wizard([])
        self.attach(no_disc)
        self.on_page(0)

        self.step("no disc: page 1 opens the wait dialog with its template texts")
        self.act(self.button("Continue"))
        dialog = self.dialog(15, "wait-for-disc dialog on page 1 without a disc")
        self.dialog_role(dialog, "wait-for-disc dialog")
        _, texts, buttons = self.dialog_content(dialog)
        check(tuple(texts) == tuple(self.text(t) for t in DEFAULT_WAIT),
              "wait dialog texts: %r" % texts)
        check(buttons == [self.tr("OK")], "wait dialog buttons: %r" % buttons)
        self.default_height = dialog.root.extents().height
        self.shot_dialog("wait-dialog-default")
        self.answer(dialog, "OK")
        self.on_page(1)
        check(self.disc_list() == ([], []), "list not empty without a disc: %r" % (self.disc_list(),))
        if self.english and not self.shown(pyatspi.ROLE_PUSH_BUTTON, OPEN_IMAGE):
            self.note("no button %r on page 1" % OPEN_IMAGE)

        self.step("no disc: Continue refuses with -6762")
        self.act(self.button("Continue"))
        box = self.dialog(10, "notice after Continue without a disc")
        self.dialog_role(box, "notice")
        check(self.dialog_content(box) == ("Tamsor", [self.text(SHARE_FAILED)], [self.tr("OK")]),
              "notice (title, texts, buttons): %r" % (self.dialog_content(box),))
        self.shot_dialog("notice-share-failed")
        self.answer(box, "OK")
        self.on_page(1)

        self.step("a second copy hands over its image and exits without a window")
        self.second_copy([disc1])
        poll(self.disc_list, ([DISC1], [0]), 15, "disc list after the image was handed over")
        self.on_page(1)

        self.step("no disc: closing asks nothing")
        header = self.tree().header()
        closers = [n for n in Tree.subtree(header) if n.role == pyatspi.ROLE_PUSH_BUTTON]
        check(closers, "no buttons in the header bar")
        named = [n for n in closers if n.name == "Close"]
        self.act(named[0] if named else closers[-1])
        check(not self.dialogs_within(1.5), "closing without a client asked a question")
        poll(lambda: len(self.top_levels({no_disc.pid})), 0, 15, "windows after close")
        self.ended(no_disc, "close")

    def dialogs_within(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is None and self.dialogs():
                return True
            time.sleep(0.1)
        return False

    def second_copy(self, images):
        """A second tamsor-wizard exits at once; no window appears meanwhile."""
        second = self.start_wizard(images)
        deadline = time.monotonic() + 60
        while second.poll() is None:
            count = len(self.top_levels())
            check(count == 1, "%d wizard windows while a second copy starts" % count)
            check(time.monotonic() < deadline, "the second copy is still running after 60 s")
            time.sleep(0.1)
        check(second.returncode == 0, "the second copy's exit status %d" % second.returncode)
        check(len(self.top_levels()) == 1, "the first wizard went away")
        check(self.process.poll() is None, "the first wizard ended")

    def run_until_install(self, disc1, disc2):
        self.step("start with two discs")
        self.attach(self.start_wizard([disc1, disc2]))
        self.on_page(0)
        self.shot("page0")

        self.step("a second copy without images exits; the first stays on its page")
        self.second_copy([])
        self.on_page(0)

        self.step("page 0: Enter and Escape do nothing")
        self.keys_do_nothing(0)

        self.step("page 1 without Alt: the disc listed, no hardware-test option")
        self.press("Continue", 1)
        poll(self.disc_list, ([DISC1], [0]), 15, "disc list (names, selected)")
        check(not self.shown(pyatspi.ROLE_CHECK_BOX, USE_DIAGS), "%r shown without Alt" % USE_DIAGS)
        self.shot("page1")

        self.step("page 1: a click on the list's empty area keeps the selection")
        if not self.click_list_empty_area():
            print("   (the rows fill the list: no empty area to click)", flush=True)
        poll(self.disc_list, ([DISC1], [0]), 5, "selection after the click")

        self.step("page 1: a selection cleared through AT-SPI comes back")
        try:
            check(self.list_node().acc.querySelection().clearSelection(),
                  "the disc list refused to clear its selection")
            poll(self.disc_list, ([DISC1], [0]), 5, "selection after clearing it")
        except NotImplementedError:
            self.note("the disc list has no Selection interface")
        self.click(self.list_node().children[0])
        poll(self.disc_list, ([DISC1], [0]), 5, "selection after a click on the row")

        self.step("pages 2 to 7 with Wavlo, and back")
        self.press("Continue", 2)
        check(self.checked(self.choice("Wavlo")), "Wavlo not checked at first")
        self.shot("page2")
        self.keys_do_nothing(2)
        self.walk([3, 4, 5, 7], [5, 4, 3, 2, 1, 0], {3: "page3", 4: "page4", 5: "page5"})

        self.step("page 1 with Alt held: the hardware-test option")
        self.focus()
        subprocess.run(["xdotool", "keydown", "Alt_L"], check=True, timeout=30)
        try:
            self.click(self.button("Continue"))
            self.on_page(1)
        finally:
            subprocess.run(["xdotool", "keyup", "Alt_L"], check=True, timeout=30)
        poll(lambda: self.shown(pyatspi.ROLE_CHECK_BOX, USE_DIAGS), True, 10,
             "%r shown with Alt" % USE_DIAGS)
        self.click(self.control(pyatspi.ROLE_CHECK_BOX, USE_DIAGS))
        poll(lambda: self.checked(self.control(pyatspi.ROLE_CHECK_BOX, USE_DIAGS)), True, 5,
             "%r checked" % USE_DIAGS)
        self.shot("page1-diags")

        self.step("pages 2 to 6 with Ethernet and the hardware test, and back")
        self.press("Continue", 2)
        self.click(self.choice("Ethernet"))
        poll(lambda: self.checked(self.choice("Ethernet")), True, 5, "Ethernet checked")
        check(not self.checked(self.choice("Wavlo")), "Wavlo still checked")
        self.walk([3, 5, 6], [5, 3, 2, 1], {6: "page6"})

        self.step("without the hardware test to page 7")
        self.click(self.control(pyatspi.ROLE_CHECK_BOX, USE_DIAGS))
        poll(lambda: self.checked(self.control(pyatspi.ROLE_CHECK_BOX, USE_DIAGS)), False, 5,
             "%r unchecked" % USE_DIAGS)
        self.walk([2, 3, 5, 7], [])
        self.install_line("Waiting for Talvyn to connect...", "", 0, True)
        self.check_bar_labelled()
        check(self.button("Go Back").has(pyatspi.STATE_SENSITIVE),
              "Go Back disabled before any client")
        self.shot("page7")

    def run_client(self, disc1, image1, image2):
        def client_started():
            poll(lambda: self.button("Go Back").has(pyatspi.STATE_SENSITIVE), False, 15,
                 "Go Back enabled after the first transfer")
            self.install_line("Waiting for Talvyn to start up...", "", 0, True)
            self.on_page(7)
        self.boot_client(disc1, image1, client_started)
        self.installer_progress()
        self.check_bar_labelled()

        self.step("Quit while a client is connected asks; No keeps it running")
        self.act(self.button("Quit"))
        question = self.dialog(10, "quit question")
        self.dialog_role(question, "quit question")
        title, texts, buttons = self.dialog_content(question)
        check((title, texts) == ("Tamsor", [self.text(CONFIRM_QUIT)]),
              "quit question (title, texts): %r" % ((title, texts),))
        check(sorted(buttons) == sorted([self.tr("Yes"), self.tr("No")]),
              "quit question buttons: %r" % buttons)
        self.shot_dialog("quit-question")
        self.answer(question, "No")
        check(self.process.poll() is None, "the wizard ended after No")
        self.on_page(7)
        self.read_range(image1, 0, 2047)

        self.step("installer: Eject asks for the next disc")
        self.post({"Message": "Eject", "NextDisc": DISC2})
        dialog = self.dialog(15, "wait dialog after Eject")
        self.dialog_role(dialog, "wait-for-disc dialog")
        _, texts, buttons = self.dialog_content(dialog)
        want = [self.text("Insert the \u201c%s\u201d disc to continue installation." % DISC2),
                self.text("The installer requires this disc to continue installing Orvane.")]
        check(texts == want, "wait dialog texts: %r" % texts)
        # Not enlarged (that is for a failed eject); a title that wraps may
        # make it a little taller so that nothing is cut off.
        height = dialog.root.extents().height
        check(self.default_height <= height < self.default_height + 40,
              "the eject dialog is %d pixels tall, the default one %d (only a failed eject "
              "enlarges it)" % (height, self.default_height))
        _, status, _ = self.install_nodes(self.tree())
        check(status.text() == self.text("Waiting for disc \u201c%s\u201d..." % DISC2),
              "status while waiting: %r" % status.text())
        self.shot_dialog("wait-dialog-eject")

        self.step("the next disc closes the wait dialog by itself")
        poll(lambda: len(self.dialogs()), 0, 20, "open dialogs after the next disc")
        self.installer_success(image2)

        self.step("Quit after Success asks nothing and ends the process")
        self.act(self.button("Quit"))
        check(not self.dialogs_within(1.5), "Quit after Success asked a question")
        poll(lambda: len(self.top_levels({self.process.pid})), 0, 15, "windows after Quit")
        self.ended(self.process, "Quit")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wizard", required=True, help="tamsor-wizard")
    parser.add_argument("--mkimage", required=True, help="tamsor-mkimage")
    parser.add_argument("--disc-tool", required=True, help="tamsor-disc")
    parser.add_argument("--screenshots", help="folder for the pictures")
    parser.add_argument("--language", help="run in this language (da, de, ..., zh_TW)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    return windows.run_scenario(Scenario, parser.parse_args(), errors=(GLib.Error,))


if __name__ == "__main__":
    sys.exit(main())
