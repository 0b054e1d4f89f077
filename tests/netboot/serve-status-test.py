#!/usr/bin/python3
"""tamsor-serve --status before three clients, as an administrator sees it.

In headless Chromium: one row per client, a percentage that changes without
a reload, an installer status with markup shown as text (and run nowhere),
and a plain word that the server is gone once it stops. Beside the page:
/status.json read back member by member, its counters equal to what the
clients did and to /metrics (which promtool must pass), 404 and 405, and
a 33rd connection refused. The clients are scapy and curl from loopback
addresses of their own. Without Chromium only the page's own checks are
left out, without promtool only its verdict on /metrics: everything else
needs neither.

    serve-status-test.py TAMSOR-SERVE DEMO-DISC-IMAGE SCREENSHOT-FOLDER
"""
import json, os, re, shutil, signal, socket, subprocess, sys, tempfile, time
import urllib.error, urllib.request

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netboot_clients import ports_of, post_progress, walk  # noqa: E402

serve, image, shots = sys.argv[1], sys.argv[2], sys.argv[3]
left_out = [tool for tool in ("/usr/bin/chromedriver", "/usr/bin/chromium", "/usr/bin/promtool")
            if not os.path.exists(tool)]
browser = not any("chrom" in tool for tool in left_out)
promtool = "/usr/bin/promtool" not in left_out
if browser:
    try:
        from selenium import webdriver  # noqa: E402
        from selenium.webdriver.chrome.service import Service  # noqa: E402
    except ImportError:
        browser = False
        left_out.append("selenium")

