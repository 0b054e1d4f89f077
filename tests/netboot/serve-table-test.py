#!/usr/bin/python3
"""tamsor-serve --keep-booting before two clients, as a person sees it.

On a pseudo-terminal: a live table, one row per client with its hardware
address and phase, redrawn in place (never more than a few times a second);
at Ctrl-C a summary line per client. Without a terminal (a pipe): plain
lines, each naming its client. The clients are scapy-built BSDP requests and
curl, each from its own loopback address.

    serve-table-test.py TAMSOR-SERVE DEMO-DISC-IMAGE
"""
import atexit, os, pty, re, select, signal, subprocess, sys, time

sys.dont_write_bytecode = True

serve, image = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netboot_clients import ports_of, walk  # noqa: E402

CLIENTS = {"127.0.0.2": "0016cb000002", "127.0.0.3": "0016cb000003"}
failures = []
# The servers started here, stopped on every way out (a failed curl's
# exception, ctest's termination request) by their process ids.
started = []


def stop_started():
    for pid in started:
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass


atexit.register(stop_started)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))


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
    os.execv(serve, [serve, "--keep-booting", "--bsdp-port", "0", image])
started.append(pid)
import fcntl, struct, termios  # noqa: E402
fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
screen = read_until(fd, bytearray(), lambda b: ports_of(b.decode(errors="replace")), 20)
ports = ports_of(screen.decode(errors="replace"))
check(ports is not None, "the start line on the terminal")
def last_rows(text):
    """The rows of the last complete drawing (between the last two erases)."""
    drawings = text.split("\x1b[J")
    last = drawings[-2] if len(drawings) > 2 else drawings[-1]
    return [line.strip() for line in last.replace("\r", "").split("\n") if line.strip()]


def both_shown(buffer):
    rows = last_rows(buffer.decode(errors="replace"))
    return (any(r.startswith("127.0.0.2 ") and " kernel " in r for r in rows) and
            any(r.startswith("127.0.0.3 ") and "Copying files" in r for r in rows))


if ports:
    start, began = len(screen), time.time()
    walk(ports, "127.0.0.2", CLIENTS["127.0.0.2"], False)
    walk(ports, "127.0.0.3", CLIENTS["127.0.0.3"], True)
    # Until a drawing shows both clients' last state, and one more after it
    # (so that the one looked at is whole).
    read_until(fd, screen, both_shown, 10)
    elapsed = time.time() - began
    text = screen.decode(errors="replace")
    rows = last_rows(text)
    check(any(r.startswith("CLIENT") and "PHASE" in r for r in rows), "a heading row: %r" % rows)
    two = [r for r in rows if r.startswith("127.0.0.2 ")]
    three = [r for r in rows if r.startswith("127.0.0.3 ")]
    check(len(two) == 1 and "00:16:cb:00:00:02" in two[0] and " kernel " in two[0],
          "the row of 127.0.0.2 (kernel): %r" % rows)
    check(len(three) == 1 and "00:16:cb:00:00:03" in three[0] and "installing 42%" in three[0]
          and "Copying files" in three[0], "the row of 127.0.0.3 (installing): %r" % rows)
    # Redrawn in place, not written again and again: a few drawings a
    # second at most, and no line per event.
    # Each drawing has its heading row; the first one erases nothing.
    drawings = bytes(screen[start:]).count(b"CLIENT ")
    check(0 < drawings <= 4 * elapsed + 2, "%d drawings in %.1f s" % (drawings, elapsed))
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
started.remove(pid)

# ---- Into a pipe --------------------------------------------------------------
process = subprocess.Popen([serve, "--keep-booting", "--bsdp-port", "0", image],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
started.append(process.pid)
said = read_until(process.stdout.fileno(), bytearray(), lambda b: b"\n" in b, 20)
ports = ports_of(said.decode(errors="replace"))
check(ports is not None, "the start line into a pipe")
if ports:
    walk(ports, "127.0.0.3", CLIENTS["127.0.0.3"], True)
    # The booter's last acknowledgement may reach the server after curl
    # ends: wait for the line it brings and for the installer's message.
    read_until(process.stdout.fileno(), said,
               lambda b: b"has loaded 1/booter" in b and b"Progress: 42%" in b, 10)
process.send_signal(signal.SIGINT)
out = said.decode(errors="replace") + process.communicate(timeout=20)[0].decode()
started.remove(process.pid)
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
