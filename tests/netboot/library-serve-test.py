#!/usr/bin/python3
"""tamsor-serve --library before firmware that picks among several discs.

A folder of three discs (two raw, one .dmg) and a library.conf with a
default, a model list, a hardware list and a diagnostics disc. The client
is scapy-built BSDP and curl: the list each client may see and its
default, an attributes filter, SELECT of each image with its booter over
TFTP and a range over HTTP byte-exact against its own disc, an unknown ID
and a forbidden one refused, a relayed request answered at the client, an
image added and one removed while serving, the IDs unchanged after a
restart, and forty entries carried in several option 43s and read back
whole (part of them, and a word in the log, when the client takes less).

    library-serve-test.py TAMSOR-SERVE TAMSOR-MKIMAGE TAMSOR-MKDMG TAMSOR-DISC MANIFEST
"""
import os, shutil, socket, subprocess, sys, tempfile, time

serve, mkimage, mkdmg, disc_tool, manifest = sys.argv[1:6]
sys.path.insert(0, "/usr/lib/python3/dist-packages")
from scapy.layers.dhcp import BOOTP, DHCP  # noqa: E402

LAB, OTHER = ("Talvyn5,1", "020000114401"), ("Other1,1", "020000119901")
BOOTER = {"install": "usr/standalone/i386/boot.efi",
          "diagnostics": "System/Library/CoreServices/.diagnostics/diags.efi"}
failures = []
work = tempfile.mkdtemp(prefix="tamsor-library.")


def check(condition, what):
    if not condition:
        failures.append(what)


def make_disc(path, name, booter_size):
    """A demo disc of its own name whose booter has its own size."""
    text = open(manifest).read().replace("boot.efi 65536", "boot.efi %d" % booter_size)
    own = os.path.join(work, name + ".manifest")
    open(own, "w").write(text)
    subprocess.run([mkimage, "-o", path, "--name", name, "--manifest", own], check=True,
                   stdout=subprocess.DEVNULL)


def bsdp(port, client, kind, image=0, filter_=None, size=None, relay_port=None):
    """One request; the reply's BSDP options (lists of option 43 and 9 pieces
    joined as a client joins them), the file field and the root path."""
    model, hardware = client
    vendor = bytes([1, 1, kind, 2, 2, 1, 1])
    if kind == 2:
        vendor += bytes([8, 4]) + image.to_bytes(4, "big")
    if filter_:
        vendor += bytes([11, 2 * len(filter_)]) + b"".join(v.to_bytes(2, "big") for v in filter_)
    if size:
        vendor += bytes([12, 2]) + size.to_bytes(2, "big")
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    answer = s
    fields = {}
    if relay_port is not None:
        answer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        answer.bind(("127.0.0.1", 0))
        vendor += bytes([5, 2]) + answer.getsockname()[1].to_bytes(2, "big")
        fields = {"ciaddr": "127.0.0.1", "giaddr": "127.0.0.9"}
    request = BOOTP(op=1, htype=1, hlen=6, xid=0x4242, chaddr=bytes.fromhex(hardware), **fields)
    request /= DHCP(options=[("message-type", "inform"),
                             ("vendor_class_id", ("VRNXBSDPC/i386/" + model).encode()),
                             ("vendor_specific", vendor), "end"])
    answer.settimeout(1.5)
    s.sendto(bytes(request), ("127.0.0.1", port))
    try:
        reply = BOOTP(answer.recv(4096))
    except socket.timeout:
        return None
    finally:
        s.close()
        answer.close()
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
    entries, i = [], 0
    while i < len(lists):
        n = lists[i + 4]
        entries.append((int.from_bytes(lists[i:i + 4], "big"), lists[i + 5:i + 5 + n].decode()))
        i += 5 + n
    return {"bsdp": found, "list": entries, "pieces": joined.count(b"\x09"),
            "file": reply.file.rstrip(b"\0").decode(), "root": root}


class Server:
    def __init__(self, folder, state):
        self.out = open(os.path.join(work, "serve.out"), "w+")
        self.process = subprocess.Popen(
            [serve, "--library", folder, "--state-dir", state, "--bsdp-port", "0"],
            stdout=self.out, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if "Watching" in self.text():
                break
            time.sleep(0.05)
        line = next(l for l in self.text().splitlines() if l.startswith("tamsor-serve: bsdp="))
        self.bsdp = int(line.split("bsdp=")[1].split()[0])
        self.tftp = int(line.split("tftp=")[1].split()[0])

    def text(self):
        return open(self.out.name).read()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)


def ids(server, client, filter_=None):
    reply = bsdp(server.bsdp, client, 1, filter_=filter_)
    return {} if reply is None else {name.split(" (")[0]: i for i, name in reply["list"]}


def wait_for(predicate):
    deadline = time.time() + 15
    while time.time() < deadline and not predicate():
        time.sleep(0.2)
    return predicate()


