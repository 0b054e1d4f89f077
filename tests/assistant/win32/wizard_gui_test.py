#!/usr/bin/python3
"""The wizard end to end, as a person and a client computer see it.

Tamsor.exe runs under wine on disc images it is given through
TAMSOR_DISC_IMAGES; kest-driver.exe (same wine prefix) reads and clicks its
windows; this script plays the client: BSDP with scapy, the boot files by
TFTP with curl, ranged reads of the root image and the installer's messages
over HTTP. One scenario, step by step; the first failed check ends it with
the step's name and what the wizard showed (only a key press that changes
the page is undone and reported at the end, so the rest still runs). On a
failure the screen is saved as failure.png in the kept work folder.

With --screenshots DIR it also saves a picture of every page and of both
wait-for-disc dialogs (ImageMagick's import: xwd paints modal dialogs black).

Not covered here: translations, and real optical drives.
"""
import argparse
import http.client
import os
import plistlib
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import time

TITLES = [
    "Introduction",
    "Choose a Orvane install disc",
    "Choose a network connection",
    "Restart your Talvyn",
    "Choose your Wavlo network",
    "Choose your startup disk",
    "Verin Hardware Test",
    "Install Orvane",
]
TITLE, PICTURE, GO_BACK, CONTINUE = 1037, 1032, 1033, 1034
LIST, USE_DIAGS, DIAGS_NOTE = 1042, 1043, 1061
WAVLO, ETHERNET = 1044, 1045
STATUS, REMAINING = 1056, 1057
VK_RETURN, VK_ESCAPE = 13, 27

DISC1 = "Orvane Install Disc"
DISC2 = "Orvane Install Disc 2"
SHARE_FAILED = ("The install disc could not be shared. An error occurred while starting "
                "sharing. Try quitting other network applications on this computer and try "
                "again (-6762).")
CONFIRM_QUIT = ("A Talvyn is connected to this computer. Are you sure you want to quit? If you "
                "quit, the Talvyn will be disconnected immediately and installation will be "
                "cancelled.")
DEFAULT_WAIT = ("An install disc could not be found.",
                "Insert the Orvane install disc and wait a few seconds for the disc to be "
                "recognized.")

BOOT_FILES = {  # boot name -> path on the disc
    "1/booter": "usr/standalone/i386/boot.efi",
    "1/mach.orvane": "mach_kernel",
    "1/mach.orvane.mkext": "System/Library/Extensions.mkext",
}
INSTALL_MANIFEST = """\
folder System/Installation/Packages
pattern usr/standalone/i386/boot.efi 70001
pattern mach_kernel 300000
pattern System/Library/Extensions.mkext 150000
text System/Library/CoreServices/SystemVersion.plist "<plist version=\\"1.0\\"/>\\n"
"""
DIAGS_LINE = "pattern System/Library/CoreServices/.diagnostics/diags.efi 20000\n"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def poll(read, want, timeout, what):
    """Reads until read() == want; fails with the last value after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        got = read()
        if got == want:
            return got
        if time.monotonic() > deadline:
            raise Failure("%s: expected %r, got %r" % (what, want, got))
        time.sleep(0.05)


class Driver:
    """kest-driver.exe: one command line in, one answer line out."""

    def __init__(self, command, env):
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.process.stdout, selectors.EVENT_READ)
        self.pending = b""

    def raw(self, line, timeout=30):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not self.selector.select(left):
                raise Failure("kest-driver gave no answer to %r" % line)
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise Failure("kest-driver ended during %r" % line)
            self.pending += chunk
        answer, self.pending = self.pending.split(b"\n", 1)
        return answer.decode("utf-8").rstrip("\r")

    def __call__(self, line, timeout=30):
        """The answer's fields after "ok" (text unescaped); "none" gives None."""
        answer = self.raw(line, timeout)
        if answer == "none":
            return None
        if answer == "ok":
            return []
        check(answer.startswith("ok "), "%s: %s" % (line, answer))
        return [unescape(field) for field in answer[3:].split("\t")]

    def one(self, line, timeout=30):
        fields = self(line, timeout)
        check(fields is not None and len(fields) >= 1, "%s: no answer" % line)
        return fields[0]

    def text(self, control):
        return self.one("text %d" % control)

    def flag(self, what, control):
        return self.one("%s %d" % (what, control)) == "1"

    def title(self):
        return self.text(TITLE)

    def progress(self):
        position, marquee = self.one("progress").split()
        return int(position), marquee == "1"

    def close(self):
        try:
            self.raw("quit", timeout=5)
        except (Failure, OSError):
            pass
        stop(self.process)


