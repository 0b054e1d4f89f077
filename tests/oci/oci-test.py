#!/usr/bin/python3
"""Tamsor's container image as a lab administrator runs it.

`make oci`, then the image run by podman on the host's network with its own
default command, a library folder of one raw disc and one .dmg mounted
read-only and a state volume, under a read-only root filesystem; a client
on the host (scapy-built BSDP, curl for TFTP and HTTP) boots from it: LIST,
SELECT of each image, its booter over TFTP and a range over HTTP, byte for
byte against the disc it was made from. Then: /status.json and /metrics
from the host, every line of standard output one JSON object, the process
not root and without capabilities (from /proc), its root filesystem
read-only, the health check healthy, the image IDs kept across `podman
restart`, and SIGTERM stopping it with exit code 0 within 10 s. Last, a Pod
made from the cluster manifest's pod template, through `podman kube play`,
answers LIST.

    oci-test.py ROOT BUILD_ROOT TAMSOR-MKIMAGE TAMSOR-MKDMG TAMSOR-DISC MANIFEST

BUILD_ROOT is the folder holding the build trees (`make oci BUILD=...`).
Podman runs as root with runc and no default file limit, set by a
containers.conf of the test's own (CONTAINERS_CONF), never the machine's.
The image's command takes BSDP's port 7799 and the status port 7780 on the
host. Exit 77 (skipped) only where podman cannot run a container at all.
"""
import json, os, shutil, socket, subprocess, sys, tempfile, time

root, build_root, mkimage, mkdmg, disc_tool, manifest = sys.argv[1:7]
sys.path.insert(0, "/usr/lib/python3/dist-packages")
from scapy.layers.dhcp import BOOTP, DHCP  # noqa: E402
import yaml  # noqa: E402

SKIP = 77
BSDP_PORT, STATUS_PORT = 7799, 7780
BOOTER = "usr/standalone/i386/boot.efi"
STATE = "/var/lib/tamsor"
failures = []
work = tempfile.mkdtemp(prefix="tamsor-oci.")
tag = "tamsor-oci-test-%d" % os.getpid()
env = dict(os.environ, CONTAINERS_CONF=os.path.join(work, "containers.conf"))
with open(env["CONTAINERS_CONF"], "w") as conf:
    conf.write('[containers]\ndefault_ulimits = []\n'
               '[engine]\nruntime = "runc"\ncgroup_manager = "cgroupfs"\n')


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)
    return condition


def podman(*arguments, timeout=120, check_=True):
    result = subprocess.run(["podman", *arguments], env=env, capture_output=True, text=True,
                            timeout=timeout)
    if check_ and result.returncode != 0:
        raise RuntimeError("podman %s: %s" % (" ".join(arguments), result.stderr.strip()))
    return result


def skip(reason):
    print("SKIPPED: " + reason)
    shutil.rmtree(work, ignore_errors=True)
    sys.exit(SKIP)


def bsdp(kind, image=0):
    """One request from the host to the container's BSDP port: (the image
    list as [(id, name)], the file field, the root path), or None."""
    vendor = bytes([1, 1, kind, 2, 2, 1, 1])
    if kind == 2:
        vendor += bytes([8, 4]) + image.to_bytes(4, "big")
    request = BOOTP(op=1, htype=1, hlen=6, xid=0x0c1 + kind, chaddr=bytes.fromhex("020000c10001"))
    request /= DHCP(options=[("message-type", "inform"),
                             ("vendor_class_id", b"VRNXBSDPC/i386/Lab1,1"),
                             ("vendor_specific", vendor), "end"])
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.settimeout(2)
        s.sendto(bytes(request), ("127.0.0.1", BSDP_PORT))
        try:
            reply = BOOTP(s.recv(4096))
        except socket.timeout:
            return None
    joined, root_path = b"", None
    for option in reply[DHCP].options:
        if option[0] == "vendor_specific":
            joined += option[1]
        elif option[0] == "root_disk_path":
            root_path = option[1].decode()
    lists, i = b"", 0
    while i + 1 < len(joined):
        if joined[i] == 9:
            lists += joined[i + 2:i + 2 + joined[i + 1]]
        i += 2 + joined[i + 1]
    entries, i = [], 0
    while i < len(lists):
        n = lists[i + 4]
        entries.append((int.from_bytes(lists[i:i + 4], "big"), lists[i + 5:i + 5 + n].decode()))
        i += 5 + n
    return entries, reply.file.rstrip(b"\0").decode(), root_path


