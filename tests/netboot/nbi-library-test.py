#!/usr/bin/python3
"""tamsor-serve --library on a lab's folder of NAME.nbi images beside an
install disc .dmg, before a scapy-built BSDP client.

The folder mixes descriptions in XML and binary; install and diagnostics
images; a model allow list; a hardware allow and deny list (written
without leading zeros); an image for another architecture; IsEnabled
false (and one that library.conf enables and renames; another it turns off);
Index 0; Index as a string; two folders claiming one ID; a BootFile
that does not exist; a RootPath that is a link to a sparse image of more
than 4 GiB; a name with spaces and non-ASCII letters. Checked: --list with
the reasons, the list and IDs each client sees, the default, SELECT of each
offered image with its booter and x86_64/kernelcache over TFTP byte-exact,
a ".." name refused, the root image over HTTP byte-exact in ranges (one
past 4 GiB) and by HEAD, the recorded selection (option 8) after a SELECT
and after a restart, and the priority falling as clients are recorded.

    nbi-library-test.py TAMSOR-SERVE TAMSOR-MKIMAGE TAMSOR-MKDMG MANIFEST
"""
import os, plistlib, shutil, socket, subprocess, sys, tempfile, time

serve, mkimage, mkdmg, manifest = sys.argv[1:5]
sys.path.insert(0, "/usr/lib/python3/dist-packages")
from scapy.layers.dhcp import BOOTP, DHCP  # noqa: E402

LAB = ("Talvyn5,1", "020000114401")      # on every list
DENIED = ("Talvyn5,1", "020000114402")   # on MacAllow's allow and deny lists
OTHER = ("Other1,1", "020000119901")
UNICODE = "Caf\u00e9 \u00dcn\u00efcode Lab"
failures = []
work = tempfile.mkdtemp(prefix="tamsor-nbi.")


def check(condition, what):
    if not condition:
        failures.append(what)


def bsdp(port, client, kind, image=None, filter_=None, server_id=None):
    """One request; the BSDP options of the reply (option 9 pieces joined),
    its list, file field and root path; None without an answer."""
    model, hardware = client
    vendor = bytes([1, 1, kind, 2, 2, 1, 1])
    if image is not None:
        vendor += bytes([8, 4]) + image.to_bytes(4, "big")
    if server_id is not None:
        vendor += bytes([3, 4]) + socket.inet_aton(server_id)
    if filter_:
        vendor += bytes([11, 2 * len(filter_)]) + b"".join(v.to_bytes(2, "big") for v in filter_)
    vendor += bytes([12, 2]) + (1472).to_bytes(2, "big")
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(1.5)
    request = BOOTP(op=1, htype=1, hlen=6, xid=0x4343, chaddr=bytes.fromhex(hardware),
                    ciaddr="127.0.0.1")
    request /= DHCP(options=[("message-type", "inform"),
                             ("vendor_class_id", ("VRNXBSDPC/i386/" + model).encode()),
                             ("vendor_specific", vendor), "end"])
    s.sendto(bytes(request), ("127.0.0.1", port))
    try:
        reply = BOOTP(s.recv(4096))
    except socket.timeout:
        return None
    finally:
        s.close()
    joined, root = b"", None
    for option in reply[DHCP].options:
        if option[0] == "vendor_specific":
            joined += option[1]
        elif option[0] == "root_disk_path":
            root = option[1].decode()
    found, lists, i = {}, b"", 0
    while i + 1 < len(joined):
        code, n = joined[i], joined[i + 1]
        if code == 9:
            lists += joined[i + 2:i + 2 + n]
        else:
            found[code] = joined[i + 2:i + 2 + n]
        i += 2 + n
    entries, i = {}, 0
    while i < len(lists):
        n = lists[i + 4]
        entries[lists[i + 5:i + 5 + n].decode().split(" (")[0]] = int.from_bytes(lists[i:i + 4], "big")
        i += 5 + n
    return {"bsdp": found, "list": entries, "file": reply.file.rstrip(b"\0").decode(),
            "root": root, "siaddr": reply.siaddr}


class Server:
    def __init__(self, folder, state):
        self.out = open(os.path.join(work, "serve.out"), "w+")
        self.process = subprocess.Popen(
            [serve, "--library", folder, "--state-dir", state, "--bsdp-port", "0"],
            stdout=self.out, stderr=subprocess.STDOUT)
        for _ in range(300):
            if "Watching" in self.text():
                break
            time.sleep(0.05)
        line = next(l for l in self.text().splitlines() if l.startswith("tamsor-serve: bsdp="))
        self.bsdp = int(line.split("bsdp=")[1].split()[0])
        self.tftp = int(line.split("tftp=")[1].split()[0])

    def text(self):
        return open(self.out.name, encoding="utf-8", errors="replace").read()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)


