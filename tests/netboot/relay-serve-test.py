#!/usr/bin/python3
"""tamsor-serve behind a real DHCP relay, on one disc and as a library.

Three network namespaces of this test's own: a client, a router running
the DHCP relay (isc-dhcp-relay's dhcrelay) and the server. The client
broadcasts its BSDP LIST and SELECT from port 68 as firmware does; the
relay forwards them with its own address as giaddr; the server must answer
the client at its own address (a relay drops answers sent to it), and the
client then loads its booter over TFTP byte for byte. Requests sent
straight from the server's own network are answered as before.

Needs root (namespaces, port 67) and dhcrelay; otherwise it is skipped.

    relay-serve-test.py TAMSOR-SERVE DEMO-DISC-IMAGE TAMSOR-DISC
"""
import os, shutil, signal, subprocess, sys, tempfile, time

serve, disc, disc_tool = sys.argv[1:4]
DHCRELAY = shutil.which("dhcrelay") or "/usr/sbin/dhcrelay"
if os.geteuid() != 0 or not os.path.exists(DHCRELAY) or not shutil.which("ip"):
    print("SKIPPED: needs root, ip and dhcrelay (isc-dhcp-relay)")
    sys.exit(77)

tag = "tr%d" % os.getpid()
CLIENT, ROUTER, SERVER = tag + "c", tag + "r", tag + "s"
CLIENT_IP, ROUTER_IN, ROUTER_OUT, SERVER_IP = "10.77.1.2", "10.77.1.1", "10.77.2.1", "10.77.2.2"
failures, started = [], []
work = tempfile.mkdtemp(prefix="tamsor-relay.")


def check(condition, what):
    if not condition:
        failures.append(what)


def run(*command, namespace=None):
    prefix = ["ip", "netns", "exec", namespace] if namespace else []
    subprocess.run(prefix + list(command), check=True, stdout=subprocess.DEVNULL, timeout=30)


def start(namespace, command, out):
    process = subprocess.Popen(["ip", "netns", "exec", namespace] + command, stdout=out,
                               stderr=subprocess.STDOUT)
    started.append(process)
    return process


# The client: one request broadcast from port 68, the answer read at port 68.
CLIENT_SCRIPT = r'''
import socket, sys
sys.path.insert(0, "/usr/lib/python3/dist-packages")
from scapy.layers.dhcp import BOOTP, DHCP
kind, image = int(sys.argv[1]), int(sys.argv[2])
vendor = bytes([1, 1, kind, 2, 2, 1, 1, 5, 2, 0, 68])
if kind == 2:
    vendor += bytes([8, 4]) + image.to_bytes(4, "big")
request = BOOTP(op=1, htype=1, hlen=6, xid=0x5151, ciaddr=sys.argv[3],
                chaddr=bytes.fromhex("020000114401"))
request /= DHCP(options=[("message-type", "inform"),
                         ("vendor_class_id", b"VRNXBSDPC/i386/Talvyn5,1"),
                         ("vendor_specific", vendor), "end"])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind(("0.0.0.0", 68))
s.settimeout(3)
for attempt in range(3):
    s.sendto(bytes(request), ("255.255.255.255", 67))
    try:
        reply, sender = s.recvfrom(4096)
        break
    except socket.timeout:
        reply = None
if reply is None:
    print("none")
    sys.exit(0)
reply = BOOTP(reply)
area = b"".join(o[1] for o in reply[DHCP].options if o[0] == "vendor_specific")
ids, i = [], 0
while i + 1 < len(area):
    code, n = area[i], area[i + 1]
    if code == 9:
        j = i + 2
        while j < i + 2 + n:
            ids.append(int.from_bytes(area[j:j + 4], "big"))
            j += 5 + area[j + 4]
    if code == 1:
        kind = area[i + 2]
    i += 2 + n
print("type=%d ids=%s file=%s" % (kind, ",".join("%08x" % x for x in ids),
                                 reply.file.rstrip(b"\0").decode()))
'''


