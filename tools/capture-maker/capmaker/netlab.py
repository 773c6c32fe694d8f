"""A private network namespace with servers, clients, tcpdump and the
impairment program in it, torn down whatever happens.

Every process is started through "ip netns exec", which execs the program in
place, so the pid we hold is the program's own and we can stop it by pid.

The programs that send a lab's packets (servers, clients, the impairment
program) can be kept on one CPU. Loopback hands every packet to the receive
queue of the CPU that sent it, and TCP sends data both from the server
program and from the handling of the client's ACKs (on the client's CPU).
With the two on different CPUs, two queues feed the receiver at once and
later segments overtake earlier ones; the receiver asks for them again, and
a capture meant to be clean holds retransmissions and segments that tshark
calls lost. On one CPU there is one queue, in order.
"""

import os
import signal
import subprocess
import threading
import time

VARIANTS = {
    # Ethernet-like segments: MTU 1500, no offloads, no TCP timestamps.
    "eth1500": {"mtu": 1500, "offload_off": True, "tcp_timestamps": 0},
    # Linux loopback defaults: timestamps on, GSO segments of tens of KB.
    "modern": {"mtu": None, "offload_off": False, "tcp_timestamps": 1},
}

_live_labs = set()
_live_lock = threading.Lock()
_stopping = threading.Event()


class LabError(Exception):
    pass


def close_all_labs():
    """Tears down every namespace still open and refuses new ones (for signal
    and exit paths; worker threads then fail fast)."""
    _stopping.set()
    with _live_lock:
        labs = list(_live_labs)
    for lab in labs:
        lab.close()


