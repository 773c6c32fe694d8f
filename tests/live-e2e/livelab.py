"""Helpers for recording live traffic: media made at run time, an nginx
that serves it at full loopback speed, curl downloads, and kestrel-cli (or
tcpdump) recording the loopback device of a private network namespace.

The namespace, the processes in it and their teardown are the capture
maker's (tools/capture-maker/capmaker/netlab.py): every program is started
through "ip netns exec", which execs it in place, so the pid held is the
program's own and it is stopped by that pid.

Used by tests/live-e2e/live_e2e.py and bench/live.
"""

import os
import random
import re
import signal
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools", "capture-maker"))
sys.path.insert(0, os.path.join(REPO, "tests", "support"))

from capmaker import netlab  # noqa: E402
from capmaker.netlab import LabError, close_all_labs, wait_until  # noqa: E402,F401
from item_lines import STATES, Item, parse_items  # noqa: E402,F401

HTTP_PORT = 8080
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


# ------------------------------------------------------------ media

def make_flv(path, size, seed):
    """Writes an FLV file of exactly `size` bytes (size >= 4096): the file
    header, then alternating audio and video tags with well-formed headers
    and pseudo-random data, the same bytes for the same seed. Random data
    does not compress, so nothing on the way can shrink it."""
    rng = random.Random(seed)
    noise = rng.randbytes(size)
    out = bytearray(b"FLV\x01\x05\x00\x00\x00\x09" + b"\x00\x00\x00\x00")
    t_audio = t_video = 0
    tag = 0
    while True:
        left = size - len(out)
        video = tag % 4 != 3
        want = rng.randint(8000, 60000) if video else rng.randint(300, 600)
        if left - (11 + want + 4) < 64:  # the last tag takes what is left
            want = left - 15
            video = True
        ts = t_video if video else t_audio
        head = bytes([9 if video else 8]) + want.to_bytes(3, "big") + (ts & 0xFFFFFF).to_bytes(3, "big") \
            + bytes([(ts >> 24) & 0xFF]) + b"\x00\x00\x00"
        if video:
            lead = bytes([0x17 if tag % 100 == 0 else 0x27, 1, 0, 0, 0])  # AVC NALU, key frame now and then
            t_video += 40
        else:
            lead = b"\xaf\x01"  # AAC raw frame
            t_audio += 23
        start = len(out)
        out += head + lead + noise[start:start + want - len(lead)] + (11 + want).to_bytes(4, "big")
        tag += 1
        if len(out) >= size:
            break
    assert len(out) == size, (len(out), size)
    with open(path, "wb") as f:
        f.write(out)
    return bytes(out)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ------------------------------------------------------------ comparing

def common_prefix(a, b):
    """Length of the longest common prefix of a and b."""
    n = min(len(a), len(b))
    if a[:n] == b[:n]:
        return n
    lo, hi = 0, n  # a[:lo] == b[:lo], a[:hi] != b[:hi]
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if a[:mid] == b[:mid]:
            lo = mid
        else:
            hi = mid
    return lo


def equal_at_offsets(a, b):
    """Bytes that are equal at equal offsets in two buffers of one size."""
    assert len(a) == len(b)
    same, block = 0, 1 << 16
    for pos in range(0, len(a), block):
        x, y = a[pos:pos + block], b[pos:pos + block]
        if x == y:
            same += len(x)
        else:
            diff = (int.from_bytes(x, "little") ^ int.from_bytes(y, "little")).to_bytes(len(x), "little")
            same += diff.count(0)
    return same


def exact_bytes(served, got):
    """Bytes of `served` that `got` holds byte-exact: at equal offsets when
    the sizes match (a gap filled in place costs only its own bytes),
    otherwise the longest common prefix (after a gap closed up, the bytes
    that follow sit at other offsets and count as lost)."""
    if got is None:
        return 0
    if len(got) == len(served):
        return equal_at_offsets(served, got)
    return common_prefix(served, got)