def unescape(field):
    out, i = [], 0
    while i < len(field):
        c = field[i]
        if c == "\\" and i + 1 < len(field):
            i += 1
            c = {"n": "\n", "t": "\t", "\\": "\\"}.get(field[i], field[i])
        out.append(c)
        i += 1
    return "".join(out)


def stop(process):
    if process is not None and process.poll() is None:
        process.kill()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Scenario:
    def __init__(self, args):
        self.args = args
        self.step_name = "setup"
        self.folder = tempfile.mkdtemp(prefix="tamsor-gui-", dir="/tmp")
        self.wizards = []
        self.driver = None
        self.log_path = os.path.join(self.folder, "wizard-stderr.txt")
        self.log = open(self.log_path, "wb")
        self.shots = args.screenshots
        if self.shots:
            os.makedirs(self.shots, exist_ok=True)
        self.env = dict(os.environ)
        self.env.pop("TAMSOR_DISC_IMAGES", None)
        display = self.display()
        check(display, "no X display: run `cmake/wine-run.sh --init BUILD_DIR` first "
                       "or set DISPLAY")
        self.env["DISPLAY"] = display
        # The wait dialog after an eject is up until the next image comes:
        # long enough for the driver to read it on a busy machine.
        self.env["TAMSOR_DISC_SWAP_SECONDS"] = "10"
        self.tftp_port = self.http_port = None
        self.late_failures = []
        self.raw_discs = {}  # a .dmg handed to the wizard: the raw disc it was made from

    def display(self):
        """The Xvfb of wine-run.sh --init when it runs, else the caller's display."""
        try:
            with open(os.path.join(self.args.build, "wine-xvfb")) as state:
                pid, display = state.read().split()
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                if b"Xvfb" in cmdline.read():
                    return display
        except (OSError, ValueError):
            pass
        return os.environ.get("DISPLAY")

    def step(self, name):
        self.step_name = name
        print("-- " + name, flush=True)

    # ---- Discs ----------------------------------------------------------------

    def make_disc(self, file_name, volume, diags):
        manifest = os.path.join(self.folder, file_name + ".manifest")
        with open(manifest, "w") as out:
            out.write(INSTALL_MANIFEST + (DIAGS_LINE if diags else ""))
        image = os.path.join(self.folder, file_name)
        subprocess.run([self.args.mkimage, "-o", image, "--name", volume, "--manifest", manifest],
                       check=True, stdout=subprocess.DEVNULL)
        return image

    def disc_file(self, image, path):
        """A file's bytes as the raw disc holds them (for a .dmg, the disc it
        was made from: never our own reader's idea of the .dmg)."""
        return subprocess.run([self.args.disc_tool, "cat", self.raw_discs.get(image, image), path],
                              check=True, stdout=subprocess.PIPE).stdout

    # ---- Processes -------------------------------------------------------------

    def start_wizard(self, images):
        env = dict(self.env, TAMSOR_DISC_IMAGES=";".join(windows_path(i) for i in images))
        process = subprocess.Popen([self.args.wine_run, self.args.wizard], env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=self.log)
        self.wizards.append(process)
        return process

    def attach(self, process):
        if self.driver is None:
            self.driver = Driver([self.args.wine_run, self.args.driver], self.env)
        found = self.driver("wait-window 60000", timeout=90)
        check(found is not None, "no wizard window within 60 s (exit code %r)" % process.poll())
        # Wine started both programs: from here on a failure is never taken
        # for wine's (cmake/wine-ctest.sh).
        print("tamsor-test: started: the wizard's window is up", flush=True)

    def shot(self, name, folder=None):
        folder = folder or self.shots
        if not folder:
            return
        time.sleep(0.4)  # let the window finish painting
        subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", "root",
                        "-trim", "+repage", os.path.join(folder, name + ".png")],
                       check=True, timeout=30)

    def decorate_windows(self):
        """Without a window manager wine draws no frames; make it draw its own,
        so the pictures show captions (a setting of this build's wine prefix)."""
        prefix = self.env.get("TAMSOR_WINEPREFIX") or os.path.join(self.args.build, "wineprefix")
        subprocess.run([self.args.wine_run, "reg", "add", r"HKCU\Software\Wine\X11 Driver",
                        "/v", "Decorated", "/d", "N", "/f"],
                       env=dict(self.env, TAMSOR_WINEPREFIX=prefix), check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def cleanup(self):
        if self.driver is not None:
            self.driver.close()
        for process in self.wizards:
            stop(process)
        self.log.close()

    # ---- Wizard helpers -----------------------------------------------------------

    def on_page(self, index, timeout=15):
        """Waits for page `index`: its title, Go Back shown but on page 0, and
        the right-hand button's text."""
        def page():
            return (self.driver.title(), self.driver.flag("visible", GO_BACK),
                    self.driver.text(CONTINUE))
        want = (TITLES[index], index != 0, "Quit" if index >= 6 else "Continue")
        poll(page, want, timeout, "page %d (title, Go Back shown, button)" % index)

    def press(self, button, index):
        self.driver("click %d" % button)
        self.on_page(index)

    def walk(self, forward, back, names=None):
        """Continue through `forward` (page indices), then Go Back through `back`."""
        for index in forward:
            self.press(CONTINUE, index)
            if names and index in names:
                self.shot(names[index])
        for index in back:
            self.press(GO_BACK, index)

    def keys_do_nothing(self, index):
        """Enter and Escape change nothing. A page change is noted and undone, so
        the rest of the scenario still runs; the test fails at its end."""
        focus = " ".join(self.driver("focus") or ["none"])
        for name, key in (("Enter", VK_RETURN), ("Escape", VK_ESCAPE)):
            self.driver("key %d" % key)
            time.sleep(0.5)  # the key is posted; give the dialog time to (not) act
            check(self.driver("window-count") == ["1"], "%s closed the wizard" % name)
            got = self.driver.title()
            if got != TITLES[index]:
                self.late_failures.append("%s on page %d (focus on control %s) moved it to %r"
                                          % (name, index, focus, got))
                print("   FAILED: " + self.late_failures[-1], flush=True)
                self.press(GO_BACK, index)

    # ---- Client -----------------------------------------------------------------

    def bsdp(self, kind):
        from scapy.layers.dhcp import BOOTP, DHCP
        request = BOOTP(op=1, htype=1, hlen=6, xid=0x51a70000 + kind,
                        chaddr=bytes.fromhex("0016cb123456"))
        request /= DHCP(options=[("message-type", "inform"),
                                 ("vendor_class_id", b"VRNXBSDPC/i386/TestModel1,1"),
                                 ("vendor_specific", bytes([1, 1, kind])), "end"])
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            s.settimeout(5)
            s.sendto(bytes(request), ("127.0.0.1", 7799))
            try:
                reply = BOOTP(s.recv(2048))
            except (socket.timeout, ConnectionRefusedError):
                raise Failure("no BSDP answer on 127.0.0.1:7799")
        options = {}
        for option in reply[DHCP].options:
            if isinstance(option, tuple):
                options[option[0]] = option[1]
        bsdp, raw, i = {}, options.get("vendor_specific", b""), 0
        while i + 1 < len(raw):
            bsdp[raw[i]] = raw[i + 2:i + 2 + raw[i + 1]]
            i += 2 + raw[i + 1]
        return reply, options, bsdp

    def tftp(self, name):
        out = os.path.join(self.folder, "tftp.out")
        extra = ["--tftp-blksize", "1468"] if name.endswith("orvane") else []
        result = subprocess.run(["curl", "-s", "-S", "--max-time", "30", *extra, "-o", out,
                                 "tftp://127.0.0.1:%d/%s" % (self.tftp_port, name)],
                                stderr=subprocess.PIPE, timeout=60)
        check(result.returncode == 0, "TFTP of %s failed: %s" % (name, result.stderr.decode()))
        with open(out, "rb") as f:
            return f.read()

    def http(self, method, path, headers=None, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=20)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def read_range(self, image, first, last=None):
        range_header = ("bytes=%d-%d" % (first, last)) if last is not None else (
            "bytes=-%d" % -first if first < 0 else "bytes=%d-" % first)
        status, body = self.http("GET", "/CdRom0.dmg", {"Range": range_header})
        check(status == 206, "GET %s: status %d" % (range_header, status))
        want = image[first:] if last is None else image[first:last + 1]
        check(body == want, "GET %s: %d bytes differ from the image" % (range_header, len(body)))

    def post(self, message):
        body = plistlib.dumps(message, fmt=plistlib.FMT_XML)
        status, _ = self.http("POST", "/", {"Content-Type": "text/xml"}, body)
        check(status == 200, "POST %s: status %d" % (message["Message"], status))

    def install_line(self, status, remaining, position, marquee, timeout=15):
        """Waits for the install page's two lines and progress bar; position
        None: a moving bar, whose position means nothing."""
        def shown():
            at, moving = self.driver.progress()
            return (self.driver.text(STATUS), self.driver.text(REMAINING),
                    None if position is None else at, moving)
        poll(shown, (status, remaining, position, marquee), timeout,
             "install page (1056, 1057, position, marquee)")

    # ---- The scenario --------------------------------------------------------------

    def bsdp_port_free(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind(("0.0.0.0", 7799))
                return True
            except OSError:
                return False

    def prepare_discs(self):
        """Waits for the BSDP port; both disc images: (disc1, disc2, image1, image2)."""
        self.step("UDP port 7799 is free")
        poll(self.bsdp_port_free, True, 60,
             "UDP 7799 is taken by another program (another Tamsor sharing a disc?)")

        self.step("disc images")
        disc1 = self.make_disc("disc1.img", DISC1, diags=True)
        disc2 = self.make_disc("disc2.img", DISC2, diags=False)
        with open(disc1, "rb") as f1, open(disc2, "rb") as f2:
            image1, image2 = f1.read(), f2.read()
        check(image1 != image2, "the two disc images are alike")
        # With --mkdmg the wizard is handed compressed .dmg images of the two
        # discs (zlib, then ADC), as people keep them; the client still
        # expects the raw discs' bytes.
        if getattr(self.args, "mkdmg", None):
            disc1 = self.make_dmg(disc1, "zlib")
            disc2 = self.make_dmg(disc2, "adc")
        return disc1, disc2, image1, image2

    def make_dmg(self, raw, method):
        image = raw[:-len(".img")] + ".dmg"
        subprocess.run([self.args.mkdmg, "--method", method, raw, image], check=True,
                       stdout=subprocess.DEVNULL)
        self.raw_discs[image] = raw
        return image

    def boot_client(self, disc1, image1, after_first_file):
        """The client starts up from disc1: BSDP LIST and SELECT, the boot files
        by TFTP (after_first_file() looks at the wizard after the first one),
        ranged reads of the root image."""
        self.step("client: BSDP LIST and SELECT")
        reply, options, bsdp = self.bsdp(1)
        check(reply.op == 2, "LIST answer op %d" % reply.op)
        entry = bsdp.get(9, b"")
        check(DISC1.encode() + b" (" in entry, "LIST names no %r image: %r" % (DISC1, entry))
        reply, options, bsdp = self.bsdp(2)
        booter = reply.file.rstrip(b"\0").decode()
        check(booter == "1/booter", "SELECT boot file %r" % booter)
        check(12 in bsdp and len(bsdp[12]) == 2, "SELECT without TFTP port: %r" % bsdp)
        self.tftp_port = int.from_bytes(bsdp[12], "big")
        root = options.get("root_disk_path", b"")  # DHCP option 17
        root = root.decode() if isinstance(root, bytes) else str(root)
        check(root.startswith("http://") and root.endswith("/CdRom0.dmg"), "root path %r" % root)
        self.http_port = int(root[len("http://"):].split("/")[0].rsplit(":", 1)[1])

        self.step("client: the boot files by TFTP")
        for number, (name, path) in enumerate(BOOT_FILES.items()):
            got = self.tftp(name)
            check(got == self.disc_file(disc1, path), "TFTP %s: bytes differ from %s" % (name, path))
            if number == 0:
                after_first_file()

        self.step("client: ranged reads of the root image")
        for first, last in [(0, 2047), (131000, 263000), (500000, None), (-777, None)]:
            self.read_range(image1, first, last)

    def installer_progress(self):
        """The installer starts and reports its progress, the last one beyond 100 %."""
        self.step("installer: Started")
        self.post({"Message": "Started"})
        self.install_line("Waiting for Orvane Installer...", "", 0, True)

        self.step("installer: Progress")
        self.post({"Message": "Progress", "Percentage": 42, "Status": "Installing \u00d6rvane\u2026",
                   "Remaining": "About 5 minutes"})
        self.install_line("Installing \u00d6rvane\u2026", "About 5 minutes", 42, False)
        self.shot("page7-progress")
        self.post({"Message": "Progress", "Percentage": 150})
        self.install_line("Installing \u00d6rvane\u2026", "About 5 minutes", 100, False)

    def installer_success(self, image2):
        """With the next disc in, the installer reads it all and succeeds."""
        self.install_line("Waiting for Orvane Installer...", "", None, True)
        self.read_range(image2, 0, None)  # the whole of the next disc

        self.step("installer: Success")
        self.post({"Message": "Success"})
        self.install_line("Orvane was successfully installed.",
                          "You may now quit this application.", 100, False)
        self.shot("page7-success")

    def save_failure(self):
        """What the screen showed when the scenario failed."""
        try:
            self.shot("failure", self.folder)
        except (subprocess.SubprocessError, OSError):
            pass

    def run(self):
        disc1, disc2, image1, image2 = self.prepare_discs()
        if self.shots:
            self.decorate_windows()

        self.step("no disc: start")
        no_disc = self.start_wizard([])
        self.attach(no_disc)
        self.on_page(0)
        self.step("no disc: page 1 opens the wait dialog with its template texts")
        self.driver("click %d" % CONTINUE)
        dialog = self.driver("wait-dialog 15000", timeout=30)
        check(dialog is not None, "no wait-for-disc dialog on page 1 without a disc")
        check(tuple(dialog[:2]) == DEFAULT_WAIT, "wait dialog texts: %r" % dialog[:2])
        default_height = dialog[2]
        self.shot("wait-dialog-default")
        self.driver("device-change arrival")  # answered after the list was rebuilt
        check(self.driver("wait-dialog 0") is not None, "a device change without a disc "
              "closed the wait dialog")
        self.driver("wait-dialog-ok")
        poll(lambda: self.driver("wait-dialog 0"), None, 10, "wait dialog after OK")
        self.on_page(1)
        check(self.driver("list-items") == ["0"], "list not empty without a disc")
        self.step("no disc: Continue refuses with -6762")
        self.driver("click %d" % CONTINUE)
        box = self.driver("msgbox 10000", timeout=20)
        check(box == ["Tamsor", SHARE_FAILED], "message box: %r" % box)
        self.driver("msgbox-answer ok")
        poll(lambda: self.driver("msgbox 0"), None, 10, "message box after OK")
        self.on_page(1)
        self.step("no disc: closing asks nothing")
        self.driver("close")
        check(self.driver("msgbox 1000") is None, "closing without a client asked a question")
        check(self.driver("wait-gone 15000", timeout=30) == [], "wizard still open after close")
        no_disc.wait(timeout=20)

        self.step("start with two discs")
        wizard = self.start_wizard([disc1, disc2])
        self.attach(wizard)
        self.on_page(0)
        self.shot("page0")

        self.step("a second copy exits at once without a window")
        second = self.start_wizard([disc1])
        deadline = time.monotonic() + 60
        while second.poll() is None:
            count = self.driver.one("window-count")
            check(count == "1", "%s wizard windows while a second copy starts" % count)
            check(time.monotonic() < deadline, "the second copy is still running after 60 s")
            time.sleep(0.1)
        check(self.driver("window-count") == ["1"], "the first wizard went away")

        self.step("page 0: Enter and Escape do nothing")
        self.keys_do_nothing(0)

        self.step("page 1 without Alt: the disc listed, no hardware-test option")
        self.press(CONTINUE, 1)
        poll(lambda: self.driver("list-items"), ["1", DISC1], 15, "disc list")
        check(self.driver("list-selected") == ["0"], "first disc not selected")
        check(not self.driver.flag("visible", USE_DIAGS), "1043 shown without Alt")
        check(not self.driver.flag("visible", DIAGS_NOTE), "1061 shown without Alt")
        self.shot("page1")

        self.step("page 1: a click on the list's empty area keeps the selection")
        self.driver("list-click-empty")
        poll(lambda: self.driver("list-selected"), ["0"], 5, "selection after the click")

        self.step("pages 2 to 7 with Wavlo, and back")
        self.press(CONTINUE, 2)
        check(self.driver.flag("checked", WAVLO), "Wavlo not checked at first")
        self.shot("page2")
        self.keys_do_nothing(2)
        self.walk([3, 4, 5, 7], [5, 4, 3, 2, 1, 0],
                  {3: "page3", 4: "page4", 5: "page5"})

        self.step("page 1 with Alt held: the hardware-test option")
        self.driver("hold-alt 1")
        try:
            self.press(CONTINUE, 1)
        finally:
            self.driver("hold-alt 0")
        poll(lambda: self.driver.flag("visible", USE_DIAGS), True, 10, "1043 shown with Alt")
        check(self.driver.flag("visible", DIAGS_NOTE), "1061 hidden with Alt")
        self.driver("click %d" % USE_DIAGS)
        poll(lambda: self.driver.flag("checked", USE_DIAGS), True, 5, "1043 checked")
        self.shot("page1-diags")

        self.step("pages 2 to 6 with Ethernet and the hardware test, and back")
        self.press(CONTINUE, 2)
        self.driver("click %d" % ETHERNET)
        poll(lambda: self.driver.flag("checked", ETHERNET), True, 5, "Ethernet checked")
        check(not self.driver.flag("checked", WAVLO), "Wavlo still checked")
        self.walk([3, 5, 6], [5, 3, 2, 1], {6: "page6"})

        self.step("without the hardware test to page 7")
        self.driver("click %d" % USE_DIAGS)
        poll(lambda: self.driver.flag("checked", USE_DIAGS), False, 5, "1043 unchecked")
        self.walk([2, 3, 5, 7], [])
        self.install_line("Waiting for Talvyn to connect...", "", 0, True)
        check(self.driver.flag("enabled", GO_BACK), "Go Back disabled before any client")
        self.shot("page7")

        def client_started():
            self.install_line("Waiting for Talvyn to start up...", "", 0, True)
            check(not self.driver.flag("enabled", GO_BACK),
                  "Go Back still enabled after the first transfer")
            self.on_page(7)
        self.boot_client(disc1, image1, client_started)
        self.installer_progress()

        self.step("Quit while a client is connected asks; No keeps it running")
        self.driver("click %d" % CONTINUE)
        box = self.driver("msgbox 10000", timeout=20)
        check(box == ["Tamsor", CONFIRM_QUIT], "quit question: %r" % box)
        self.shot("quit-question")
        self.driver("msgbox-answer no")
        poll(lambda: self.driver("msgbox 0"), None, 10, "question after No")
        check(wizard.poll() is None, "the wizard ended after No")
        self.on_page(7)
        self.read_range(image1, 0, 2047)

        self.step("installer: Eject asks for the next disc")
        self.post({"Message": "Eject", "NextDisc": DISC2})
        dialog = self.driver("wait-dialog 15000", timeout=30)
        check(dialog is not None, "no wait dialog after Eject")
        want = ("Insert the \u201c%s\u201d disc to continue installation." % DISC2,
                "The installer requires this disc to continue installing Orvane.")
        check(tuple(dialog[:2]) == want, "wait dialog texts: %r" % dialog[:2])
        # Not enlarged (that is for a failed eject); a title that wraps may
        # make it a few pixels taller so that nothing is cut off.
        height, default = int(dialog[2]), int(default_height)
        check(default <= height < default + 40, "the eject dialog is %d pixels tall, the "
              "default one %d (only a failed eject enlarges it)" % (height, default))
        got = self.driver.text(STATUS)
        check(got == "Waiting for disc \u201c%s\u201d..." % DISC2, "1056 while waiting: %r" % got)
        self.shot("wait-dialog-eject")

        self.step("the next disc closes the wait dialog by itself")
        poll(lambda: self.driver("wait-dialog 0"), None, 20, "wait dialog after the next disc")
        self.installer_success(image2)

        self.step("Quit after Success asks nothing and ends the process")
        self.driver("click %d" % CONTINUE)
        check(self.driver("msgbox 1500") is None, "Quit after Success asked a question")
        check(self.driver("wait-gone 15000", timeout=30) == [], "wizard still open after Quit")
        try:
            wizard.wait(timeout=20)
        except subprocess.TimeoutExpired:
            raise Failure("the window closed but the process keeps running")
        self.step("the end")
        check(not self.late_failures, "; ".join(self.late_failures))


def build_linux_tools(build):
    """The image tools of a Linux build, made beside the Windows build when no
    Linux build is at hand (a plain build of just those two programs)."""
    source = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
    tools = os.path.join(build, "linux-tools")
    print("-- building tamsor-mkimage, tamsor-disc and tamsor-mkdmg for Linux in " + tools,
          flush=True)
    subprocess.run(["cmake", "-S", source, "-B", tools, "-G", "Ninja", "--log-level=WARNING",
                    "-Wno-dev", "-DCMAKE_BUILD_TYPE=Release", "-DTAMSOR_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", tools, "-j", "2", "--target", "tamsor-mkimage",
                    "tamsor-disc", "tamsor-mkdmg"], check=True, stdout=subprocess.DEVNULL)
    return (os.path.join(tools, "tools", "hfswriter", "tamsor-mkimage"),
            os.path.join(tools, "tools", "tamsor-disc"),
            os.path.join(tools, "tools", "dmgwriter", "tamsor-mkdmg"))


def run_scenario(make_scenario, args, errors=()):
    """Runs the scenario that make_scenario(args) builds and reports it: the
    failed step and the wizard's last words, the work folder kept then (or
    with args.keep). errors: further exceptions that mean a failed check.
    The exit status."""
    # A time-out's termination request still runs the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    scenario = None
    status = 1
    try:
        scenario = make_scenario(args)
        scenario.run()
        status = 0
        print("wizard GUI test passed")
    except (Failure, subprocess.SubprocessError, OSError, *errors) as error:
        step = scenario.step_name if scenario else "setup"
        print("FAILED at step '%s': %s" % (step, error))
        if scenario is not None:
            scenario.save_failure()
    finally:
        if scenario is not None:
            scenario.cleanup()
            if status != 0:
                with open(scenario.log_path, "rb") as log:
                    tail = log.read()[-3000:].decode("utf-8", "replace")
                print("wizard's stderr (last lines), work folder %s:\n%s" % (scenario.folder, tail))
            elif not args.keep:
                subprocess.run(["rm", "-rf", scenario.folder])
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wizard", required=True, help="Tamsor.exe")
    parser.add_argument("--driver", required=True, help="kest-driver.exe")
    parser.add_argument("--mkimage", required=True, help="Linux tamsor-mkimage")
    parser.add_argument("--disc-tool", required=True, help="Linux tamsor-disc")
    parser.add_argument("--mkdmg", help="Linux tamsor-mkdmg: serve the discs as .dmg images")
    parser.add_argument("--wine-run", required=True, help="cmake/wine-run.sh")
    parser.add_argument("--build", required=True, help="the Windows build folder")
    parser.add_argument("--screenshots", help="folder for the pictures")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()

    def make_scenario(args):
        tools = [args.mkimage, args.disc_tool] + ([args.mkdmg] if args.mkdmg else [])
        if not all(os.access(tool, os.X_OK) for tool in tools):
            args.mkimage, args.disc_tool, mkdmg = build_linux_tools(args.build)
            if args.mkdmg:
                args.mkdmg = mkdmg
        return Scenario(args)
    return run_scenario(make_scenario, args)


if __name__ == "__main__":
    sys.exit(main())
