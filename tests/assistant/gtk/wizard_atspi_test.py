#!/usr/bin/python3
"""The desktop wizard end to end, as a person and a screen reader use it.

Runs tamsor-wizard inside atspi-session.sh (its own Xvfb, D-Bus and
accessibility bus) and finds every control it needs by role and accessible
name, as a screen reader does. Buttons are pressed through their actions;
check boxes and radio buttons (GTK 4.8 gives them no action) are clicked
with xdotool, which also holds Alt. Disc images reach the running wizard as
a person opens them: a second tamsor-wizard IMAGE, which hands the image
over and exits. The client computer is played by the Windows GUI test's
helpers (BSDP, TFTP, HTTP ranges, the installer's messages). The first
failed check ends the run with the step's name, a picture of the screen and
the wizard's stderr in the kept work folder.

With --screenshots DIR it saves a picture of every page and dialog. With
--language LL it runs in that language (LANG=LL.UTF-8: the wizard takes the
language from it when no such locale is installed), finds the controls by
their names in the program's catalog and checks page titles only. With
--dark the desktop comes to prefer the dark style once the window is up (a
fake settings portal); --scale 2 runs it as on a screen at scale 2. Every
run checks that the side picture sits on the window's background.

Not covered here: the "Open Disc Image..." file chooser, real drives (udev).
"""
import argparse
import gettext
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win32"))
import wizard_gui_test as windows  # noqa: E402  the client and its checks
from wizard_gui_test import DISC1, DISC2, TITLES, Failure, check  # noqa: E402

import dbus  # noqa: E402
import picture_edge  # noqa: E402
import pyatspi  # noqa: E402
from gi.repository import GLib  # noqa: E402

# GTK 4.8 offers no accessible cache, which libatspi reports once per program.
GLib.log_set_handler("dbind", GLib.LogLevelFlags.LEVEL_WARNING, lambda *_: None)

LIST_NAME = "Choose the Orvane install disc you want to use:"
USE_DIAGS = "Use Verin Hardware Test"
PUSH_BUTTON, CHECK_BOX, RADIO = (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_CHECK_BOX,
                                 pyatspi.ROLE_RADIO_BUTTON)
PORTAL, PORTAL_PATH = "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop"
PORTAL_SETTINGS = "org.freedesktop.portal.Settings"
EDGE_BAND = 12  # how deep the side picture's edges are read, in the layout's pixels


def poll(read, want, timeout, what):
    """Reads until read() == want. A part of the tree that goes away while it
    is read (GLib.Error) only means "not yet"."""
    def read_safely():
        try:
            return read()
        except GLib.Error as error:
            return error
    return windows.poll(read_safely, want, timeout, what)