def listed(want):
    """The LIST answer once it names `want` images (15 s at most)."""
    deadline = time.time() + 15
    while True:
        reply = bsdp(1)
        if (reply is not None and len(reply[0]) == want) or time.time() > deadline:
            return sorted(reply[0]) if reply else []
        time.sleep(0.3)


def fetch(url, *options):
    return subprocess.run(["curl", "-sS", "--max-time", "20", *options, url],
                          capture_output=True).stdout


def wait_for(predicate, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


def status():
    try:
        return json.loads(fetch("http://127.0.0.1:%d/status.json" % STATUS_PORT))
    except ValueError:
        return None


def ports_free():
    for kind, port in ((socket.SOCK_DGRAM, BSDP_PORT), (socket.SOCK_STREAM, STATUS_PORT)):
        with socket.socket(socket.AF_INET, kind) as s:
            # As the servers: a closed connection waiting out its time
            # does not hold the port.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                return False
    return True


def make_library():
    """library/: Alpha (raw) and Beta (.dmg of a raw disc); the raw discs by name."""
    library = os.path.join(work, "library")
    os.mkdir(library)
    raw = {}
    for n, name in enumerate(("Alpha", "Beta")):
        text = open(manifest).read().replace("boot.efi 65536", "boot.efi %d" % (65536 + 4096 * n))
        own = os.path.join(work, name + ".manifest")
        open(own, "w").write(text)
        raw[name] = os.path.join(work if name == "Beta" else library, name.lower() + ".img")
        subprocess.run([mkimage, "-o", raw[name], "--name", name, "--manifest", own], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run([mkdmg, "--method", "zlib", raw["Beta"], os.path.join(library, "beta.dmg")],
                   check=True, stdout=subprocess.DEVNULL)
    # The image's user is not root: the folder must be readable by others.
    os.chmod(work, 0o755)
    os.chmod(library, 0o755)
    for name in os.listdir(library):
        os.chmod(os.path.join(library, name), 0o644)
    return library, raw


def boot_each(raw, what):
    """SELECT of every listed image, its booter by TFTP and a range by HTTP."""
    entries = listed(2)
    names = {name.split(" (")[0]: i for i, name in entries}
    if not check(sorted(names) == ["Alpha", "Beta"], "%s: LIST gives %s" % (what, entries)):
        return {}
    tftp = ports["tftp"]
    for name, image_id in names.items():
        reply = bsdp(2, image_id)
        if not check(reply is not None and reply[1] == "%d/booter" % (image_id & 0xFFFF),
                     "%s: SELECT of %s gives %s" % (what, name, reply)):
            continue
        got = fetch("tftp://127.0.0.1:%d/%s" % (tftp, reply[1]), "--tftp-blksize", "1468")
        want = subprocess.run([disc_tool, "cat", raw[name] + "#2", BOOTER],
                              capture_output=True).stdout
        check(len(want) > 0 and got == want, "%s: %s's booter over TFTP differs" % (what, name))
        with open(raw[name], "rb") as disc:
            disc.seek(1000)
            want = disc.read(300001)
        check(fetch(reply[2], "-r", "1000-301000") == want,
              "%s: %s's range over HTTP (%s) differs" % (what, name, reply[2]))
    return names


def container_pid(name):
    return int(podman("inspect", name, "--format", "{{.State.Pid}}").stdout.strip())


container = "%s-run" % tag
volume = "%s-state" % tag
pod_file = os.path.join(work, "pod.yaml")
ports = {}
try:
    if shutil.which("podman") is None or shutil.which("buildah") is None:
        skip("podman or buildah is not installed (scripts/install-deps.sh)")
    probe = podman("info", check_=False)
    if probe.returncode != 0:
        skip("podman does not work here: " + probe.stderr.strip()[-300:])
    # Can podman run a container here at all? Asked with a root of the
    # system's own /usr/bin/true and its libraries, so that nothing of ours
    # can make the test skip.
    probe_root = os.path.join(work, "probe")
    libraries = subprocess.run(["ldd", "/usr/bin/true"], capture_output=True, text=True).stdout
    for path in ["/usr/bin/true"] + [w for w in libraries.split() if w.startswith("/")]:
        target = probe_root + "/usr" + (path[4:] if path.startswith("/usr/") else path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(path, target)
    for link in ("lib", "lib64"):
        os.symlink("usr/" + link, os.path.join(probe_root, link))
    probe = podman("run", "--rm", "--network", "host", "--rootfs", probe_root, "/usr/bin/true",
                   check_=False)
    if probe.returncode != 0:
        skip("podman cannot run a container here: " + probe.stderr.strip()[-300:])

    started = time.time()
    made = subprocess.run(["make", "-C", root, "oci", "BUILD=" + build_root, "TAMSOR_DEPS_DONE=1"],
                          capture_output=True, text=True)
    print("make oci: %.0f s" % (time.time() - started), flush=True)
    if made.returncode != 0:
        raise RuntimeError("make oci failed:\n" + (made.stdout + made.stderr)[-3000:])
    version = [line for line in open(os.path.join(root, "CMakeLists.txt"))
               if line.startswith("project(Tamsor VERSION ")][0].split()[2]
    image = "localhost/tamsor:" + version
    size = int(podman("image", "inspect", image, "--format", "{{.Size}}").stdout)
    print("image %s: %d bytes" % (image, size), flush=True)
    labels = json.loads(podman("image", "inspect", image, "--format",
                               "{{json .Config.Labels}}").stdout)
    check(labels.get("org.opencontainers.image.version") == version and
          labels.get("org.opencontainers.image.source"), "labels: %s" % labels)
    check(podman("image", "inspect", "localhost/tamsor:latest", "--format", "{{.Id}}").stdout ==
          podman("image", "inspect", image, "--format", "{{.Id}}").stdout,
          "tamsor:latest is not the image just built")

    trial = podman("run", "--rm", "--network", "host", image, "--help", check_=False)
    check(trial.returncode == 2 and "usage: tamsor-serve" in trial.stderr,
          "tamsor-serve --help in the image: %d %s" % (trial.returncode, trial.stderr[-300:]))

    if not wait_for(ports_free, 60):
        raise RuntimeError("UDP %d or TCP %d stays taken on this machine"
                           % (BSDP_PORT, STATUS_PORT))
    library, raw = make_library()

    # The README's command line, with a read-only root filesystem.
    started = time.time()
    podman("run", "-d", "--name", container, "--network", "host", "--read-only",
           "-v", library + ":/srv/tamsor:ro", "-v", volume + ":" + STATE, image)
    check(wait_for(lambda: (status() or {}).get("server", {}).get("up") is True),
          "the status page never said the server is up")
    print("container up (status page answers): %.1f s" % (time.time() - started), flush=True)
    lines = podman("logs", container).stdout.splitlines()
    events = []
    for line in lines:
        try:
            events.append(json.loads(line))
        except ValueError:
            check(False, "a line of standard output is no JSON object: %r" % line)
    start = [e for e in events if e.get("event") == "start"]
    if check(len(start) == 1 and start[0].get("bsdp") == BSDP_PORT, "start event: %s" % events):
        ports = start[0]
    names = boot_each(raw, "podman run") if ports else {}

    state = status() or {}
    check(sorted(i.get("name", "").split(" (")[0] for i in state.get("images", [])) ==
          ["Alpha", "Beta"],
          "/status.json images: %s" % state.get("images"))
    check(state.get("counters", {}).get("bsdpSelect", 0) >= 2, "/status.json counters: %s"
          % state.get("counters"))
    metrics = fetch("http://127.0.0.1:%d/metrics" % STATUS_PORT).decode()
    values = {}
    for line in metrics.splitlines():
        if line and not line.startswith("#"):
            values[line.rsplit(" ", 1)[0]] = float(line.rsplit(" ", 1)[1])
    check(values.get("tamsor_up") == 1 and values.get("tamsor_tftp_bytes_total", 0) > 0,
          "/metrics: %r" % metrics[:600])

    pid = container_pid(container)
    fields = dict(line.split(":", 1) for line in open("/proc/%d/status" % pid) if ":" in line)
    uids = fields["Uid"].split()
    check(all(u != "0" for u in uids), "the server runs as user %s" % uids)
    for cap in ("CapInh", "CapPrm", "CapEff", "CapAmb"):
        check(int(fields[cap], 16) == 0, "%s of the server is %s" % (cap, fields[cap].strip()))
    mount = [line.split() for line in open("/proc/%d/mountinfo" % pid) if line.split()[4] == "/"]
    check(len(mount) == 1 and "ro" in mount[0][5].split(","), "root mount: %s" % mount)

    health = podman("healthcheck", "run", container, check_=False)
    check(health.returncode == 0, "health check: %d %s" % (health.returncode, health.stdout +
                                                           health.stderr))
    check(podman("inspect", container, "--format", "{{.State.Health.Status}}").stdout.strip() ==
          "healthy", "health status after the check is not healthy")

    # The IDs are in the state volume: the same after a restart.
    podman("restart", container, timeout=60)
    check(wait_for(lambda: (status() or {}).get("server", {}).get("up") is True),
          "the status page never came back after podman restart")
    again = {name.split(" (")[0]: i for i, name in listed(2)}
    check(names and again == names, "IDs before podman restart %s, after %s" % (names, again))

    # SIGTERM: exit 0 within 10 s.
    started = time.time()
    podman("kill", "--signal", "TERM", container)
    podman("wait", container, timeout=30)
    took = time.time() - started
    code = podman("inspect", container, "--format", "{{.State.ExitCode}}").stdout.strip()
    check(code == "0" and took < 10, "SIGTERM: exit code %s after %.1f s" % (code, took))
    last = podman("logs", container).stdout.splitlines()[-1:]
    check(last == ['{"event":"stop"}'], "the last line before the stop: %s" % last)
    podman("rm", "-f", container)

    # A Pod of the manifest's pod template, its volumes on this machine.
    # Podman (4.3) refuses port entries with host networking, which a
    # cluster accepts; they only name the ports, so they are left out.
    template = yaml.safe_load(open(os.path.join(root, "deploy/kubernetes/tamsor.yaml")))
    template = template["spec"]["template"]
    pod = template["spec"]
    check(pod.get("hostNetwork") is True, "the pod template is not on the host's network")
    images = [c["image"] for c in pod["containers"]]
    check(images == ["tamsor:" + version], "the manifest runs %s, not this version's" % images)
    kube_state = os.path.join(work, "kube-state")
    os.mkdir(kube_state)
    os.chown(kube_state, 7780, 7780)
    for c in pod["containers"]:
        c["image"] = image
        c.pop("ports", None)
    pod["volumes"] = [{"name": "library", "hostPath": {"path": library, "type": "Directory"}},
                      {"name": "state", "hostPath": {"path": kube_state, "type": "Directory"}}]
    with open(pod_file, "w") as out:
        yaml.safe_dump({"apiVersion": "v1", "kind": "Pod",
                        "metadata": {"name": tag, "labels": template["metadata"]["labels"]},
                        "spec": pod}, out)
    if not wait_for(ports_free, 20):
        raise RuntimeError("the ports stay taken after the container stopped")
    podman("kube", "play", pod_file, timeout=180)
    check(len(listed(2)) == 2, "the Pod of the manifest does not answer LIST")
finally:
    subprocess.run(["podman", "rm", "-f", "-t", "0", container], env=env, capture_output=True)
    if os.path.exists(pod_file):
        subprocess.run(["podman", "kube", "down", pod_file], env=env, capture_output=True)
    subprocess.run(["podman", "volume", "rm", "-f", volume], env=env, capture_output=True)
    shutil.rmtree(work, ignore_errors=True)

if failures:
    print("%d check(s) failed" % len(failures))
    sys.exit(1)
print("the container image serves a library")