def tftp(port, name):
    done = subprocess.run(["curl", "-sS", "--max-time", "20", "--tftp-blksize", "1468", "--path-as-is",
                           "tftp://127.0.0.1:%d/%s" % (port, name)], capture_output=True)
    return done.stdout if done.returncode == 0 else None


def image(folder, description, binary=False, booter=True, arch="i386", root=True):
    """A folder image whose booter and kernel carry the folder's name."""
    path = os.path.join(lab, folder)
    os.makedirs(os.path.join(path, arch, "x86_64"))
    if booter:
        open(os.path.join(path, arch, "booter"), "wb").write(
            (folder + " booter ").encode() * 3000)
    open(os.path.join(path, arch, "x86_64", "kernelcache"), "wb").write(
        (folder + " kernel ").encode() * 40000)
    open(os.path.join(path, arch, "com.vendor.Boot.plist"), "wb").write(b"<plist/>")
    if root:
        open(os.path.join(path, "Root.dmg"), "wb").write((folder + " root ").encode() * 50000)
    full = {"Type": "HTTP", "BootFile": "booter", "Architectures": [arch],
            "RootPath": "Root.dmg", "Description": "made by the test"}
    full.update(description)
    with open(os.path.join(path, "NBImageInfo.plist"), "wb") as f:
        plistlib.dump(full, f, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)
    return path