def ask(kind, image=0):
    """What the client got: "type=.. ids=.. file=..", or "none"."""
    result = subprocess.run(["ip", "netns", "exec", CLIENT, "/usr/bin/python3", "-c",
                             CLIENT_SCRIPT, str(kind), str(image), CLIENT_IP],
                            capture_output=True, text=True, timeout=30)
    return dict(w.split("=", 1) for w in result.stdout.split()) if "type=" in result.stdout \
        else {}


try:
    for namespace in (CLIENT, ROUTER, SERVER):
        run("ip", "netns", "add", namespace)
    run("ip", "link", "add", "c0", "netns", CLIENT, "type", "veth", "peer", "r0", "netns", ROUTER)
    run("ip", "link", "add", "r1", "netns", ROUTER, "type", "veth", "peer", "s0", "netns", SERVER)
    for namespace, device, address in ((CLIENT, "c0", CLIENT_IP), (ROUTER, "r0", ROUTER_IN),
                                       (ROUTER, "r1", ROUTER_OUT), (SERVER, "s0", SERVER_IP)):
        run("ip", "addr", "add", address + "/24", "dev", device, namespace=namespace)
        run("ip", "link", "set", device, "up", namespace=namespace)
        run("ip", "link", "set", "lo", "up", namespace=namespace)
    run("ip", "route", "add", "default", "via", ROUTER_IN, namespace=CLIENT)
    run("ip", "route", "add", "default", "via", ROUTER_OUT, namespace=SERVER)
    run("sysctl", "-q", "-w", "net.ipv4.ip_forward=1", namespace=ROUTER)
    relay_log = open(os.path.join(work, "relay.log"), "w+")
    relay = start(ROUTER, [DHCRELAY, "-d", "-4", "--no-pid", "-id", "r0", "-iu", "r1", SERVER_IP],
                  relay_log)
    deadline = time.time() + 15
    while "Sending on" not in open(relay_log.name).read() and time.time() < deadline:
        time.sleep(0.1)

    library = os.path.join(work, "library")
    os.mkdir(library)
    os.symlink(disc, os.path.join(library, "disc.img"))
    booter = subprocess.run([disc_tool, "cat", disc + "#2", "usr/standalone/i386/boot.efi"],
                            capture_output=True).stdout
    for mode, arguments in (("one disc", [disc]),
                            ("library", ["--library", library, "--state-dir",
                                         os.path.join(work, "state")])):
        out = open(os.path.join(work, "serve.out"), "w+")
        server = start(SERVER, [serve, "--bsdp-port", "67"] + arguments, out)
        deadline = time.time() + 20
        while "tftp=" not in open(out.name).read() and time.time() < deadline:
            time.sleep(0.1)
        text = open(out.name).read()
        tftp = int(text.split("tftp=")[1].split()[0]) if "tftp=" in text else 0
        listed = ask(1)
        check(listed.get("type") == "1" and listed.get("ids"),
              "%s: the relayed LIST does not reach the client: %s" % (mode, listed))
        image = int(listed.get("ids", "0").split(",")[0], 16)
        selected = ask(2, image)
        check(selected.get("type") == "2" and selected.get("file", "").endswith("/booter"),
              "%s: the relayed SELECT does not reach the client: %s" % (mode, selected))
        got = subprocess.run(["ip", "netns", "exec", CLIENT, "curl", "-sS", "--max-time", "20",
                              "tftp://%s:%d/%s" % (SERVER_IP, tftp, selected.get("file", ""))],
                             capture_output=True).stdout
        check(len(booter) > 0 and got == booter, "%s: the booter is not the disc's" % mode)
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=20)
    check("Forwarded BOOTREQUEST" in open(relay_log.name).read(), "the relay forwarded nothing")
finally:
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait()
    for namespace in (CLIENT, ROUTER, SERVER):
        subprocess.run(["ip", "netns", "del", namespace], stderr=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
