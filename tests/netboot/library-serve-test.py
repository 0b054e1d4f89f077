#!/usr/bin/python3
"""tamsor-serve --library before firmware that picks among several discs.

A folder of three discs (two raw, one .dmg) and a library.conf with a
default, a model list, a hardware list and a diagnostics disc. The client
is scapy-built BSDP and curl: the list each client may see and its
default, an attributes filter, SELECT of each image with its booter over
TFTP and a range over HTTP byte-exact against its own disc, an unknown ID
and a forbidden one refused, a relayed request answered at the client, an
image added and one removed while serving, the IDs unchanged after a
restart, a file renamed over an image and one rewritten in place while a
reader reads (new images with new IDs; the reader never handed a byte of
the new file), the list rules kept when the library shrinks to one image (a
SELECT of a removed image's ID fails, a long name is cut), and forty
entries carried in several option 43s and read back whole (part of them,
and a word in the log, when the client takes less). Hostile clients: a
relayed request aimed at an unprivileged port is dropped and counted, and
a thousand forged client addresses leave no more client rows than the
bound.

The main server reads with --bsdp-rate 0: every request of this script
comes from 127.0.0.1, faster than the per-address rate a real client
needs. Servers are stopped by their process (also when a check throws);
every HTTP read has a time limit.

    library-serve-test.py TAMSOR-SERVE TAMSOR-MKIMAGE TAMSOR-MKDMG TAMSOR-DISC MANIFEST
"""
import json, os, shutil, socket, subprocess, sys, tempfile, time, urllib.request

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


def make_disc(path, name, booter_size, readme=None):
    """A demo disc of its own name whose booter has its own size (and its
    diagnostics folder's README its own text)."""
    text = open(manifest).read().replace("boot.efi 65536", "boot.efi %d" % booter_size)
    if readme:
        text = text.replace("the demo hardware test boots nothing.", readme)
    own = os.path.join(work, name + ".manifest")
    open(own, "w").write(text)
    subprocess.run([mkimage, "-o", path, "--name", name, "--manifest", own], check=True,
                   stdout=subprocess.DEVNULL)


