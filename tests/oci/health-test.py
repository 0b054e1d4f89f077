#!/usr/bin/python3
"""tamsor-health, the container's health check, against small servers of
this test on loopback whose answers are known: up (0), the services down,
another status, an answer cut short, no server (1 each), and a server that
accepts and then says nothing, which must not hold the check past its
deadline (1, soon after --timeout).

    health-test.py TAMSOR-HEALTH
"""
import socket, subprocess, sys, threading, time

health = sys.argv[1]
failures = []


def serve(answer):
    """A listener on a free loopback port that gives every connection
    `answer` (None: reads and never answers); its port."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)

    def run():
        while True:
            connection, _ = listener.accept()
            connection.recv(4096)
            if answer is None:
                threading.Timer(30, connection.close).start()
                continue
            connection.sendall(answer)
            connection.close()
    threading.Thread(target=run, daemon=True).start()
    return listener.getsockname()[1]


def answer(status, body):
    return ("HTTP/1.1 %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n%s" % (status, len(body), body)).encode()


UP = '{"server":{"version":"0.2","up":true,"ports":{"bsdp":7799}},"images":[]}'
DOWN = UP.replace('"up":true', '"up":false')
free = socket.socket()
free.bind(("127.0.0.1", 0))
nobody = free.getsockname()[1]  # bound, never listening: refused
cases = (("up", serve(answer("200 OK", UP)), 0, None),
         ("the services down", serve(answer("200 OK", DOWN)), 1, "not up"),
         ("not found", serve(answer("404 Not Found", "")), 1, "404"),
         ("cut short", serve(answer("200 OK", UP)[:40]), 1, "no HTTP answer"),
         ("refused", nobody, 1, "not listening"),
         ("silent", serve(None), 1, "within 2 s"))
for name, port, want, words in cases:
    started = time.time()
    result = subprocess.run([health, "--timeout", "2", "http://127.0.0.1:%d/status.json" % port],
                            capture_output=True, text=True, timeout=60)
    took = time.time() - started
    good = result.returncode == want and (words is None or words in result.stderr)
    if name == "silent":
        good = good and took < 10  # the deadline, not the peer, ends it
    print("%s %s: exit %d after %.1f s %s" % ("ok  " if good else "FAIL", name, result.returncode,
                                             took, result.stderr.strip()))
    if not good:
        failures.append(name)
usage = subprocess.run([health, "ftp://127.0.0.1/"], capture_output=True, text=True)
if usage.returncode != 2:
    failures.append("a URL that is not http:// gives %d, not 2" % usage.returncode)
if failures:
    print("tamsor-health is wrong for: " + ", ".join(failures))
sys.exit(1 if failures else 0)