def one(read, what, timeout=15):
    """Waits until read() gives exactly one thing; that thing."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            found = read()
        except GLib.Error:
            found = []
        if len(found) == 1:
            return found[0]
        check(time.monotonic() < deadline, "%d of %s instead of one" % (len(found), what))
        time.sleep(0.1)


def xdotool(*arguments):
    return subprocess.run(["xdotool", *arguments], check=True, stdout=subprocess.PIPE,
                          timeout=30).stdout.decode().split()


def descendants(acc):
    for child in acc:
        if child is not None:
            yield child
            yield from descendants(child)


def text(acc):
    shown = acc.queryText()
    return shown.getText(0, shown.characterCount)


def extents(acc):
    return acc.queryComponent().getExtents(pyatspi.WINDOW_COORDS)


def has(acc, state):
    return acc.getState().contains(state)


class Scenario(windows.Scenario):
    """The Windows scenario's discs and client (prepare_discs, boot_client,
    installer_progress...), which call back install_line and shot; the
    wizard side through AT-SPI."""

    def __init__(self, args):
        check(os.environ.get("DBUS_SESSION_BUS_ADDRESS"), "run this inside atspi-session.sh")
        super().__init__(args)
        self.english = not args.language
        for name in ("LC_ALL", "LC_MESSAGES", "LANGUAGE"):
            self.env.pop(name, None)
        self.env["ASAN_OPTIONS"] = "detect_leaks=0"  # GTK's own allocations
        self.env["LANG"] = args.language + ".UTF-8" if args.language else "C.UTF-8"
        locales = os.path.join(os.path.dirname(os.path.abspath(args.wizard)), "locale")
        self.ours = gettext.translation("tamsor", locales, [args.language]) \
            if args.language else gettext.NullTranslations()
        # GTK's own Yes and No; English ones are fine too, as without the locale.
        self.gtk = gettext.translation("gtk40", languages=[args.language or "en"], fallback=True)
        self.process = self.main = self.page_index = self.portal = None
        self.scale = args.scale
        if args.scale != 1:
            self.env["GDK_SCALE"] = str(args.scale)
        self.pictures = set()

    def display(self):
        return os.environ.get("DISPLAY")

    def tr(self, english):
        return self.ours.gettext(english)

    def en(self, value):
        """A text that only the English run checks."""
        return value if self.english else None

    # ---- Windows and controls ---------------------------------------------------------

    def start_wizard(self, images):
        process = subprocess.Popen([self.args.wizard, *images], env=self.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=self.log)
        self.wizards.append(process)
        return process

    def windows_of(self, pid):
        """The top-level windows on screen: "visible" ones (GTK 4.8 marks no
        dialog "showing")."""
        for app in pyatspi.Registry.getDesktop(0):
            try:
                if app is not None and app.get_process_id() == pid:
                    return [w for w in app if w is not None and has(w, pyatspi.STATE_VISIBLE)]
            except GLib.Error:  # a program that just ended
                pass
        return []

    def attach(self, process):
        """The wizard's window, its X window and the margin of GTK's
        decorations around it, which its window coordinates leave out."""
        self.process = process
        self.main = one(lambda: self.windows_of(process.pid), "the wizard's windows", 60)
        check(self.main.getRole() == pyatspi.ROLE_FRAME, "the wizard's window is a %s"
              % self.main.getRoleName())
        self.xid = one(self.x_windows, "the wizard's X windows")
        geometry = dict(item.split("=", 1) for item in xdotool("getwindowgeometry", "--shell",
                                                                 self.xid))
        size = extents(self.main)  # in the layout's pixels; X's are `scale` times as many
        self.margin = ((int(geometry["WIDTH"]) - size.width * self.scale) // 2,
                       (int(geometry["HEIGHT"]) - size.height * self.scale) // 2)

    def x_windows(self):
        return xdotool("search", "--onlyvisible", "--pid", str(self.process.pid))

    def find(self, within, role, english=None):
        """The control of that role and accessible name (translated; a set:
        any of those names; None: any name)."""
        names = {self.tr(english)} if isinstance(english, str) else english
        for acc in descendants(within):
            if acc.getRole() == role and (names is None or acc.name in names):
                return acc
        raise Failure("no %s named %r" % (role, names))

    def shown(self, role, english):
        return any(a.getRole() == role and a.name == self.tr(english)
                   for a in descendants(self.main))

    def act(self, acc):
        """Presses a button through its action, as a screen reader does."""
        acc.queryAction().doAction(0)

    def click(self, acc):
        box = extents(acc)
        xdotool("mousemove", "--window", self.xid,
                str((box.x + box.width // 2) * self.scale + self.margin[0]),
                str((box.y + box.height // 2) * self.scale + self.margin[1]), "click", "1",
                "mousemove", "2000", "2000")

    def toggle(self, role, english, on):
        acc = self.find(self.main, role, english)
        self.click(acc)
        poll(lambda: has(acc, pyatspi.STATE_CHECKED), on, 5, "%r checked" % english)

    def focus(self):
        """The keyboard on the wizard's window (there is no window manager to give it)."""
        xdotool("windowfocus", "--sync", self.xid)
        poll(lambda: has(self.main, pyatspi.STATE_ACTIVE), True, 5, "the wizard's window active")

    def dialogs(self):
        return [w for w in self.windows_of(self.process.pid) if w.path != self.main.path]

    def dialog(self, what):
        dialog = one(self.dialogs, what)
        check(dialog.getRole() == pyatspi.ROLE_DIALOG, "the %s is a %s, not a dialog"
              % (what, dialog.getRoleName()))
        return dialog

    def picture(self, name):
        """The dialog's own X window: without a window manager it has no
        frame and would blend into the wizard's window behind it."""
        if self.shots:
            xid = one(lambda: [w for w in self.x_windows() if w != self.xid], "dialog X windows")
            time.sleep(0.4)  # let it finish painting
            subprocess.run(["import", "-window", xid, os.path.join(self.shots, name + ".png")],
                           check=True, timeout=30)

    def escape(self):
        """Escape pressed in the open dialog."""
        xid = one(lambda: [w for w in self.x_windows() if w != self.xid], "dialog X windows")
        xdotool("windowfocus", "--sync", xid)
        poll(lambda: xdotool("getwindowfocus"), [xid], 5, "the dialog's X window focused")
        xdotool("key", "Escape")

    def keys_ignored(self, dialog, what):
        """The wait dialog: no close button, and Escape leaves it open."""
        others = [a.name for a in descendants(dialog)
                  if a.getRole() == PUSH_BUTTON and a.name != self.tr("OK")]
        check(not others, "the %s has buttons %r besides OK" % (what, others))
        self.escape()
        time.sleep(0.5)  # time to (not) act
        check(len(self.dialogs()) == 1, "Escape closed the %s" % what)

    def answer(self, dialog, english, picture):
        """Presses the dialog's button. GTK's own No may stay English without the locale."""
        self.picture(picture)
        names = {self.tr(english)}
        if english == "No":
            names |= {english, self.gtk.gettext("_No").replace("_", "")}
        self.act(self.find(dialog, PUSH_BUTTON, names))
        poll(lambda: len(self.dialogs()), 0, 10, "open dialogs after %s" % english)

    def hand_over(self, image):
        """A second tamsor-wizard gives the running one its image and exits
        without showing a window."""
        second = self.start_wizard([image])
        deadline = time.monotonic() + 30
        while second.poll() is None:
            check(not self.windows_of(second.pid), "the second tamsor-wizard shows a window")
            check(time.monotonic() < deadline, "the second tamsor-wizard still runs after 30 s")
            time.sleep(0.1)
        check(second.returncode == 0, "the second tamsor-wizard's exit status %d"
              % second.returncode)

    # ---- Style ----------------------------------------------------------------------------

    def prefer(self, scheme):
        """The desktop's colour scheme through a fake settings portal (1: dark),
        changed while the wizard runs: the portal's answer and its signal."""
        if self.portal is None:
            self.wizards.append(subprocess.Popen(  # stopped with the wizards
                [sys.executable, "-m", "dbusmock", "--session", PORTAL, PORTAL_PATH,
                 PORTAL_SETTINGS], stdout=subprocess.DEVNULL, stderr=self.log))
            bus = dbus.SessionBus()
            poll(lambda: bool(bus.name_has_owner(PORTAL)), True, 15, "the fake portal on the bus")
            self.portal = bus.get_object(PORTAL, PORTAL_PATH)
        self.portal.AddMethod(PORTAL_SETTINGS, "Read", "ss", "v",
                              "ret = dbus.UInt32(%d, variant_level=2)" % scheme)
        self.portal.EmitSignal(PORTAL_SETTINGS, "SettingChanged", "ssv",
                               dbus.Array(["org.freedesktop.appearance", "color-scheme",
                                           dbus.UInt32(scheme, variant_level=1)], signature="v"))

    def check_side_picture(self, dark):
        """The side picture, left of the pages below the header bar, sits on the
        window's own background, which is dark or light as asked."""
        inside = max((c for c in self.main if c is not None), key=lambda c: extents(c).height)
        body, pages = extents(inside), extents(inside[0])  # the picture is hidden from AT-SPI
        (x, y), s = self.margin, self.scale
        box = (x + body.x * s, y + body.y * s, x + pages.x * s, y + (body.y + body.height) * s)
        path = os.path.join(self.folder, "window.png")

        def dark_shown():
            subprocess.run(["import", "-window", self.xid, path], check=True, timeout=30)
            return max(picture_edge.background(path, box, EDGE_BAND * s)[1]) < 128
        poll(dark_shown, dark, 10, "the window's background dark")
        problem = picture_edge.rectangle_showing(path, box, EDGE_BAND * s)
        check(problem is None, "the side picture shows as a rectangle: %s" % problem)

    # ---- Pages ----------------------------------------------------------------------------

    def page(self):
        """(title: the label at the top, the window's accessible name, Go Back
        shown, the right-hand button, how many empty labels a screen reader
        would meet)."""
        nodes = list(descendants(self.main))
        labels = [n for n in nodes if n.getRole() == pyatspi.ROLE_LABEL]
        buttons = [n.name for n in nodes if n.getRole() == PUSH_BUTTON]
        return (text(min(labels, key=lambda n: extents(n).y)), self.main.name,
                self.tr("Go Back") in buttons,
                [b for b in buttons if b in (self.tr("Continue"), self.tr("Quit"))],
                len([n for n in labels if not text(n)]))

    def on_page(self, index, timeout=15):
        """Waits for the page, named after its title; its first picture."""
        title = self.tr(TITLES[index])
        want = (title, title, index != 0, [self.tr("Quit" if index >= 6 else "Continue")], 0)
        poll(self.page, want, timeout,
             "page %d (title, window's name, Go Back shown, button, empty labels)" % index)
        self.page_index = index
        if "page%d" % index not in self.pictures:
            self.pictures.add("page%d" % index)
            self.shot("page%d" % index)

    def walk(self, pages):
        """Continue or Go Back to each of the pages in turn."""
        for index in pages:
            self.act(self.find(self.main, PUSH_BUTTON,
                               "Continue" if index > self.page_index else "Go Back"))
            self.on_page(index)

    def disc_list(self):
        """[(name, selected)] of the disc list's items."""
        found = self.find(self.main, pyatspi.ROLE_LIST, LIST_NAME)
        return [(item.name, has(item, pyatspi.STATE_SELECTED)) for item in found
                if item is not None and item.getRole() == pyatspi.ROLE_LIST_ITEM]

    def install_line(self, status, remaining, position, marquee, timeout=15):
        """The install page: the progress bar, named by the status line, the
        remaining time after it, the bar's percentage (position None: any)
        and its busy state while it pulses."""
        def shown():
            bar = self.find(self.main, pyatspi.ROLE_PROGRESS_BAR)
            after = list(bar.parent)[bar.getIndexInParent() + 1:]
            lines = [text(a) for a in after if a.getRole() == pyatspi.ROLE_LABEL]
            value = bar.queryValue()
            percent = round(100 * (value.currentValue - value.minimumValue) /
                            (value.maximumValue - value.minimumValue))
            return (self.en(bar.name), self.en(lines[0] if lines else ""),
                    None if position is None else percent, has(bar, pyatspi.STATE_BUSY))
        poll(shown, (self.en(status), self.en(remaining), position, marquee), timeout,
             "install page (status, remaining, percent, busy)")

    # ---- The scenario ----------------------------------------------------------------------

    def run(self):
        disc1, disc2, image1, image2 = self.prepare_discs()

        self.step("start without a disc; page 1 waits for one")
        if self.args.dark:
            self.prefer(0)
        self.attach(self.start_wizard([]))
        self.check_side_picture(False)
        if self.args.dark:
            self.prefer(1)
            self.check_side_picture(True)
        self.on_page(0)
        self.act(self.find(self.main, PUSH_BUTTON, "Continue"))
        wait = self.dialog("wait-for-disc dialog")
        self.keys_ignored(wait, "wait-for-disc dialog")
        self.answer(wait, "OK", "wait-dialog")
        poll(self.disc_list, [], 5, "the disc list without a disc")

        self.step("a second tamsor-wizard hands over its image")
        self.hand_over(disc1)
        poll(self.disc_list, [(DISC1, True)], 15, "the disc list (name, selected)")
        self.on_page(1)
        check(not self.shown(CHECK_BOX, USE_DIAGS), "%r shown without Alt" % USE_DIAGS)

        self.step("Wavlo: pages 2 to 7 and back")
        self.walk([2])
        check(has(self.find(self.main, RADIO, "Wavlo"), pyatspi.STATE_CHECKED), "Wavlo unchecked")
        self.walk([3, 4, 5, 7, 5, 4, 3, 2, 1, 0])

        self.step("page 0: Enter on Continue does nothing")
        self.focus()
        check(has(self.find(self.main, PUSH_BUTTON, "Continue"), pyatspi.STATE_FOCUSED),
              "Continue has no focus")
        xdotool("key", "Return")
        time.sleep(0.5)  # time to (not) act
        self.on_page(0, timeout=0)

        self.step("Alt held on page 0 offers the hardware test")
        xdotool("keydown", "Alt_L")
        try:
            self.click(self.find(self.main, PUSH_BUTTON, "Continue"))
            self.on_page(1)
        finally:
            xdotool("keyup", "Alt_L")
        self.toggle(CHECK_BOX, USE_DIAGS, True)

        self.step("Ethernet and the hardware test: pages 2 to 6 and back")
        self.walk([2])
        self.toggle(RADIO, "Ethernet", True)
        check(not has(self.find(self.main, RADIO, "Wavlo"), pyatspi.STATE_CHECKED),
              "Wavlo still checked")
        self.walk([3, 5, 6, 5, 3, 2, 1])

        self.step("without the hardware test to page 7")
        self.toggle(CHECK_BOX, USE_DIAGS, False)
        self.walk([2, 3, 5, 7])
        self.install_line("Waiting for Talvyn to connect...", "", 0, True)

        def client_started():
            poll(lambda: has(self.find(self.main, PUSH_BUTTON, "Go Back"),
                             pyatspi.STATE_SENSITIVE), False, 15, "Go Back enabled")
            self.install_line("Waiting for Talvyn to start up...", "", 0, True)
        self.boot_client(disc1, image1, client_started)
        self.installer_progress()

        self.step("Quit with a client connected asks; No keeps the wizard")
        self.act(self.find(self.main, PUSH_BUTTON, "Quit"))
        self.answer(self.dialog("quit question"), "No", "quit-question")
        check(self.process.poll() is None, "the wizard ended after No")
        self.on_page(7)

        self.step("Escape answers the quit question No, as its close button does")
        self.act(self.find(self.main, PUSH_BUTTON, "Quit"))
        self.dialog("quit question")
        self.escape()
        poll(lambda: len(self.dialogs()), 0, 10, "open dialogs after Escape")
        check(self.process.poll() is None, "the wizard ended after Escape")
        self.on_page(7)

        self.step("Eject: the wizard waits for the next disc, handed over meanwhile")
        self.post({"Message": "Eject", "NextDisc": DISC2})
        wait = self.dialog("wait-for-disc dialog after Eject")
        self.install_line("Waiting for disc \u201c%s\u201d..." % DISC2, "", None, True)
        self.picture("wait-dialog-eject")
        self.keys_ignored(wait, "wait-for-disc dialog after Eject")
        self.hand_over(disc2)
        poll(lambda: len(self.dialogs()), 0, 20, "open dialogs after the next disc")
        self.installer_success(image2)

        self.step("Quit after Success asks nothing and ends the wizard")
        self.act(self.find(self.main, PUSH_BUTTON, "Quit"))
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            raise Failure("the wizard still runs, %d dialogs open" % len(self.dialogs()))
        check(self.process.returncode == 0, "exit status %d" % self.process.returncode)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wizard", required=True, help="tamsor-wizard")
    parser.add_argument("--mkimage", required=True, help="tamsor-mkimage")
    parser.add_argument("--disc-tool", required=True, help="tamsor-disc")
    parser.add_argument("--mkdmg", help="tamsor-mkdmg: hand the wizard .dmg images of the discs")
    parser.add_argument("--screenshots", help="folder for the pictures")
    parser.add_argument("--language", help="run in this language (da, de, ..., zh_TW)")
    parser.add_argument("--dark", action="store_true",
                        help="the desktop comes to prefer the dark style while it runs")
    parser.add_argument("--scale", type=int, default=1, help="GDK_SCALE for the wizard")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    return windows.run_scenario(Scenario, parser.parse_args(), errors=(GLib.Error,))


if __name__ == "__main__":
    sys.exit(main())
