"""Boot clients for tamsor-serve's tests: scapy-built BSDP requests and curl
for TFTP, HTTP and the installer's posted messages, each from a loopback
address of its own."""
import re, socket, subprocess, sys

sys.path.insert(0, "/usr/lib/python3/dist-packages")
from scapy.layers.dhcp import BOOTP, DHCP  # noqa: E402


def ports_of(text):
    """The (bsdp, tftp, http) ports of tamsor-serve's start line."""
    match = re.search(r"bsdp=(\d+) tftp=(\d+) http=(\d+)", text)
    return tuple(int(n) for n in match.groups()) if match else None


def bsdp(port, source, hardware, kind):
    request = BOOTP(op=1, htype=1, hlen=6, xid=0x1000 + kind, chaddr=bytes.fromhex(hardware))
    request /= DHCP(options=[("message-type", "inform"),
                             ("vendor_class_id", b"VRNXBSDPC/i386/Lab1,1"),
                             ("vendor_specific", bytes([1, 1, kind])), "end"])
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.settimeout(5)
    s.sendto(bytes(request), ("127.0.0.1", port))
    s.recv(2048)
    s.close()


def curl(*arguments):
    subprocess.run(["curl", "-s", "-S", "--max-time", "20", "-o", "/dev/null", *arguments],
                   check=True)


def post_progress(http_port, source, percentage, status):
    """The installer's Progress message, as the client posts it."""
    escaped = status.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    plist = ('<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>'
             '<key>Message</key><string>Progress</string><key>Percentage</key>'
             '<integer>%d</integer><key>Status</key><string>%s</string>'
             '</dict></plist>' % (percentage, escaped)).encode()
    subprocess.run(["curl", "-s", "-S", "--max-time", "20", "-o", "/dev/null", "--interface", source,
                    "-H", "Content-Type: text/xml", "--data-binary", "@-",
                    "http://127.0.0.1:%d/" % http_port], input=plist, check=True)


def walk(ports, source, hardware, install):
    """One client: LIST and SELECT, the booter and kernel, a read of the
    image; with install, a progress message posted by its installer."""
    bsdp_port, tftp_port, http_port = ports
    bsdp(bsdp_port, source, hardware, 1)
    bsdp(bsdp_port, source, hardware, 2)
    for name in ("1/booter", "1/mach.orvane"):
        curl("--interface", source, "--tftp-blksize", "1468", "tftp://127.0.0.1:%d/%s" % (tftp_port, name))
    if install:
        curl("--interface", source, "-r", "0-65535", "http://127.0.0.1:%d/CdRom0.dmg" % http_port)
        post_progress(http_port, source, 42, "Copying files")