def privileged_socket():
    """A UDP socket on a port below 1024 of 127.0.0.1, or None when this user
    may not bind one."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for port in range(1000, 600, -1):
        try:
            s.bind(("127.0.0.1", port))
            return s
        except PermissionError:
            break
        except OSError:
            continue
    s.close()
    return None


def bsdp(port, client, kind, image=0, filter_=None, size=None, relay_port=None, answer=None,
         ciaddr="127.0.0.1"):
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
    fields = {}
    if relay_port is not None:
        # Relayed: the answer is due at ciaddr and the reply port.
        if answer is None:
            answer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            answer.bind(("127.0.0.1", 0))
        vendor += bytes([5, 2]) + answer.getsockname()[1].to_bytes(2, "big")
        fields = {"ciaddr": ciaddr, "giaddr": "127.0.0.9"}
    else:
        answer = s
    request = BOOTP(op=1, htype=1, hlen=6, xid=0x4242, chaddr=bytes.fromhex(hardware), **fields)
    request /= DHCP(options=[("message-type", "inform"),
                             ("vendor_class_id", ("VRNXBSDPC/i386/" + model).encode()),
                             ("vendor_specific", vendor), "end"])
    answer.settimeout(1.5)
    s.sendto(bytes(request), ("127.0.0.1", port))
    try:
        reply = BOOTP(answer.recv(4096))
        if relay_port is not None:
            # Nothing may come back to the sender (the relay) as well.
            s.settimeout(0.2)
            try:
                s.recv(4096)
                failures.append("a relayed request was also answered at the relay")
            except socket.timeout:
                pass
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


running = []


class Server:
    def __init__(self, folder, state, *options):
        self.out = open(os.path.join(work, "serve.out"), "w+")
        self.process = subprocess.Popen(
            [serve, "--library", folder, "--state-dir", state, "--bsdp-port", "0",
             "--status", "127.0.0.1:0"] + list(options or ["--bsdp-rate", "0"]),
            stdout=self.out, stderr=subprocess.DEVNULL)
        running.append(self)
        for _ in range(200):
            if "Watching" in self.text() or self.process.poll() is not None:
                break
            time.sleep(0.05)
        line = next(l for l in self.text().splitlines() if l.startswith("tamsor-serve: bsdp="))
        self.bsdp = int(line.split("bsdp=")[1].split()[0])
        self.tftp = int(line.split("tftp=")[1].split()[0])
        line = next(l for l in self.text().splitlines() if "status page at " in l)
        self.status_url = line.split("status page at ")[1].strip()

    def text(self):
        return open(self.out.name, errors="replace").read()

    def status(self):
        """/status.json, parsed strictly (no NaN, no lone surrogates)."""
        try:
            with urllib.request.urlopen(self.status_url + "status.json", timeout=10) as answer:
                body = answer.read()
        except OSError as error:
            failures.append("/status.json is not answered: %s" % error)
            return {"images": [], "clients": [], "counters": {}}
        try:
            return json.loads(body.decode("utf-8", "strict"),
                              parse_constant=lambda c: failures.append("JSON constant " + c))
        except ValueError as error:
            failures.append("/status.json is not valid JSON: %s" % error)
            return {"images": [], "clients": [], "counters": {}}

    def stop(self):
        if self in running:
            running.remove(self)
        self.process.terminate()
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            failures.append("the server did not stop within 20 s of SIGTERM")
            self.process.kill()
            self.process.wait()


def ids(server, client, filter_=None):
    reply = bsdp(server.bsdp, client, 1, filter_=filter_)
    return {} if reply is None else {name.split(" (")[0]: i for i, name in reply["list"]}


def listed(server, client, filter_=None):
    """The IDs a client is listed (empty when it gets no answer)."""
    reply = bsdp(server.bsdp, client, 1, filter_=filter_)
    return [] if reply is None else sorted(i for i, _ in reply["list"])


def wait_for(predicate, seconds=15):
    deadline = time.time() + seconds
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
    privileged = privileged_socket()
    if privileged is not None:
        relayed = bsdp(server.bsdp, LAB, 1, relay_port=True, answer=privileged)
        check(relayed is not None and len(relayed["list"]) == 2,
              "a relayed LIST does not reach the client")
    else:
        print("not root: the relayed LIST at a privileged port is not tried")
    # Forged: a relayed request naming an unprivileged port of ciaddr.
    check(bsdp(server.bsdp, LAB, 1, relay_port=True) is None,
          "a relayed LIST is answered at an unprivileged port")
    check(server.status()["counters"].get("bsdpDroppedReplyPort") == 1,
          "the dropped relayed request is not counted: %s" % server.status()["counters"])

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
        part = subprocess.run(["curl", "-sS", "--max-time", "20", "-r", "1000-300000",
                               reply["root"]],
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

    # The folder unreadable for two scans (here: renamed away) takes no
    # image away, and says so; the same file that leaves and comes back
    # keeps its HTTP name, so installs under way find their image again.
    root = bsdp(server.bsdp, LAB, 2, image=seen["Beta"])["root"]
    os.rename(lab, lab + ".away")
    time.sleep(2.5)
    check(sorted(ids(server, LAB)) == ["Beta", "Delta"],
          "with the folder unreadable LAB sees %s" % ids(server, LAB))
    os.rename(lab + ".away", lab)
    check(wait_for(lambda: "can be read again" in server.text()) and
          server.text().count("cannot be read") == 1, "the unreadable folder is not said once")
    os.rename(os.path.join(lab, "beta.dmg"), os.path.join(work, "beta.dmg"))
    check(wait_for(lambda: sorted(ids(server, LAB)) == ["Delta"]), "beta.dmg is still listed")
    os.rename(os.path.join(work, "beta.dmg"), os.path.join(lab, "beta.dmg"))
    check(wait_for(lambda: sorted(ids(server, LAB)) == ["Beta", "Delta"]), "beta.dmg came back")
    again = bsdp(server.bsdp, LAB, 2, image=seen["Beta"])
    check(again is not None and again["root"] == root,
          "Beta came back at %s, not %s" % (again and again["root"], root))

    # Down to one image, the library is still a library: a removed image's
    # ID fails (never the remaining image's files), a long name is cut to
    # whole characters, and the default follows the list.
    os.remove(os.path.join(lab, "delta.img"))
    os.remove(os.path.join(lab, "gamma.img"))
    check(wait_for(lambda: sorted(ids(server, LAB)) == ["Beta"] and not ids(server, OTHER, [0x0300])),
          "the library did not shrink to Beta alone")
    for gone in (seen["Alpha"], diagnostics["Gamma"]):
        refused = bsdp(server.bsdp, LAB, 2, image=gone)
        check(refused is not None and refused["bsdp"].get(1) == b"\x03" and not refused["file"]
              and not refused["root"], "a SELECT of a removed image's ID gets %s" % refused)
    chosen = bsdp(server.bsdp, LAB, 2, image=seen["Beta"])
    check(chosen["file"] == "%d/booter" % (seen["Beta"] & 0xFFFF), "Beta is not selected")
    conf = open(os.path.join(lab, "library.conf")).read()
    open(os.path.join(lab, "library.conf"), "w").write(
        conf.replace("name = Beta", "name = " + "\u03a9" * 127))
    names = lambda: [n for _, n in (bsdp(server.bsdp, LAB, 1) or {"list": []})["list"]]
    check(wait_for(lambda: names() == ["\u03a9" * 123]),
          "a 254-byte name is not cut to 123 whole characters: %s" % names())
    server.stop()

    # A file renamed over an offered image while a slow reader reads: the
    # reader gets the old file's bytes to the last, and the old HTTP name
    # never serves the new file, not even before the next look at the
    # folder; the new file is a new image under a new HTTP name.
    swap = os.path.join(work, "swap")
    os.mkdir(swap)
    shutil.copy(raw["Beta"], os.path.join(swap, "a.img"))
    server = Server(swap, os.path.join(work, "state-swap"))
    swapped_id = listed(server, LAB)[0]
    old_root = bsdp(server.bsdp, LAB, 2, image=swapped_id)["root"]
    alpha = open(raw["Beta"], "rb").read()
    slow = subprocess.Popen(["curl", "-sS", "--max-time", "60", "--limit-rate", "200k", old_root],
                            stdout=subprocess.PIPE)
    time.sleep(0.5)
    make_disc(os.path.join(swap, ".a.tmp"), "Swapped", 65536 + 8192)
    os.rename(os.path.join(swap, ".a.tmp"), os.path.join(swap, "a.img"))
    at_once = subprocess.run(["curl", "-sS", "--max-time", "20", "-r", "0-599999", old_root],
                             capture_output=True).stdout
    check(at_once == alpha[:600000] or b"404" in at_once[:200],
          "the old HTTP name serves another file's bytes right after a rename over it")
    check(slow.communicate(timeout=90)[0] == alpha, "the slow reader's bytes are not the old file's")
    check(wait_for(lambda: (bsdp(server.bsdp, LAB, 2, image=(listed(server, LAB) or [0])[0])
                            or {}).get("root") not in (None, old_root)),
          "the file renamed over is not a new image under a new HTTP name")
    check(listed(server, LAB) not in ([], [swapped_id]),
          "the file renamed over keeps the old file's ID %08X" % swapped_id)
    server.stop()

    # A file rewritten in place (cp over it: the same file, truncated and
    # written again with another disc of the same size) while a reader is
    # part way through it: the reader's bytes are the old file's up to
    # where they stop, and the connection ends rather than deliver a byte
    # of the new file. The reader takes a little, then holds still (its
    # receive buffer small, so the server can have sent ahead at most its
    # socket's worth of a 4.7 MB disc) until the copy is done. The next look
    # offers the rewritten file as a new image: a new HTTP name and a new
    # ID, and a SELECT of the old ID is refused.
    inplace = os.path.join(work, "inplace")
    os.mkdir(inplace)
    target = os.path.join(inplace, "b.img")
    make_disc(target, "Before", 4 << 20)
    newer = os.path.join(work, "rewrite.img")
    make_disc(newer, "Rewritten", 4 << 20)
    # Its booter's bytes changed too, so that the two discs differ all
    # through, not only in their names.
    booter = subprocess.run([disc_tool, "cat", newer + "#2", BOOTER["install"]],
                            capture_output=True).stdout
    data = open(newer, "rb").read()
    at = data.find(booter)
    check(len(booter) == 4 << 20 and at > 0, "the booter is not found in one piece in its disc")
    flipped = booter.translate(bytes(i ^ 0x5A for i in range(256)))
    open(newer, "wb").write(data[:at] + flipped + data[at + len(booter):])
    before = open(target, "rb").read()
    shutil.copy(target, os.path.join(work, "before.img"))
    check(os.path.getsize(newer) == len(before) > 4 << 20, "the two discs differ in size")
    server = Server(inplace, os.path.join(work, "state-inplace"))
    old_id = listed(server, LAB)[0]
    old_root = bsdp(server.bsdp, LAB, 2, image=old_id)["root"]
    host, port = old_root.split("/")[2].split(":")
    reader = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
    reader.settimeout(20)
    reader.connect((host, int(port)))
    reader.sendall(b"GET /" + old_root.split("/", 3)[3].encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    received = b""
    while b"\r\n\r\n" not in received or len(received.split(b"\r\n\r\n", 1)[1]) < 65536:
        piece = reader.recv(4096)
        if not piece:
            break
        received += piece
    subprocess.run(["cp", newer, target], check=True)
    try:
        while True:
            piece = reader.recv(65536)
            if not piece:
                break
            received += piece
    except OSError:
        pass  # a reset ends the body as well as a close
    reader.close()
    body = received.split(b"\r\n\r\n", 1)[-1]
    first_new = None
    if body != before[:len(body)]:
        first_new = next(i for i in range(len(body)) if body[i] != before[i])
    check(first_new is None, "a reader of the file rewritten in place is handed the new file's "
          "bytes from byte %s on" % first_new)
    check(len(body) < len(before), "the connection of a reader of the file rewritten in place "
          "does not end: %d of %d bytes" % (len(body), len(before)))
    check(wait_for(lambda: listed(server, LAB) not in ([], [old_id])),
          "the file rewritten in place keeps its ID %08X" % old_id)
    new_ids = listed(server, LAB)
    refused = bsdp(server.bsdp, LAB, 2, image=old_id)
    check(refused is not None and refused["bsdp"].get(1) == b"\x03" and not refused["root"],
          "a SELECT of the rewritten file's old ID gets %s" % refused)
    chosen = bsdp(server.bsdp, LAB, 2, image=new_ids[0]) if len(new_ids) == 1 else None
    check(chosen is not None and chosen["root"] not in ("", old_root),
          "the rewritten file is not offered under a new HTTP name: %s" % (chosen and chosen["root"]))
    if chosen is not None and chosen["root"]:
        part = subprocess.run(["curl", "-sS", "--max-time", "20", "-r", "1000-300000",
                               chosen["root"]], capture_output=True).stdout
        check(part == open(newer, "rb").read()[1000:300001],
              "the rewritten file's new HTTP name does not serve it")
    # Rewritten again while the server is stopped: after the restart it is
    # not given its name's ID either; unchanged, it keeps its ID.
    server.stop()
    subprocess.run(["cp", os.path.join(work, "before.img"), target], check=True)
    server = Server(inplace, os.path.join(work, "state-inplace"))
    restarted = listed(server, LAB)
    check(len(restarted) == 1 and restarted[0] not in [old_id] + new_ids,
          "the file rewritten while the server was stopped takes its old ID: %s" % restarted)
    server.stop()
    server = Server(inplace, os.path.join(work, "state-inplace"))
    check(listed(server, LAB) == restarted, "an unchanged file's ID changed at a restart: %s %s"
          % (restarted, listed(server, LAB)))
    server.stop()

    # library.conf fails closed. A folder in its place cannot be read: at
    # start nothing is offered, and once settings were read they stay.
    closed = os.path.join(work, "closed")
    state = os.path.join(work, "state-closed")
    os.mkdir(closed)
    for name in ("one.img", "two.img", "install#2.img", "forged.img\n4000\tone.img"):
        os.symlink(raw["Beta"], os.path.join(closed, name))
    for name in ("diag-a.img", "diag-b.img"):
        make_disc(os.path.join(closed, name), name, 65536, readme="Diagnostics of " + name)
    conf = os.path.join(closed, "library.conf")
    os.mkdir(conf)
    listing = subprocess.run([serve, "--library", closed, "--state-dir", state, "--list"],
                             capture_output=True, text=True, timeout=120).stdout
    check("library.conf: it is not a file; no image it could restrict is offered" in listing
          and "hardware: all" not in listing, "--list with an unreadable library.conf:\n" + listing)
    server = Server(closed, state)
    check(bsdp(server.bsdp, OTHER, 1) is None and bsdp(server.bsdp, LAB, 1) is None,
          "an unreadable library.conf at start offers images")
    os.rmdir(conf)
    open(conf, "w").write("[one.img]\nhardware = 02:00:00:11:44:01\n"
                          "[install#2.img]\nhardware = 02:00:00:11:44:01\n"
                          "[diag-a.img]\nkind = diagnostics\n[diag-b.img]\nkind = diagnostics\n")
    # one.img is LAB's alone; install#2.img, whose name no header can hold,
    # is left out; two.img and forged.img are everyone's.
    check(wait_for(lambda: len(listed(server, OTHER)) == 2 and len(listed(server, LAB)) == 3),
          "with library.conf readable: OTHER %s, LAB %s" % (listed(server, OTHER),
                                                             listed(server, LAB)))
    check("install#2.img: no section of library.conf can name this file; rename it (for example "
          "to install-2.img)" in server.text(), "the # name is not said with a new name")

    # Two diagnostics images: each has its own TFTP names.
    diags = listed(server, OTHER, [0x0300])
    check(len(diags) == 2, "two diagnostics images listed: %s" % diags)
    readmes = set()
    for image_id in diags:
        index = bsdp(server.bsdp, OTHER, 2, image=image_id)["file"].split("/")[0]
        got = subprocess.run(["curl", "-sS", "--max-time", "20",
                              "tftp://127.0.0.1:%d/%s/README.txt" % (server.tftp, index)],
                             capture_output=True).stdout
        readmes.add(got)
        check(got.startswith(b"Placeholder: Diagnostics of diag-"), "%s/README.txt gives %r"
              % (index, got))
    check(len(readmes) == 2, "both diagnostics images give the same files")

    os.remove(conf)
    os.mkdir(conf)
    time.sleep(2.5)
    check(len(listed(server, OTHER)) == 2, "an unreadable library.conf dropped the restriction")
    os.rmdir(conf)
    open(conf, "w").write("stray = 1\n[two.img]\n")
    time.sleep(2.5)
    check(len(listed(server, OTHER)) == 2 and len(listed(server, LAB)) == 3,
          "an unparsable library.conf replaced the settings in force")
    check(server.text().count("library.conf: it is not a file") == 2,
          "an unreadable library.conf is not said exactly once each time:\n" + server.text())
    server.stop()

    # The ID file: only offered images took an index, no name forged a
    # line; a corrupt line is named and left out at the next start.
    ids_file = os.path.join(state, "library-ids")
    lines = [l for l in open(ids_file).read().split("\n") if l and not l.startswith("#")]
    check(len(lines) == 5 and not any(l.split("\t")[:2] == ["4000", "one.img"] for l in lines),
          "the ID file holds:\n" + "\n".join(lines))
    open(ids_file, "a").write("12x\tbad.img\n" + lines[0] + "\n")
    server = Server(closed, state)
    for n in (len(lines) + 2, len(lines) + 3):
        check("library-ids:%d: " % n in server.text(), "line %d of the ID file is not named" % n)
    # Unparsable at start: the images it names (two.img) are left out,
    # the five others offered to all (install#2.img, named by none, too;
    # the diagnostics discs now as installs).
    two = 0x81000000 | int(next(l for l in lines if l.split("\t")[1] == "two.img").split("\t")[0])
    check(len(listed(server, LAB)) == 5 and two not in listed(server, LAB) and
          listed(server, OTHER) == listed(server, LAB),
          "with an unparsable library.conf at start LAB sees %s, not %08x" % (listed(server, LAB),
                                                                             two))
    server.stop()

    # Five thousand names that are not images take no index; a file name
    # that is not UTF-8 leaves /status.json valid JSON, and is said.
    crowd = os.path.join(work, "crowd")
    os.mkdir(crowd)
    for n in range(5000):
        open(os.path.join(crowd, "note-%04d.txt" % n), "w").close()
    os.symlink(raw["Beta"], os.path.join(crowd, "zz.img"))
    os.symlink(raw["Beta"], os.path.join(crowd.encode(), b"caf\xe9.img"))
    server = Server(crowd, os.path.join(work, "state-crowd"))
    crowd_ids = listed(server, LAB)
    check(crowd_ids == [0x81000001, 0x81000002],
          "after 5,000 other names the images have IDs %s" % crowd_ids)
    paths = [image["path"] for image in server.status()["images"]]
    check(any(p.endswith("caf\ufffd.img") for p in paths), "status.json paths: %s" % paths)
    check("holds bytes that are not UTF-8" in server.text(), "the name that is not UTF-8 is not said")
    server.stop()

    # Forty entries: several option 43s, read back whole; less room, fewer.
    many = os.path.join(work, "many")
    os.mkdir(many)
    conf = ""
    for n in range(40):
        os.symlink(raw["Beta"], os.path.join(many, "disc%02d.img" % n))
        conf += "[disc%02d.img]\nname = Lab disc %02d, long name\n" % (n, n)
    open(os.path.join(many, "library.conf"), "w").write(conf)
    server = Server(many, os.path.join(work, "state-many"), "--max-clients", "50")
    reply = bsdp(server.bsdp, LAB, 1, size=1472)
    names = [name for _, name in reply["list"]]
    check(names == ["Lab disc %02d, long name" % n for n in range(40)], "forty: %s" % names)
    check(reply["pieces"] >= 4, "forty names in %d option 9s" % reply["pieces"])
    short = bsdp(server.bsdp, LAB, 1)
    check(0 < len(short["list"]) < 40 and
          wait_for(lambda: "no room for %d" % (40 - len(short["list"])) in server.text()),
          "a 576-byte client gets %d entries, and the log does not say" % len(short["list"]))

    # A thousand forged relayed requests, each from another ciaddr (answers
    # go to port 68 of loopback addresses, where nobody listens): the rows
    # stay within the bound, and the newest client is among them.
    forger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for n in range(1000):
        forged = BOOTP(op=1, htype=1, hlen=6, xid=n, chaddr=bytes.fromhex(LAB[1]),
                       ciaddr="127.1.%d.%d" % (n // 250, 1 + n % 250), giaddr="127.0.0.9")
        forged /= DHCP(options=[("message-type", "inform"),
                                ("vendor_class_id", ("VRNXBSDPC/i386/" + LAB[0]).encode()),
                                ("vendor_specific", bytes([1, 1, 1, 2, 2, 1, 1])), "end"])
        forger.sendto(bytes(forged), ("127.0.0.1", server.bsdp))
        if n % 100 == 99:
            time.sleep(0.1)  # within the socket's receive buffer
    forger.close()
    check(wait_for(lambda: server.status()["counters"]["bsdpList"] >= 500),
          "the forged requests were not answered: %s" % server.status()["counters"])
    check(bsdp(server.bsdp, LAB, 1) is not None, "the real client is not answered")
    rows = server.status()["clients"]
    check(len(rows) <= 50 and "127.0.0.1" in [row["address"] for row in rows],
          "%d client rows kept for a bound of 50" % len(rows))
    server.stop()
finally:
    for left in list(running):
        left.process.kill()
        left.process.wait()
    shutil.rmtree(work, ignore_errors=True)

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