try:
    lab = os.path.join(work, "lab")
    os.mkdir(lab)
    raw = {"Alpha": os.path.join(lab, "alpha.img"), "Beta": os.path.join(work, "beta.img"),
           "Gamma": os.path.join(lab, "gamma.img")}
    for n, (name, path) in enumerate(raw.items()):
        make_disc(path, name, 65536 + 4096 * n)
    subprocess.run([mkdmg, "--method", "zlib", raw["Beta"], os.path.join(lab, "beta.dmg")],
                   check=True, stdout=subprocess.DEVNULL)
    open(os.path.join(lab, "library.conf"), "w").write(
        "# the lab\n[alpha.img]\nmodels = Talvyn5,1 Talvyn6,2\n"
        "[beta.dmg]\nname = Beta\ndefault = yes\nhardware = 02:00:00:11:44:01\n"
        "[gamma.img]\nkind = diagnostics\n[epsilon.img]\nenabled = yes\ncolour = red\n")
    shutil.copy(raw["Alpha"], os.path.join(lab, "epsilon.img"))
    listing = subprocess.run([serve, "--library", lab, "--state-dir", os.path.join(work, "state"),
                              "--list"], capture_output=True, text=True).stdout
    check("epsilon.img: left out: library.conf:12: unknown setting" in listing and
          listing.count('" beta.dmg, default, models: all, hardware: 02:00:00:11:44:01') == 1 and
          len(listing.splitlines()) == 4, "--list shows:\n" + listing)
    server = Server(lab, os.path.join(work, "state"))

    # Who sees what, and the default.
    reply = bsdp(server.bsdp, LAB, 1)
    seen = {name.split(" (")[0]: i for i, name in reply["list"]}
    check(sorted(seen) == ["Alpha", "Beta"], "the lab client sees %s" % sorted(seen))
    check(all(i >> 16 == 0x8100 and 0 < i & 0xFFFF < 4096 for i in seen.values()), "install IDs")
    check(reply["bsdp"].get(7) == seen.get("Beta", 0).to_bytes(4, "big"), "the default is Beta")
    check(bsdp(server.bsdp, OTHER, 1) is None, "a client that may see nothing is answered")
    diagnostics = ids(server, OTHER, [0x0300])
    check(list(diagnostics) == ["Gamma"] and diagnostics["Gamma"] >> 16 == 0x0300,
          "the diagnostics filter gives %s" % diagnostics)
    check(ids(server, LAB, [0x8100]) == seen, "an install filter changes the list")
    relayed = bsdp(server.bsdp, LAB, 1, relay_port=True)
    check(relayed is not None and len(relayed["list"]) == 2, "a relayed LIST reaches the client")

    # Each image booted from its own disc.
    for name, client, kind, image_id in (("Alpha", LAB, "install", seen["Alpha"]),
                                         ("Beta", LAB, "install", seen["Beta"]),
                                         ("Gamma", OTHER, "diagnostics", diagnostics["Gamma"])):
        reply = bsdp(server.bsdp, client, 2, image=image_id)
        check(reply["bsdp"].get(1) == b"\x02" and reply["file"] == "%d/booter" % (image_id & 0xFFFF),
              "%s: SELECT gives %s" % (name, reply["file"]))
        got = subprocess.run(["curl", "-sS", "--max-time", "20",
                              "tftp://127.0.0.1:%d/%s" % (server.tftp, reply["file"])],
                             capture_output=True).stdout
        want = subprocess.run([disc_tool, "cat", raw[name] + "#2", BOOTER[kind]],
                              capture_output=True).stdout
        check(got == want and len(want) > 0, "%s: the booter is not its own disc's" % name)
        part = subprocess.run(["curl", "-sS", "-r", "1000-300000", reply["root"]],
                              capture_output=True).stdout
        check(part == open(raw[name], "rb").read()[1000:300001], "%s: HTTP range differs" % name)
    refused = bsdp(server.bsdp, LAB, 2, image=0x81000099)
    check(refused["bsdp"].get(1) == b"\x03" and not refused["file"] and not refused["root"],
          "an unknown ID is not refused")
    check(bsdp(server.bsdp, OTHER, 2, image=seen["Beta"])["bsdp"].get(1) == b"\x03",
          "a client outside Beta's hardware list selects it")

    # Added (written under a hidden name, then renamed) and removed while
    # serving.
    make_disc(os.path.join(lab, ".delta.tmp"), "Delta", 65536)
    os.rename(os.path.join(lab, ".delta.tmp"), os.path.join(lab, "delta.img"))
    check(wait_for(lambda: sorted(ids(server, LAB)) == ["Alpha", "Beta", "Delta"]),
          "an added image is not listed")
    check(list(ids(server, OTHER)) == ["Delta"], "the added image has no restrictions")
    os.remove(raw["Alpha"])
    check(wait_for(lambda: sorted(ids(server, LAB)) == ["Beta", "Delta"]),
          "a removed image is still listed")
    before = {i for _, i in bsdp(server.bsdp, LAB, 1)["list"]}
    server.stop()
    server = Server(lab, os.path.join(work, "state"))
    after = {i for _, i in bsdp(server.bsdp, LAB, 1)["list"]}
    check(before == after and len(after) == 2, "IDs changed at a restart: %s %s" % (before, after))
    server.stop()

    # Forty entries: several option 43s, read back whole; less room, fewer.
    many = os.path.join(work, "many")
    os.mkdir(many)
    conf = ""
    for n in range(40):
        os.symlink(raw["Beta"], os.path.join(many, "disc%02d.img" % n))
        conf += "[disc%02d.img]\nname = Lab disc %02d, long name\n" % (n, n)
    open(os.path.join(many, "library.conf"), "w").write(conf)
    server = Server(many, os.path.join(work, "state-many"))
    reply = bsdp(server.bsdp, LAB, 1, size=1472)
    names = [name for _, name in reply["list"]]
    check(names == ["Lab disc %02d, long name" % n for n in range(40)], "forty: %s" % names)
    check(reply["pieces"] >= 4, "forty names in %d option 9s" % reply["pieces"])
    short = bsdp(server.bsdp, LAB, 1)
    check(0 < len(short["list"]) < 40 and
          wait_for(lambda: "no room for %d" % (40 - len(short["list"])) in server.text()),
          "a 576-byte client gets %d entries, and the log does not say" % len(short["list"]))
    server.stop()
finally:
    shutil.rmtree(work, ignore_errors=True)

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