CLIENTS = {"127.0.0.2": "0016cb000002", "127.0.0.3": "0016cb000003", "127.0.0.4": "0016cb000004"}
MARKUP = '<script>window.injected=1</script><img src=x onerror="window.injected=2">'
BOOTER, KERNEL, IMAGE_READ = 65536, 262144, 65536
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def until(condition, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    return condition()


def get(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=5) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


process = subprocess.Popen([serve, "--keep-booting", "--bsdp-port", "0",
                            "--status", "127.0.0.1:0", image],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
ports = ports_of(process.stdout.readline().decode())
match = re.search(r"status page at (http://127\.0\.0\.1:(\d+)/)", process.stdout.readline().decode())
if ports is None or match is None:
    process.kill()
    print("FAILED: no start line or no status line")
    sys.exit(1)
base, port = match.group(1), int(match.group(2))

# ---- Plain HTTP: paths, methods, the address and the connection bound -------
check(get(base + "nothing")[0] == 404, "404 for an unknown path")
check(get(base + "metrics", "POST")[0] == 405, "405 for POST")
with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
    s.sendall(b"HEAD /status.json HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    head = b"".join(iter(lambda: s.recv(65536), b""))
check(head.startswith(b"HTTP/1.1 200") and head.endswith(b"\r\n\r\n")
      and b"Content-Length: " in head and b"Content-Length: 0" not in head,
      "HEAD answers the head alone: %r" % head)
other = socket.socket()
check(other.connect_ex(("127.0.0.2", port)) != 0, "listening beyond 127.0.0.1")
other.close()
held = [socket.create_connection(("127.0.0.1", port)) for _ in range(32)]
extra = socket.create_connection(("127.0.0.1", port))
extra.settimeout(3)
try:
    refused = extra.recv(1) == b""
except (ConnectionResetError, socket.timeout) as error:
    refused = isinstance(error, ConnectionResetError)
check(refused, "a 33rd connection is refused")
held[0].sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
check(held[0].recv(12) == b"HTTP/1.1 200", "the 32 held connections are served")
for s in held + [extra]:
    s.close()
# A connection that never asks is closed by the server (after 10 s); it is
# looked at once the browser has had its turn.
idle, idle_since = socket.create_connection(("127.0.0.1", port)), time.time()

# ---- The page, live --------------------------------------------------------------
driver, profile = None, None
if browser:
    options = webdriver.ChromeOptions()
    profile = tempfile.mkdtemp(prefix="issue26-chromium-")
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1280,800", "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def page_checks():
    """What the page shows, live, while the clients walk on."""
    def rows():
        return driver.execute_script(
            "return [...document.querySelectorAll('#clients tr')].map(tr => "
            "Object.fromEntries([...tr.cells].map(td => [td.className, td.textContent])));")
    shown = until(lambda: len(rows()) == 3 and rows()[2]["percentage"].startswith("7%") and rows(), 3)
    check(shown and [r["address"] for r in shown] == list(CLIENTS), "three rows: %r" % shown)
    if shown:
        check(shown[0]["hardware"] == "00:16:cb:00:00:02" and shown[0]["phase"] == "installing"
              and shown[0]["percentage"].startswith("42%") and shown[0]["status"] == "Copying files"
              and shown[0]["bytes"] == "393.2 KB", "the row of 127.0.0.2: %r" % shown[0])
        check(shown[2]["status"] == MARKUP, "the markup shown as text: %r" % shown[2]["status"])
    check(driver.execute_script("return window.injected === undefined && "
                                "document.querySelectorAll('#clients script, #clients img').length == 0"),
          "the client's markup ran or became elements")

    post_progress(ports[2], "127.0.0.3", 55, "Installing packages")
    changed = until(lambda: rows()[1]["percentage"].startswith("55%"), 2.5)
    check(changed and driver.execute_script("return window.sameDocument === true"),
          "127.0.0.3 at 55%% without a reload: %r" % rows())
    driver.save_screenshot(os.path.join(shots, "status-page-1280.png"))
    driver.set_window_size(390, 844)
    time.sleep(0.5)
    driver.save_screenshot(os.path.join(shots, "status-page-phone.png"))
    check(driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth"),
          "the page fits a phone-width window")

    # Everything the page asked for came from the status server itself.
    requested = set()
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            url = message["params"]["request"]["url"]
            if url.startswith(("http:", "https:", "ws:", "wss:")):
                requested.add(url.split("?")[0])
    check(requested and all(url.startswith(base) for url in requested),
          "requests beyond the server: %r" % requested)



try:
    if driver is not None:
        driver.get(base)
        driver.execute_script("window.sameDocument = true;")
    for source, hardware in CLIENTS.items():
        walk(ports, source, hardware, True)
    post_progress(ports[2], "127.0.0.4", 7, MARKUP)
    if driver is not None:
        page_checks()
    else:
        post_progress(ports[2], "127.0.0.3", 55, "Installing packages")

    # ---- The JSON and the metrics agree with what the clients did --------------
    state = json.loads(get(base + "status.json")[1])
    check(set(state) >= {"server", "images", "clients"}, "JSON members: %r" % list(state))
    server = state["server"]
    check(server["ports"] == {"bsdp": ports[0], "tftp": ports[1], "http": ports[2]}
          and re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", server["started"])
          and server["version"] and server["host"], "the server member: %r" % server)
    check(len(state["images"]) == 1 and state["images"][0]["clients"] == 3
          and state["images"][0]["default"] is True and state["images"][0]["id"] == 0x81000001
          and state["images"][0]["path"].startswith("pfs:"), "the images: %r" % state["images"])
    each = BOOTER + KERNEL + IMAGE_READ
    for client in state["clients"]:
        check(client["bytes"] == each and client["image"] == state["images"][0]["name"]
              and client["hardware"] == "00:16:cb:00:00:0" + client["address"][-1]
              and client["outcome"] is None and isinstance(client["percentage"], int)
              and re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", client["last"]),
              "the client %r" % client)
    metrics = get(base + "metrics")[1].decode()
    if promtool:
        check(subprocess.run(["/usr/bin/promtool", "check", "metrics"], input=metrics.encode(),
                             capture_output=True).returncode == 0, "promtool on:\n" + metrics)
    values = dict(re.findall(r"^(\S+) (\d+)$", metrics, re.M))
    expected = {"tamsor_up": 1, 'tamsor_clients{phase="installing"}': 3,
                'tamsor_bsdp_replies_total{type="list"}': 3,
                'tamsor_bsdp_replies_total{type="select"}': 3,
                'tamsor_tftp_transfers_total{result="complete"}': 6,
                'tamsor_tftp_transfers_total{result="failed"}': 0,
                "tamsor_tftp_bytes_total": 3 * (BOOTER + KERNEL),
                "tamsor_http_bytes_total": 3 * IMAGE_READ,
                'tamsor_installs_total{outcome="succeeded"}': 0,
                "tamsor_disc_read_errors_total": 0}
    for name, value in expected.items():
        check(values.get(name) == str(value), "%s is %s, not %s" % (name, values.get(name), value))
    counters = state["counters"]
    check(counters["tftpBytes"] + counters["httpBytes"] == sum(c["bytes"] for c in state["clients"]),
          "the JSON's counters and its clients disagree: %r" % counters)

    time.sleep(max(0, idle_since + 12 - time.time()))
    idle.settimeout(1)
    try:
        check(idle.recv(1) == b"", "an idle connection is closed")
    except socket.timeout:
        check(False, "an idle connection is still open after 12 s")
    idle.close()

    # ---- Gone ------------------------------------------------------------------------
    if driver is not None:
        driver.set_window_size(1280, 800)
    process.send_signal(signal.SIGTERM)
    check(process.wait(timeout=20) == 0, "exit status after SIGTERM: %s" % process.returncode)
    if driver is not None:
        banner = until(lambda: driver.execute_script(
            "const b = document.getElementById('gone'); return !b.hidden && b.textContent"), 3)
        check(banner and "server is gone" in banner, "the gone banner: %r" % banner)
        driver.save_screenshot(os.path.join(shots, "status-page-gone.png"))
finally:
    if driver is not None:
        driver.quit()
    if profile is not None:
        shutil.rmtree(profile, ignore_errors=True)
    if process.poll() is None:
        process.kill()
        process.wait()

if failures:
    print("FAILED:\n  " + "\n  ".join(failures))
    sys.exit(1)
if left_out:
    print("PASSED without %s: their checks were not made" % ", ".join(left_out))
else:
    print("PASSED: the status page, its JSON and metrics before three clients")