try:
    lab = os.path.join(work, "lab")
    os.mkdir(lab)
    restore = image("Restore 13.nbi", {"Name": "Restore 13", "Index": 4100, "Kind": 1,
                                       "IsInstall": True, "IsDefault": True}, root=False)
    # The root image: a link to a sparse image of 4.5 GiB whose blocks name
    # their own offsets (so a wrong range is obvious).
    sparse = os.path.join(restore, "Restore.sparseimage")
    marks = [0, 1 << 20, (4 << 30) + 12345, (4 << 30) + (300 << 20)]
    with open(sparse, "wb") as f:
        f.truncate((4 << 30) + (512 << 20))
        for mark in marks:
            f.seek(mark)
            f.write(b"".join(b"@%016d;" % (mark + 18 * n) for n in range(4000)))
    os.symlink("Restore.sparseimage", os.path.join(restore, "Restore.dmg"))
    description = plistlib.load(open(os.path.join(restore, "NBImageInfo.plist"), "rb"))
    description["RootPath"] = "Restore.dmg"
    plistlib.dump(description, open(os.path.join(restore, "NBImageInfo.plist"), "wb"))

    image("Diag.nbi", {"Name": "Hardware Test", "Index": 200, "Kind": 3,
                       "Type": "BootFileOnly"}, binary=True, root=False)
    image("Models.nbi", {"Name": "Lab Models", "Index": 300,
                         "EnabledSystemIdentifiers": ["Talvyn5,1"],
                         "DisabledSystemIdentifiers": ["Talvyn5,1", "Other1,1"]})
    image("MacAllow.nbi", {"Name": "Mac Allow", "Index": 400, "Kind": 1,
                           "EnabledMACAddresses": ["2:0:0:11:44:1", "2:0:0:11:44:2"],
                           "DisabledMACAddresses": ["02:00:00:11:44:02"]}, binary=True)
    image("PPC.nbi", {"Name": "Old Macs", "Index": 450}, arch="ppc")
    image("Off.nbi", {"Name": "Off", "Index": 460, "IsEnabled": False})
    image("Revived.nbi", {"Name": "Revived", "Index": 480, "IsEnabled": False})
    open(os.path.join(lab, "library.conf"), "w").write(
        "[Revived.nbi]\nenabled = yes\nname = Back On\n[PPC.nbi]\nenabled = no\n")
    image("Zero.nbi", {"Name": "Zero", "Index": 0})
    image("Str.nbi", {"Name": "Str", "Index": "470"})
    image("Dup A.nbi", {"Name": "Dup A", "Index": 500, "IsInstall": True})
    image("Dup B.nbi", {"Name": "Dup B", "Index": 500, "IsInstall": True}, binary=True)
    image("NoBoot.nbi", {"Name": "No Booter", "Index": 510}, booter=False)
    raw = os.path.join(work, "disc.img")
    subprocess.run([mkimage, "-o", raw, "--name", "Install Disc", "--manifest", manifest],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([mkdmg, "--method", "zlib", raw, os.path.join(lab, "disc.dmg")], check=True,
                   stdout=subprocess.DEVNULL)
    # Its root image a compressed .dmg: served as the file is, not decoded.
    image(UNICODE + ".nbi", {"Name": UNICODE, "Index": 600})
    shutil.copy(os.path.join(lab, "disc.dmg"), os.path.join(lab, UNICODE + ".nbi", "Root.dmg"))
    state = os.path.join(work, "state")

    listing = subprocess.run([serve, "--library", lab, "--state-dir", state, "--list"],
                             capture_output=True, text=True).stdout
    for expected in ("Off.nbi: left out: IsEnabled is false",
                     "Zero.nbi: left out: Index must be 1 to 65535",
                     'Str.nbi: left out: Index is the text "470", not a number',
                     "Dup B.nbi: left out: its ID 810001F4 is Dup A.nbi's",
                     "PPC.nbi: left out: enabled = no in library.conf",
                     '010001E0 "Back On" Revived.nbi',
                     'NoBoot.nbi: left out: BootFile in i386/: "booter" does not exist',
                     '81001004 "Restore 13" Restore 13.nbi, HTTP, default, architectures: i386',
                     '030000C8 "Hardware Test" Diag.nbi, BootFileOnly, filter only',
                     "models: Talvyn5,1", "hardware: 02:00:00:11:44:01 02:00:00:11:44:02, "
                     "refused: 02:00:00:11:44:02"):
        check(expected in listing, "--list lacks %r:\n%s" % (expected, listing))

    server = Server(lab, state)
    reply = bsdp(server.bsdp, LAB, 1)
    seen = reply["list"]
    disc_id = seen.get("Install Disc", 0)
    check(sorted(seen) == sorted(["Restore 13", "Lab Models", "Mac Allow", "Dup A", UNICODE,
                                  "Install Disc", "Back On"]), "the lab client sees %s" % sorted(seen))
    check(seen.get("Restore 13") == 0x81001004 and seen.get("Lab Models") == 0x0100012C and
          seen.get("Mac Allow") == 0x01000190 and seen.get(UNICODE) == 0x01000258 and
          seen.get("Dup A") == 0x810001F4 and disc_id >> 16 == 0x8100, "IDs: %s" % seen)
    check(reply["bsdp"].get(7) == (0x81001004).to_bytes(4, "big"), "the default is Restore 13")
    check(reply["bsdp"].get(4) == (32768).to_bytes(2, "big") and 8 not in reply["bsdp"],
          "a server without records: %s" % reply["bsdp"])
    check(sorted(bsdp(server.bsdp, OTHER, 1)["list"]) ==
          sorted(["Restore 13", "Dup A", UNICODE, "Install Disc", "Back On"]),
          "the other model's list")
    check("Mac Allow" not in bsdp(server.bsdp, DENIED, 1)["list"], "the deny list loses")
    check(list(bsdp(server.bsdp, OTHER, 1, filter_=[0x0300])["list"]) == ["Hardware Test"],
          "the diagnostics filter")

    # Each offered image selected and booted from its own folder.
    chosen = {"Restore 13": (LAB, "Restore 13.nbi"), "Lab Models": (LAB, "Models.nbi"),
              "Mac Allow": (LAB, "MacAllow.nbi"), UNICODE: (OTHER, UNICODE + ".nbi"),
              "Hardware Test": (OTHER, "Diag.nbi")}
    ids = dict(seen, **{"Hardware Test": 0x030000C8})
    for name, (client, folder) in chosen.items():
        answer = bsdp(server.bsdp, client, 2, image=ids[name])
        prefix = "nbi%08X/i386/" % ids[name]
        check(answer and answer["bsdp"].get(1) == b"\x02" and answer["file"] == prefix + "booter",
              "%s: SELECT gives %s" % (name, answer and answer["file"]))
        base = os.path.join(lab, folder, "i386")
        for fetched in ("booter", "x86_64/kernelcache", "com.vendor.Boot.plist"):
            check(tftp(server.tftp, prefix + fetched) == open(os.path.join(base, fetched), "rb").read(),
                  "%s: %s over TFTP differs" % (name, fetched))
        check(tftp(server.tftp, prefix + "../Root.dmg") is None and
              tftp(server.tftp, prefix + "x86_64/../../NBImageInfo.plist") is None,
              "%s: a name with .. is served" % name)
        if name == "Hardware Test":
            check(answer["root"] is None, "BootFileOnly has a root path")
    check(bsdp(server.bsdp, DENIED, 2, image=0x01000190)["bsdp"].get(1) == b"\x03",
          "a denied client selects Mac Allow")
    check(bsdp(server.bsdp, OTHER, 2, image=0x0100012C)["bsdp"].get(1) == b"\x03",
          "another model selects Lab Models")

    dmg = bsdp(server.bsdp, LAB, 2, image=disc_id)
    check(dmg["file"] == "%d/booter" % (disc_id & 0xFFFF), "the disc's booter %s" % dmg["file"])

    # Root images over HTTP as they are.
    answer = bsdp(server.bsdp, LAB, 2, image=0x81001004)
    url = answer["root"]
    check(url.endswith("/Restore%2013.nbi/Restore.dmg"), "root path %s" % url)
    head = subprocess.run(["curl", "-sS", "-I", url], capture_output=True, text=True).stdout
    check("Content-Length: %d" % os.path.getsize(sparse) in head, "HEAD: %s" % head)
    with open(sparse, "rb") as f:
        for start, length in ((0, 65536), ((1 << 20) + 7, 100000), ((4 << 30) + 12345, 65536),
                              ((4 << 30) + (300 << 20) - 10, 1 << 20)):
            part = subprocess.run(["curl", "-sS", "-r", "%d-%d" % (start, start + length - 1), url],
                                  capture_output=True).stdout
            f.seek(start)
            check(part == f.read(length), "range %d+%d of the sparse root differs" % (start, length))
    unicode_root = bsdp(server.bsdp, OTHER, 2, image=0x01000258)["root"]
    check("/Caf%C3%A9%20%C3%9Cn%C3%AFcode%20Lab.nbi/Root.dmg" in unicode_root, unicode_root)
    body = subprocess.run(["curl", "-sS", unicode_root], capture_output=True).stdout
    check(body == open(os.path.join(lab, UNICODE + ".nbi", "Root.dmg"), "rb").read(),
          "the non-ASCII folder's root .dmg is not served as it is")
    # Records: LAB last chose Restore 13, OTHER the diagnostics; DENIED was
    # refused and is not recorded.
    bsdp(server.bsdp, OTHER, 2, image=0x030000C8)
    after = bsdp(server.bsdp, LAB, 1)
    check(after["bsdp"].get(8) == (0x81001004).to_bytes(4, "big"), "option 8 after a SELECT")
    check(after["bsdp"].get(4) == (32768 - 2).to_bytes(2, "big"),
          "priority with two clients: %s" % after["bsdp"].get(4))
    check(8 not in bsdp(server.bsdp, OTHER, 1)["bsdp"] and
          bsdp(server.bsdp, OTHER, 1, filter_=[0x0300])["bsdp"].get(8) == (0x030000C8).to_bytes(4, "big"),
          "option 8 only while the image is offered to the client")
    check(bsdp(server.bsdp, OTHER, 2, image=0x030000C8, server_id="10.9.9.9") is None,
          "a SELECT for another server is answered")
    check(bsdp(server.bsdp, LAB, 1)["bsdp"].get(4) == (32768 - 1).to_bytes(2, "big"),
          "a client gone to another server is still recorded")
    server.stop()
    server = Server(lab, state)
    again = bsdp(server.bsdp, LAB, 1)
    check(again["bsdp"].get(8) == (0x81001004).to_bytes(4, "big") and
          again["bsdp"].get(4) == (32768 - 1).to_bytes(2, "big"),
          "after a restart: %s" % again["bsdp"])

    # A folder removed goes; the duplicate it hid comes.
    shutil.rmtree(os.path.join(lab, "Dup A.nbi"))
    deadline = time.time() + 15
    while time.time() < deadline and "Dup B" not in bsdp(server.bsdp, LAB, 1)["list"]:
        time.sleep(0.3)
    listed = bsdp(server.bsdp, LAB, 1)["list"]
    check(listed.get("Dup B") == 0x810001F4 and "Dup A" not in listed,
          "the waiting duplicate: %s" % listed)
    server.stop()

    # A disc gives way to a folder image before it in byte order that claims
    # its ID, and comes back when the folder goes.
    small = os.path.join(work, "small")
    os.mkdir(small)
    shutil.copy(raw, os.path.join(small, "zz.img"))
    open(os.path.join(work, "ids"), "w").write("1\tzz.img\n")
    os.makedirs(os.path.join(work, "state-small"))
    shutil.copy(os.path.join(work, "ids"), os.path.join(work, "state-small", "library-ids"))
    server = Server(small, os.path.join(work, "state-small"))
    lab = small
    image(".A.nbi", {"Name": "Claimer", "Index": 1, "IsInstall": True})
    os.rename(os.path.join(small, ".A.nbi"), os.path.join(small, "A.nbi"))
    deadline = time.time() + 15
    while time.time() < deadline and "Claimer" not in bsdp(server.bsdp, LAB, 1)["list"]:
        time.sleep(0.3)
    check(bsdp(server.bsdp, LAB, 1)["list"] == {"Claimer": 0x81000001}, "the folder takes the ID")
    shutil.rmtree(os.path.join(small, "A.nbi"))
    deadline = time.time() + 15
    while time.time() < deadline and server.process.poll() is None and \
            "Install Disc" not in (bsdp(server.bsdp, LAB, 1) or {"list": {}})["list"]:
        time.sleep(0.3)
    check(server.process.poll() is None, "the server ended when the disc came back")
    check((bsdp(server.bsdp, LAB, 1) or {"list": {}})["list"] == {"Install Disc": 0x81000001},
          "the disc is back with its ID")
    server.stop()
finally:
    shutil.rmtree(work, ignore_errors=True)

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
