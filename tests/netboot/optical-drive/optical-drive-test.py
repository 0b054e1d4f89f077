#!/usr/bin/python3
"""A real optical drive: tamsor-serve on Linux's sr driver in a qemu guest.

The guest boots Debian's kernel with an initramfs made here (busybox, the
ATAPI modules, tamsor-serve and curl with their libraries, the expected
bytes) and an emulated IDE CD-ROM holding the demo disc, one sector of which
qemu's blkdebug makes unreadable. guest-init.sh reads the drive back over
HTTP and TFTP and asks for the next disc; this side puts it in through QMP
once the guest has opened the tray, and collects the guest's verdicts.

usage: optical-drive-test.py TAMSOR_SERVE TAMSOR_DISC DEMO_DISC CACHE_DIR
Exit 0: all passed; 1: a check failed; 77: qemu or the kernel cannot be had.
"""
import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = ["scsi_common", "scsi_mod", "cdrom", "sr_mod", "libata", "ata_piix"]
BAD_SECTOR = 100          # 2048-byte sector inside mach_kernel on the demo disc
TIME_LIMIT = 150          # seconds for the whole guest run


def skip(why):
    print("SKIP: " + why)
    sys.exit(77)


def static_busybox():
    """A busybox that needs no loader (the guest has none), or None: an ELF
    file without a PT_INTERP program header."""
    for candidate in (shutil.which("busybox"), "/bin/busybox", "/usr/bin/busybox"):
        if not candidate or not os.path.isfile(candidate):
            continue
        with open(candidate, "rb") as f:
            head = f.read(64)
            if len(head) < 64 or head[:5] != b"\x7fELF\x02":
                continue
            phoff = int.from_bytes(head[0x20:0x28], "little")
            entry, count = (int.from_bytes(head[0x36:0x38], "little"),
                            int.from_bytes(head[0x38:0x3A], "little"))
            f.seek(phoff)
            table = f.read(entry * count)
        types = [int.from_bytes(table[i * entry:i * entry + 4], "little") for i in range(count)]
        if len(table) == entry * count and 3 not in types:  # 3: PT_INTERP
            return candidate
    return None


def kernel(cache):
    """vmlinuz and the modules folder of Debian's newest 6.1 kernel, fetched
    with apt-get download into cache once."""
    def found():
        images = sorted(glob.glob(os.path.join(cache, "root/boot/vmlinuz-*")))
        trees = sorted(glob.glob(os.path.join(cache, "root/lib/modules/*")))
        return (images[-1], trees[-1]) if images and trees else None
    if found():
        return found()
    os.makedirs(cache, exist_ok=True)
    search = subprocess.run(["apt-cache", "search", "--names-only",
                             r"^linux-image-6\.1\.0-[0-9]+-amd64$"],
                            capture_output=True, text=True)
    names = sorted((line.split()[0] for line in search.stdout.splitlines()),
                   key=lambda n: int(n.split("-")[3]))
    if not names:
        skip("no linux-image-6.1.0-*-amd64 package is known to apt")
    if subprocess.run(["apt-get", "download", names[-1]], cwd=cache,
                      capture_output=True).returncode != 0:
        skip("apt-get download %s failed" % names[-1])
    for deb in glob.glob(os.path.join(cache, "*.deb")):
        subprocess.run(["dpkg", "-x", deb, os.path.join(cache, "root")], check=True)
        os.remove(deb)
    return found() or skip("the kernel package holds no vmlinuz")


def add_program(root, path):
    """path and every library ldd lists for it, at the same places."""
    files = [path]
    for line in subprocess.run(["ldd", path], capture_output=True, text=True).stdout.splitlines():
        for word in line.split():
            if word.startswith("/"):
                files.append(word)
    for f in files:
        target = os.path.join(root, f.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.realpath(f), target)


