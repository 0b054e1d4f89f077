#!/usr/bin/python3
"""tamsor-serve --keep-booting before two clients, as a person sees it.

On a pseudo-terminal: a live table, one row per client with its hardware
address and phase, redrawn in place (never more than a few times a second);
at Ctrl-C a summary line per client. Without a terminal (a pipe): plain
lines, each naming its client. The clients are scapy-built BSDP requests and
curl, each from its own loopback address.

    serve-table-test.py TAMSOR-SERVE DEMO-DISC-IMAGE
"""
import os, pty, re, select, signal, subprocess, sys, time

sys.dont_write_bytecode = True

serve, image = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netboot_clients import free_udp_port, ports_of, walk  # noqa: E402

CLIENTS = {"127.0.0.2": "0016cb000002", "127.0.0.3": "0016cb000003"}
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def read_until(fd, buffer, condition, seconds):
    deadline = time.time() + seconds
    while not condition(buffer) and time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            buffer.extend(chunk)
    return buffer


# ---- On a pseudo-terminal ---------------------------------------------------
pid, fd = pty.fork()
if pid == 0:
    os.environ["TERM"] = "xterm"
    os.execv(serve, [serve, "--keep-booting", "--bsdp-port", str(free_udp_port()), image])
import fcntl, struct, termios  # noqa: E402
fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
screen = read_until(fd, bytearray(), lambda b: ports_of(b.decode(errors="replace")), 20)
ports = ports_of(screen.decode(errors="replace"))
check(ports is not None, "the start line on the terminal")
if ports:
    walk(ports, "127.0.0.2", CLIENTS["127.0.0.2"], False)
    walk(ports, "127.0.0.3", CLIENTS["127.0.0.3"], True)
    start = len(screen)
    time.sleep(1.5)
    read_until(fd, screen, lambda b: False, 0.5)
    text = screen.decode(errors="replace")
    # The last drawing: after the last erase sequence.
    last = text[text.rfind("\x1b[J") + 3:] if "\x1b[J" in text else text
    rows = [line.strip() for line in last.replace("\r", "").split("\n") if line.strip()]
    check(any(r.startswith("CLIENT") and "PHASE" in r for r in rows), "a heading row: %r" % rows)
    two = [r for r in rows if r.startswith("127.0.0.2 ")]
    three = [r for r in rows if r.startswith("127.0.0.3 ")]
    check(len(two) == 1 and "00:16:cb:00:00:02" in two[0] and " kernel " in two[0],
          "the row of 127.0.0.2 (kernel): %r" % rows)
    check(len(three) == 1 and "00:16:cb:00:00:03" in three[0] and "installing 42%" in three[0]
          and "Copying files" in three[0], "the row of 127.0.0.3 (installing): %r" % rows)
    # Redrawn in place, not written again and again: a few drawings a
    # second at most, and no line per event.
    drawings = text[start:].count("\x1b[J")
    check(0 < drawings <= 3 * 4 + 2, "%d drawings in about 2 s" % drawings)
    check("BSDP SELECT answered" not in text, "per-client lines on the terminal")
    os.kill(pid, signal.SIGINT)
    read_until(fd, screen, lambda b: b"Stopping." in b, 10)
    tail = screen.decode(errors="replace").split("\x1b[J")[-1]
    check(re.search(r"127\.0\.0\.2 \(00:16:cb:00:00:02\): kernel, [\d.]+ KB served", tail) is not None,
          "the summary line of 127.0.0.2: %r" % tail)
    check(re.search(r"127\.0\.0\.3 \(00:16:cb:00:00:03\): installing 42%, .* served; Copying files", tail)
          is not None, "the summary line of 127.0.0.3: %r" % tail)
os.kill(pid, signal.SIGKILL) if failures else None
os.waitpid(pid, 0)

# ---- Into a pipe --------------------------------------------------------------
process = subprocess.Popen([serve, "--keep-booting", "--bsdp-port", str(free_udp_port()), image],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
first = process.stdout.readline().decode()
ports = ports_of(first)
check(ports is not None, "the start line into a pipe")
if ports:
    walk(ports, "127.0.0.3", CLIENTS["127.0.0.3"], True)
    time.sleep(0.5)
process.send_signal(signal.SIGINT)
out = process.communicate(timeout=20)[0].decode()
check("\x1b" not in out, "control sequences into a pipe")
for expected in ("127.0.0.3: BSDP LIST answered (hardware 00:16:cb:00:00:03)",
                 "127.0.0.3: BSDP SELECT answered (hardware 00:16:cb:00:00:03)",
                 "127.0.0.3: sent 1/booter, 65536 bytes in ",
                 "127.0.0.3: has loaded 1/booter; it boots from this computer now.",
                 "127.0.0.3: sent 1/mach.orvane, 262144 bytes in ",
                 "127.0.0.3: reads the image CdRom0 over HTTP",
                 "127.0.0.3: HTTP connection closed, 65.5 KB served in ",
                 "127.0.0.3: Progress: 42% Copying files",
                 "  127.0.0.3 (00:16:cb:00:00:03): installing 42%, 393.2 KB served; Copying files"):
    check(any(line.startswith(expected) for line in out.splitlines()), "the line %r in:\n%s" % (expected, out))

if failures:
    print("FAILED:\n  " + "\n  ".join(failures))
    sys.exit(1)
print("PASSED: the table on a terminal, plain lines into a pipe")