# ------------------------------------------------------------ kestrel-cli output

STAT_LINES = {
    "received": r"kestrel-cli: (\d+) packets received by filter",
    "dropped": r"kestrel-cli: (\d+) packets dropped by kernel",
    "cut": r"kestrel-cli: (\d+) frames cut by the snapshot length",
}


def parse_stats(stderr):
    """The end-of-capture counters kestrel-cli prints on standard error
    (None for a line that is missing)."""
    stats = {}
    for key, rx in STAT_LINES.items():
        m = re.search(rx, stderr)
        stats[key] = int(m.group(1)) if m else None
    return stats


def tcpdump_counts(text):
    """(received by filter, dropped by kernel) from tcpdump's summary."""
    found = [re.search(rf"(\d+) packets? {what}", text) for what in ("received by filter", "dropped by kernel")]
    return tuple(int(m.group(1)) if m else None for m in found)


def sanitizer_report(text):
    return any(mark in text for mark in SANITIZER_MARKS)


# ------------------------------------------------------------ the lab

class LiveLab(netlab.Lab):
    """A namespace whose loopback keeps Linux's defaults (MTU 65536, GSO
    super-segments, TCP timestamps): the traffic a user records with
    `--source lo`."""

    def cap_receive_buffers(self, max_bytes=512 * 1024):
        """With Linux's default receive buffers (up to 6 MiB a connection)
        the first megabytes of a download cross the wire at full speed
        whatever curl's --limit-rate says: the kernel takes them in before
        curl reads. A small cap makes the rate on the wire the limit's."""
        self.ns_run(["sysctl", "-qw", f"net.ipv4.tcp_rmem=4096 131072 {max_bytes}"])

    def spawn_split(self, label, argv):
        """Like spawn, but standard output to LABEL.out and standard error
        to LABEL.err (kestrel-cli's item lines and its messages)."""
        with self.lock:
            if self.closed:
                raise LabError(f"namespace {self.ns} is closed")
            out = open(self.path(label + ".out"), "wb")
            err = open(self.path(label + ".err"), "wb")
            p = subprocess.Popen(["ip", "netns", "exec", self.ns] + argv, stdout=out, stderr=err,
                                 stdin=subprocess.DEVNULL, start_new_session=True)
            out.close()
            err.close()
            self.procs.append((label, p))
        return p

    def path(self, name):
        return os.path.join(self.workdir, name)

    def text(self, name):
        try:
            with open(self.path(name), "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def start_nginx(self, media_dir, port=HTTP_PORT):
        """nginx in the foreground, one process, everything it writes (pid,
        logs, temporary files) in a folder of its own."""
        d = self.path("nginx")
        os.makedirs(d, exist_ok=True)
        conf = os.path.join(d, "nginx.conf")
        temp = "\n".join(f"    {k}_temp_path {d}/{k};" for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(conf, "w") as f:
            f.write(f"""daemon off;
master_process off;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 256; }}
http {{
    access_log off;
{temp}
    types {{ video/x-flv flv; }}
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 0;
    server {{
        listen 127.0.0.1:{port};
        root {media_dir};
    }}
}}
""")
        p = self.spawn("nginx", ["nginx", "-p", d, "-c", conf, "-e", os.path.join(d, "error.log")])
        self.wait_listening(port, p, "nginx")
        # The pid it writes is the one we stop: no master, no worker of its own.
        with open(os.path.join(d, "nginx.pid")) as f:
            if int(f.read().strip() or 0) != p.pid:
                raise LabError(f"nginx wrote another pid than the one started ({p.pid})")
        return p

    def curl(self, label, url, rate=None):
        """Starts one download. The body is thrown away (writing it out
        would take CPU time from the recorder); curl prints how many bytes
        it got, see downloaded()."""
        argv = ["curl", "-sS", "--fail", "-o", "/dev/null", "-w", "downloaded %{size_download}\n"]
        if rate:
            argv += ["--limit-rate", str(rate)]
        return self.spawn(label, argv + [url])

    def downloaded(self, label):
        """The body bytes curl `label` received (None when it did not say)."""
        m = re.search(r"^downloaded (\d+)$", self.log_text(label), re.M)
        return int(m.group(1)) if m else None

    def wait_clients(self, clients, timeout):
        """Waits for every (label, Popen); returns the labels that failed."""
        deadline = time.monotonic() + timeout
        bad = []
        for label, p in clients:
            try:
                rc = p.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                rc = None
            if rc != 0:
                bad.append(f"{label} ended with {rc}: {self.log_text(label).strip()[-300:]}")
        return bad


class LiveKestrel:
    """kestrel-cli capture on a namespace's loopback, from start to its
    item lines."""

    def __init__(self, lab, kestrel, home, save, label="kestrel", extra=()):
        self.lab, self.label = lab, label
        self.home, self.save = home, save
        os.makedirs(home, exist_ok=True)
        os.makedirs(save, exist_ok=True)
        self.proc = lab.spawn_split(label, [kestrel, "capture", "--source", "lo", "--home", home, "--save", save]
                                    + list(extra))
        self.rc = None
        self.interrupted = False

    def wait_capturing(self, timeout=20):
        ok = wait_until(lambda: "capturing on" in self.stderr() or self.proc.poll() is not None, timeout, 0.05)
        if not ok or self.proc.poll() is not None:
            raise LabError(f"kestrel-cli did not start capturing (exit status {self.proc.poll()}): "
                           f"{self.stderr().strip()[-1500:]}")

    def stderr(self):
        return self.lab.text(self.label + ".err")

    def stdout(self):
        return self.lab.text(self.label + ".out")

    def send_interrupt(self):
        """One SIGINT (a second one would end the program at once)."""
        if not self.interrupted and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        self.interrupted = True

    def interrupt(self, timeout):
        """SIGINT, then waits for the item lines. None when it had to be killed."""
        self.send_interrupt()
        try:
            self.rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            self.rc = None
        return self.rc

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.rc = self.proc.wait(timeout=10)
        return self.rc


class LiveTcpdump:
    """tcpdump writing a pcap of the namespace's loopback."""

    def __init__(self, lab, pcap, label, options=()):
        self.lab, self.label, self.pcap = lab, label, pcap
        self.interrupted = False
        # -Z root: tcpdump's own user could not write into a root-only folder.
        self.proc = lab.spawn(label, ["tcpdump", "-Z", "root", "-i", "lo"] + list(options) + ["-w", pcap])
        log = lab.path(label + ".log")
        if not wait_until(lambda: "listening on" in lab.text(label + ".log") or self.proc.poll() is not None, 15):
            raise LabError(f"{label} did not start listening")
        if self.proc.poll() is not None:
            raise LabError(f"{label} failed: {lab.text(os.path.basename(log))}")

    def send_interrupt(self):
        if not self.interrupted and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        self.interrupted = True

    def stop(self, timeout=30):
        """SIGINT (tcpdump writes out what it has); the kernel's counts
        (received by filter, dropped)."""
        self.send_interrupt()
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        if rc != 0:
            raise LabError(f"{self.label} ended with {rc}: {self.lab.text(self.label + '.log')}")
        return tcpdump_counts(self.lab.text(self.label + ".log"))


def replay(kestrel, pcap, home, save, timeout=600):
    """kestrel-cli capture --source file://PCAP; (rc, items, problems),
    item lines read leniently."""
    os.makedirs(home, exist_ok=True)
    os.makedirs(save, exist_ok=True)
    p = subprocess.run([kestrel, "capture", "--source", "file://" + pcap, "--home", home, "--save", save],
                       capture_output=True, timeout=timeout)
    items, problems = parse_items(p.stdout.decode(errors="replace"), strict=False)
    return p.returncode, items, problems


def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return f"{cpu}, {os.cpu_count()} cores, Linux {os.uname().release}"
