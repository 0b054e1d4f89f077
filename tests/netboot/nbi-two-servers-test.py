#!/usr/bin/python3
"""Two tamsor-serve --library servers sharing a lab: each in a network
namespace of its own on one bridge, each holding a copy of one folder image
with a shared Index. One broadcast LIST from a client in a third namespace
is answered by both with the same ID and their priorities (the second
server already has a record of this client, so it ranks lower); the client
selects the higher one by a broadcast SELECT naming it, boots its booter
over TFTP byte-exact, and the other server drops its record (its priority
rises back, option 8 gone). Needs root for the namespaces (exit 77 without).

    nbi-two-servers-test.py TAMSOR-SERVE
"""
import json, os, plistlib, shutil, socket, subprocess, sys, tempfile, time

HARDWARE = "020000774410"
SHARED_ID = 0x81001068  # install, Kind 1, Index 4200


def client(mode, port, server_id=None):
    """Runs inside the client's namespace: one broadcast request, every
    answer within two seconds as JSON lines on standard output."""
    sys.path.insert(0, "/usr/lib/python3/dist-packages")
    from scapy.layers.dhcp import BOOTP, DHCP
    kind = 1 if mode == "list" else 2
    vendor = bytes([1, 1, kind, 2, 2, 1, 1, 5, 2]) + (6800).to_bytes(2, "big")
    if kind == 2:
        vendor += bytes([8, 4]) + SHARED_ID.to_bytes(4, "big")
        vendor += bytes([3, 4]) + socket.inet_aton(server_id)
    request = BOOTP(op=1, htype=1, hlen=6, xid=0x7777, chaddr=bytes.fromhex(HARDWARE),
                    ciaddr="10.77.0.10")
    request /= DHCP(options=[("message-type", "inform"),
                             ("vendor_class_id", b"VRNXBSDPC/i386/Talvyn5,1"),
                             ("vendor_specific", vendor), "end"])
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", 6800))
    s.settimeout(0.3)
    s.sendto(bytes(request), ("255.255.255.255", port))
    deadline = time.time() + 2
    while time.time() < deadline:
        try:
            data, sender = s.recvfrom(4096)
        except socket.timeout:
            continue
        reply = BOOTP(data)
        joined = b"".join(o[1] for o in reply[DHCP].options if o[0] == "vendor_specific")
        found, i = {}, 0
        while i + 1 < len(joined):
            found.setdefault(joined[i], b"")
            found[joined[i]] += joined[i + 2:i + 2 + joined[i + 1]]
            i += 2 + joined[i + 1]
        entries, lists, i = [], found.get(9, b""), 0
        while i < len(lists):
            entries.append(int.from_bytes(lists[i:i + 4], "big"))
            i += 5 + lists[i + 4]
        print(json.dumps({"from": sender[0],
                          "priority": int.from_bytes(found.get(4, b"\0\0"), "big"),
                          "selected": int.from_bytes(found.get(8, b"\0\0\0\0"), "big"),
                          "ids": entries, "type": found.get(1, b"\0")[0],
                          "file": reply.file.rstrip(b"\0").decode()}), flush=True)


if len(sys.argv) > 1 and sys.argv[1] == "--client":
    client(sys.argv[2], int(sys.argv[3]), *(sys.argv[4:5]))
    sys.exit(0)

serve = sys.argv[1]
if os.geteuid() != 0:
    print("needs root for network namespaces")
    sys.exit(77)
tag = "nbi%d" % os.getpid()
names = {"hub": tag + "h", "a": tag + "a", "b": tag + "b", "c": tag + "c"}
addresses = {"a": "10.77.0.1", "b": "10.77.0.2", "c": "10.77.0.10"}
work = tempfile.mkdtemp(prefix="tamsor-nbi2.")
processes, made, failures = [], [], []


def ip(*arguments):
    subprocess.run(["ip", *arguments], check=True, capture_output=True)


def check(condition, what):
    if not condition:
        failures.append(what)