def wait_until(predicate, timeout, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def _file_has(path, text):
    try:
        with open(path, "rb") as f:
            return text.encode() in f.read()
    except FileNotFoundError:
        return False


class Lab:
    def __init__(self, name, workdir, log, cpu=None):
        self.ns = name
        self.workdir = workdir
        self.log = log
        self.cpu = cpu           # CPU for the packet senders, None: anywhere
        self.procs = []          # (label, Popen)
        self.capture = None
        self.capture_path = None
        self.impair = None
        self.created = False
        self.closed = False
        self.lock = threading.Lock()

    # -- namespace ------------------------------------------------------
    def __enter__(self):
        self.open()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def open(self):
        with _live_lock:
            if _stopping.is_set():
                raise LabError("stopping")
            subprocess.run(["ip", "netns", "add", self.ns], check=True, capture_output=True)
            self.created = True
            _live_labs.add(self)
        self.ns_run(["ip", "link", "set", "lo", "up"])

    def configure(self, variant):
        v = VARIANTS[variant]
        if v["mtu"]:
            self.ns_run(["ip", "link", "set", "lo", "mtu", str(v["mtu"])])
        if v["offload_off"]:
            self.ns_run(["ethtool", "-K", "lo", "tso", "off", "gso", "off", "gro", "off"])
        self.ns_run(["sysctl", "-qw", f"net.ipv4.tcp_timestamps={v['tcp_timestamps']}"])

    def ns_run(self, argv, timeout=30, check=True, **kw):
        p = subprocess.run(["ip", "netns", "exec", self.ns] + argv, capture_output=True,
                           timeout=timeout, **kw)
        if check and p.returncode != 0:
            raise LabError(f"{' '.join(argv)} failed ({p.returncode}): "
                           f"{p.stderr.decode(errors='replace').strip()}")
        return p

    def close(self):
        with self.lock:
            if self.closed:
                return
            self.closed = True
        for label, p in reversed(self.procs):
            if p.poll() is None:
                try:
                    p.send_signal(signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for label, p in reversed(self.procs):
            try:
                p.wait(timeout=3)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=3)
        if self.created:
            subprocess.run(["ip", "netns", "del", self.ns], capture_output=True)
        with _live_lock:
            _live_labs.discard(self)

    # -- processes ------------------------------------------------------
    def spawn(self, label, argv, cwd=None, pin=True):
        """Starts a long-running program; its output goes to LABEL.log. With
        pin, it runs on the lab's CPU (taskset execs the program in place
        too, so the pid is still the program's)."""
        if pin and self.cpu is not None:
            argv = ["taskset", "-c", str(self.cpu)] + argv
        with self.lock:
            if self.closed:
                raise LabError(f"namespace {self.ns} is closed")
            out = open(os.path.join(self.workdir, f"{label}.log"), "wb")
            p = subprocess.Popen(["ip", "netns", "exec", self.ns] + argv, stdout=out,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=cwd,
                                 start_new_session=True)
            out.close()
            self.procs.append((label, p))
        return p

    def log_text(self, label):
        try:
            with open(os.path.join(self.workdir, f"{label}.log"), "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def run_client(self, label, argv, timeout, cwd=None):
        """Runs a client to its end (or kills it at timeout). Returns its exit
        status (None when it had to be killed)."""
        p = self.spawn(label, argv, cwd=cwd)
        try:
            return p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            return None

    def stop(self, p, sig=signal.SIGTERM, timeout=5):
        if p.poll() is None:
            p.send_signal(sig)
        try:
            return p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            return p.wait()

    def listening(self, port):
        p = self.ns_run(["ss", "-Hltn", f"sport = :{port}"], check=False)
        return bool(p.stdout.strip())

    def established(self, port):
        p = self.ns_run(["ss", "-Htn", "state", "established", f"dport = :{port}"], check=False)
        return len([ln for ln in p.stdout.decode().splitlines() if ln.strip()])

    def wait_listening(self, port, proc, label, timeout=15):
        ok = wait_until(lambda: self.listening(port) or proc.poll() is not None, timeout, 0.05)
        if not ok or proc.poll() is not None:
            raise LabError(f"{label} is not listening on port {port}: {self.log_text(label)[-2000:]}")

    # -- capture ------------------------------------------------------
    def start_capture(self, pcap_path, bpf, snaplen=65536):
        """Starts tcpdump on lo. It prints "listening on" once its filter is
        in place and the kernel buffers packets for it, so whatever is sent
        afterwards is captured (probe_capture checks this once per run)."""
        label = "tcpdump"
        # -Z root: tcpdump's own user could not write into our work folder.
        # Immediate mode: otherwise the last packets can still be in the
        # kernel's ring buffer when tcpdump is told to stop. Not pinned: it
        # only reads, and should be free to run whenever packets wait.
        p = self.spawn(label, ["tcpdump", "-Z", "root", "--immediate-mode", "-B", "32768", "-i", "lo", "-n",
                               "-s", str(snaplen), "-U", "-w", pcap_path, bpf], pin=False)
        log = os.path.join(self.workdir, f"{label}.log")
        if not wait_until(lambda: _file_has(log, "listening on") or p.poll() is not None, 15):
            raise LabError("tcpdump did not start listening")
        if p.poll() is not None:
            raise LabError(f"tcpdump failed: {self.log_text(label)}")
        self.capture = p
        self.capture_path = pcap_path

    def stop_capture(self, settle=0.3, longest=5.0):
        """Lets the last ACKs and FINs pass, then stops tcpdump with SIGINT
        (it writes out what it has) and returns its summary lines. tcpdump
        writes every packet as it reads it (-U), so the wait lasts until
        the file has stopped growing for SETTLE seconds: a tcpdump that is
        behind (a busy machine) gets the time to catch up."""
        def size():
            try:
                return os.path.getsize(self.capture_path)
            except OSError:
                return -1
        deadline = time.monotonic() + longest
        last, since = size(), time.monotonic()
        while time.monotonic() < deadline and self.capture.poll() is None:
            time.sleep(0.05)
            now = size()
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since >= settle:
                break
        rc = self.stop(self.capture, signal.SIGINT, timeout=10)
        if rc not in (0, None):
            raise LabError(f"tcpdump ended with {rc}: {self.log_text('tcpdump')}")
        text = self.log_text("tcpdump")
        self.capture = None
        return text

    def probe_capture(self, python, port=9):
        """Checks that tcpdump in a namespace records what is sent once it
        says it is listening: a connection attempt to a closed port (SYN,
        then the RST) goes into a throw-away file. Raises LabError if not."""
        path = os.path.join(self.workdir, "probe.pcap")
        self.start_capture(path, f"tcp port {port}")
        self.ns_run([python, "-c", "import socket\n"
                     "s = socket.socket()\n"
                     "s.settimeout(2)\n"
                     "try:\n"
                     f"    s.connect(('127.0.0.1', {port}))\n"
                     "except OSError:\n"
                     "    pass\n"])
        # The file header (24 bytes), the SYN (90 with its record header)
        # and the RST (70): either packet alone stays below this.
        seen = wait_until(lambda: os.path.exists(path) and os.path.getsize(path) >= 24 + 2 * 70, 5)
        summary = self.stop_capture(settle=0.1)
        if not seen:
            raise LabError("tcpdump did not record a packet sent after it said it was listening: "
                           + summary.strip()[-300:])

    # -- impairment ----------------------------------------------------
    def start_impair(self, binary, server_port, queue, options):
        """Sends the server's TCP segments through the impairment program:
        on OUTPUT (before the capture point on lo) and on INPUT (after it).
        --queue-bypass: should the program die, packets pass instead of
        being dropped."""
        label = "impair"
        p = self.spawn(label, [binary, "--queue", str(queue),
                               "--log", os.path.join(self.workdir, "impair-packets.tsv")] + options)
        log = os.path.join(self.workdir, f"{label}.log")
        if not wait_until(lambda: _file_has(log, "ready") or p.poll() is not None, 10):
            raise LabError("impair did not start")
        if p.poll() is not None:
            raise LabError(f"impair failed: {self.log_text(label)}")
        for chain in ("OUTPUT", "INPUT"):
            self.ns_run(["iptables", "-A", chain, "-p", "tcp", "--sport", str(server_port),
                         "-j", "NFQUEUE", "--queue-num", str(queue), "--queue-bypass"])
        self.impair = p

    def stop_impair(self):
        if self.impair is None:
            return None
        self.stop(self.impair, signal.SIGTERM)
        self.impair = None
        for line in reversed(self.log_text("impair").splitlines()):
            if line.startswith("{"):
                import json
                return json.loads(line)
        return None