class Monitor:
    """qemu's QMP socket: commands and their answers; events are skipped."""
    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.1)
        self.file = self.sock.makefile("rw")
        json.loads(self.file.readline())  # greeting
        self.command("qmp_capabilities")

    def command(self, name, **arguments):
        self.file.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            answer = json.loads(self.file.readline())
            if "return" in answer or "error" in answer:
                return answer


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    serve, disc_tool, demo, cache = sys.argv[1:]
    qemu = shutil.which("qemu-system-x86_64")
    busybox = static_busybox()
    curl = shutil.which("curl")
    if not qemu:
        skip("qemu-system-x86_64 is not installed (package qemu-system-x86)")
    if not busybox:
        skip("no static busybox (package busybox-static)")
    if not curl:
        skip("curl is not installed")
    vmlinuz, modules = kernel(cache)

    work = tempfile.mkdtemp(prefix="tamsor-drive-")
    try:
        root = os.path.join(work, "root")
        for folder in ("bin", "proc", "sys", "dev", "tmp", "modules", "expected"):
            os.makedirs(os.path.join(root, folder))
        shutil.copy2(busybox, os.path.join(root, "bin/busybox"))
        os.symlink("busybox", os.path.join(root, "bin/sh"))
        with open(os.path.join(HERE, "guest-init.sh")) as f:
            script = f.read()
        with open(os.path.join(root, "init"), "w") as f:
            f.write(script.replace("export PATH=", "/bin/busybox --install -s /bin\nexport PATH=", 1))
        os.chmod(os.path.join(root, "init"), 0o755)
        for name in MODULES:
            matches = glob.glob(os.path.join(modules, "kernel/drivers/**/%s.ko*" % name),
                                recursive=True)
            if not matches:
                skip("module %s is not in %s" % (name, modules))
            shutil.copy2(matches[0], os.path.join(root, "modules", name + ".ko"))
        add_program(root, serve)
        shutil.copy2(serve, os.path.join(root, "bin/tamsor-serve"))
        add_program(root, curl)
        shutil.copy2(curl, os.path.join(root, "bin/curl"))

        expected = os.path.join(root, "expected")
        shutil.copy2(demo, os.path.join(expected, "disc.img"))
        for name, path in (("booter", "usr/standalone/i386/boot.efi"),
                           ("mach_kernel", "mach_kernel")):
            with open(os.path.join(expected, name), "wb") as f:
                subprocess.run([disc_tool, "cat", demo, path], stdout=f, check=True)
        with open(os.path.join(expected, "bad-offset"), "w") as f:
            f.write("%d\n" % (BAD_SECTOR * 2048))
        with open(os.path.join(expected, "eject.plist"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                    "<key>Message</key><string>Eject</string>"
                    "<key>NextDisc</key><string>Orvane Demo Install</string></dict></plist>\n")
        initrd = os.path.join(work, "initrd.cpio")
        names = subprocess.run("find . | sort", shell=True, cwd=root, capture_output=True).stdout
        with open(initrd, "wb") as f:
            subprocess.run([busybox, "cpio", "-o", "-H", "newc"], input=names, cwd=root,
                           stdout=f, stderr=subprocess.DEVNULL, check=True)

        # The first disc with one unreadable sector; the second a clean copy.
        first = os.path.join(work, "first.img")
        second = os.path.join(work, "second.img")
        shutil.copy2(demo, first)
        shutil.copy2(demo, second)
        blkdebug = os.path.join(work, "blkdebug.conf")
        with open(blkdebug, "w") as f:
            f.write('[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "%d"\n'
                    'once = "off"\n' % (BAD_SECTOR * 4))
        qmp = os.path.join(work, "qmp.sock")
        console = os.path.join(work, "console.txt")
        results = os.path.join(work, "results.txt")
        command = [
            qemu, "-accel", "tcg", "-machine", "pc", "-m", "512", "-smp", "2",
            "-nodefaults", "-display", "none", "-no-reboot", "-nic", "none",
            "-kernel", vmlinuz, "-initrd", initrd,
            "-append", "console=ttyS0 rdinit=/init quiet ASAN_OPTIONS=detect_leaks=0",
            "-serial", "file:" + console, "-serial", "file:" + results,
            "-qmp", "unix:%s,server=on,wait=off" % qmp,
            "-drive", "if=none,id=cd0,media=cdrom,readonly=on,format=raw,"
                      "file.driver=blkdebug,file.config=%s,file.image.filename=%s" % (blkdebug, first),
            "-device", "ide-cd,drive=cd0,id=cdrom0,bus=ide.1,unit=0",
        ]
        started = time.time()
        deadline = started + TIME_LIMIT
        guest = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            monitor = Monitor(qmp, started + 20)
            swapped = False
            tray_opened = None
            while guest.poll() is None and time.time() < deadline:
                if not swapped:
                    for device in monitor.command("query-block").get("return", []):
                        if device.get("qdev") in ("cdrom0", "/machine/peripheral/cdrom0/cd-drive") \
                                or device.get("device") == "cd0":
                            if device.get("tray_open") and tray_opened is None:
                                tray_opened = time.time()
                            # As a person would: the tray stays open a few
                            # seconds (the server's drive poll sees it empty).
                            if tray_opened is not None and time.time() > tray_opened + 4:
                                answer = monitor.command("blockdev-change-medium", id="cdrom0",
                                                         filename=second, format="raw")
                                print("host: tray open after %.0f s; next disc in: %s"
                                      % (tray_opened - started, answer))
                                swapped = True
                time.sleep(0.5)
        finally:
            if guest.poll() is None:
                guest.kill()
            guest.wait()
        with open(results, errors="replace") as f:
            lines = f.read().splitlines()
        print("\n".join(lines))
        print("host: guest ran %.0f s" % (time.time() - started))
        passes = [l for l in lines if l.startswith("PASS ")]
        failures = [l for l in lines if l.startswith("FAIL ")]
        if "DONE" not in lines:
            with open(console, errors="replace") as f:
                print("--- guest console (last lines)\n" + "\n".join(f.read().splitlines()[-30:]))
            print("FAILED: the guest did not finish")
            return 1
        if failures or len(passes) < 10 or not swapped:
            print("FAILED: %d checks failed%s" % (len(failures), "" if swapped else ", no swap"))
            return 1
        print("all %d checks passed" % len(passes))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