try:
    try:
        for name in names.values():
            ip("netns", "add", name)
            made.append(name)
    except subprocess.CalledProcessError:
        print("cannot make network namespaces")
        sys.exit(77)
    ip("-n", names["hub"], "link", "add", "br0", "type", "bridge")
    ip("-n", names["hub"], "link", "set", "br0", "up")
    for side in ("a", "b", "c"):
        ip("-n", names["hub"], "link", "add", "v" + side, "type", "veth", "peer", "name", "eth0",
           "netns", names[side])
        ip("-n", names["hub"], "link", "set", "v" + side, "master", "br0", "up")
        ip("-n", names[side], "addr", "add", addresses[side] + "/24", "dev", "eth0")
        ip("-n", names[side], "link", "set", "eth0", "up")
        ip("-n", names[side], "link", "set", "lo", "up")
    ip("-n", names["c"], "route", "add", "default", "dev", "eth0")

    # One image, copied to both servers as labs copy it.
    lab = os.path.join(work, "lab-a", "Shared Lab.nbi")
    os.makedirs(os.path.join(lab, "i386", "x86_64"))
    open(os.path.join(lab, "i386", "booter"), "wb").write(os.urandom(150000))
    open(os.path.join(lab, "i386", "x86_64", "kernelcache"), "wb").write(os.urandom(400000))
    open(os.path.join(lab, "Root.dmg"), "wb").write(os.urandom(300000))
    plistlib.dump({"Name": "Shared Lab", "Index": 4200, "Kind": 1, "IsInstall": True,
                   "Type": "HTTP", "BootFile": "booter", "Architectures": ["i386"],
                   "RootPath": "Root.dmg"}, open(os.path.join(lab, "NBImageInfo.plist"), "wb"),
                  fmt=plistlib.FMT_BINARY)
    shutil.copytree(os.path.join(work, "lab-a"), os.path.join(work, "lab-b"), symlinks=True)
    # The second server has booted this client before.
    os.makedirs(os.path.join(work, "state-b"))
    open(os.path.join(work, "state-b", "clients"), "w").write(
        "02:00:00:77:44:10\t%08X\ti386\tTalvyn5,1\t10.77.0.10\t1700000000\n" % SHARED_ID)

    ports = {}
    for side in ("a", "b"):
        out = open(os.path.join(work, "serve-%s.out" % side), "w+")
        processes.append(subprocess.Popen(
            ["ip", "netns", "exec", names[side], serve, "--library",
             os.path.join(work, "lab-" + side), "--state-dir", os.path.join(work, "state-" + side),
             "--bsdp-port", "7799"], stdout=out, stderr=subprocess.STDOUT))
        for _ in range(300):
            if "Watching" in open(out.name).read():
                break
            time.sleep(0.05)
        text = open(out.name).read()
        check("Watching" in text, "server %s did not start:\n%s" % (side, text))
        ports[side] = int(text.split("tftp=")[1].split()[0]) if "tftp=" in text else 0

    def ask(mode, server_id=None):
        done = subprocess.run(["ip", "netns", "exec", names["c"], "/usr/bin/python3", __file__,
                               "--client", mode, "7799"] + ([server_id] if server_id else []),
                              capture_output=True, text=True, timeout=30)
        return {a["from"]: a for a in map(json.loads, done.stdout.split("\n")[:-1])}

    answers = ask("list")
    a, b = answers.get(addresses["a"]), answers.get(addresses["b"])
    check(a is not None and b is not None, "both servers answer one broadcast LIST: %s" % answers)
    if a and b:
        check(a["ids"] == [SHARED_ID] and b["ids"] == [SHARED_ID], "one shared ID from each")
        check(a["priority"] == 32768 and b["priority"] == 32767,
              "priorities %d and %d" % (a["priority"], b["priority"]))
        check(a["selected"] == 0 and b["selected"] == SHARED_ID, "option 8 only from b")
        best = max((a, b), key=lambda answer: answer["priority"])["from"]
        selected = ask("select", best)
        check(list(selected) == [best] and selected[best]["type"] == 2,
              "only the chosen server answers its SELECT: %s" % selected)
        side = "a" if best == addresses["a"] else "b"
        booter = subprocess.run(["ip", "netns", "exec", names["c"], "curl", "-sS", "--max-time",
                                 "20", "tftp://%s:%d/%s" % (best, ports[side],
                                                           selected[best]["file"])],
                                capture_output=True).stdout
        check(booter == open(os.path.join(lab, "i386", "booter"), "rb").read(),
              "the booter from %s differs" % best)
        again = ask("list")
        check(again.get(addresses["b"], {}).get("priority") == 32768 and
              again.get(addresses["b"], {}).get("selected") == 0,
              "b keeps its record of a client that chose a: %s" % again.get(addresses["b"]))
        check(again.get(addresses["a"], {}).get("priority") == 32767 and
              again.get(addresses["a"], {}).get("selected") == SHARED_ID,
              "a did not record the client: %s" % again.get(addresses["a"]))
finally:
    for process in processes:
        process.terminate()
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
    for name in made:
        subprocess.run(["ip", "netns", "del", name], capture_output=True)
    shutil.rmtree(work, ignore_errors=True)

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
