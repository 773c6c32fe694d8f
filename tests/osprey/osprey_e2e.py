#!/usr/bin/env python3
"""End-to-end tests of the recording library: real captures go through
`kestrel-cli osprey` (which loads libosprey.so by name and drives its C
interface), and what the library announces and records is checked against
the capture's manifest and the clients' own command lines.

  osprey_e2e.py http     --cli BIN --captures DIR
  osprey_e2e.py announce --cli BIN --captures DIR
  osprey_e2e.py rtmp     --cli BIN --captures DIR
  osprey_e2e.py live     --cli BIN --work DIR

DIR holds NAME.pcap files with ref/NAME/expected.json beside them and a
MANIFEST.tsv (the shared reference captures, or the capture maker's).

http      the host is in the site list: every download is recorded under its
          URL's local name, byte for byte the body the server sent; a second
          response for the same URL makes no item; bodies with bytes no
          recorder can recover (edited captures) never claim to be done, and
          their received size is the recoverable part. Every response is
          announced with its request target and Content-Type, in order.
announce  an empty site list: every download is announced (site flag 0) and
          nothing is stored.
rtmp      every RTMP play is announced twice (report, then record) with the
          tcUrl, app and stream name that the player's command line asked
          for; the publisher's connection announces nothing.
live      a private network namespace: nginx serves an FLV over HTTP and
          RTMP; curl downloads it, rtmpdump and ffmpeg play it with explicit
          tcUrl, app, play path, swfUrl and pageUrl; kestrel-cli osprey
          records the loopback. SIGINT must end the capture within seconds of
          the last frame; the download is byte-identical; the RTMP notices
          carry exactly the players' arguments; the kernel dropped nothing.

Exit status: 0 passed, 1 failed, 77 skipped (captures, root or a tool
missing).
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from urllib.parse import urlsplit

SKIP = 77
TIMEOUT = 120
FIELD = re.compile(r'(\w+)=("(?:[^"\\]|\\.)*"|\S+)')


# ------------------------------------------------------------ output lines

def unquote(value):
    if not value.startswith('"'):
        return value
    out, i, body = [], 0, value[1:-1]
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            n = body[i + 1]
            if n == "x":
                out.append(chr(int(body[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append(n)
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def parse(stdout):
    """[(kind, {field: value})] for every line of kestrel-cli osprey."""
    lines = []
    for line in stdout.splitlines():
        kind, _, rest = line.partition(":")
        if kind.startswith("rtmp "):
            kind = kind.replace(" ", "-")
        fields = {k: unquote(v) for k, v in FIELD.findall(rest)}
        if kind in ("url", "diagnostic"):
            fields = {"text": unquote(rest.strip())}
        lines.append((kind, fields))
    return lines


def run_cli(cli, pcap, work, sites, report=True):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    save = os.path.join(work, "save")
    argv = [cli, "osprey", "--source", "file://" + os.path.abspath(pcap), "--save", save]
    if sites is not None:
        with open(os.path.join(work, "sites"), "w") as f:
            f.write("".join(s + "\n" for s in sites))
        argv += ["--sites", os.path.join(work, "sites")]
    if report:
        argv.append("--report")
    p = subprocess.run(argv, capture_output=True, timeout=TIMEOUT)
    return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode(errors="replace"), save


def sanitizer_problems(stderr):
    return ["sanitizer report:\n" + stderr[-3000:]] if ("ERROR: AddressSanitizer" in stderr or
                                                         "runtime error:" in stderr) else []


# ------------------------------------------------------------ names

def local_name(url):
    """The file name the library gives a download of url."""
    t = url.rstrip()
    for esc, ch in (("%20", " "), ("%5c", "#"), ("%26", "&"), ("%3f", "?"), ("%2f", "/"), ("%3a", ":"),
                    ("%3d", "=")):
        t = t.replace(esc, ch)
    t = t.split("?", 1)[0].rsplit("/", 1)[-1]
    t = t[-100:]
    t = t.split(";", 1)[0].split("&", 1)[0]
    t = "".join(" " if (c in "/\\:*?<>|" or ord(c) < 0x20 or ord(c) == 0x7F) else c for c in t)
    return "Media" if t.strip(" ") == "" or t in (".", "..") else t


def name_pattern(name):
    dot = name.rfind(".")
    base, ext = (name[:dot], name[dot:]) if dot >= 0 else (name, "")
    return re.compile(re.escape(base) + r"(\(\d+\))?" + re.escape(ext) + r"\Z")


# ------------------------------------------------------------ captures

def captures(capdir, protocol):
    manifest = os.path.join(capdir, "MANIFEST.tsv")
    if not os.path.exists(manifest):
        return None
    out = []
    with open(manifest) as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            row = dict(zip(header, line.rstrip("\n").split("\t")))
            if row.get("protocol") == protocol and row.get("file", "").endswith(".pcap"):
                name = row["file"][:-5]
                with open(os.path.join(capdir, "ref", name, "expected.json")) as j:
                    out.append((name, json.load(j)))
    return out


def read(path):
    with open(path, "rb") as f:
        return f.read()


def exchanges(manifest):
    """(target, content type) of every request with its response, in order."""
    msgs = manifest.get("http_messages", [])
    requests = [m["request"].split()[1] for m in msgs if "request" in m]
    responses = [m.get("content_type") or "" for m in msgs if "response" in m]
    return list(zip(requests, responses))


def body_path(capdir, name, body):
    return os.path.join(capdir, "ref", name, body["file"])


def name_hint(manifest):
    """The transfer codings the manifest's responses name."""
    return " ".join(str(m.get("transfer_encoding") or "") for m in manifest.get("http_messages", []))


def body_target(body):
    m = re.search(r"GET (\S+)", body.get("what", ""))
    if not m:
        return None
    target = m.group(1)
    if target.startswith("http://"):
        parts = urlsplit(target)
        target = parts.path + ("?" + parts.query if parts.query else "")
    return target


# ------------------------------------------------------------ checks

def check_http(cli, capdir, name, manifest, work):
    problems = []
    rc, out, err, save = run_cli(cli, os.path.join(capdir, name + ".pcap"), work, ["127.0.0.1"])
    problems += sanitizer_problems(err)
    lines = parse(out)
    items = [f for k, f in lines if k == "item"]
    results = {int(f["id"]): f for k, f in lines if k == "result"}
    responses = [f for k, f in lines if k == "response"]

    wanted = exchanges(manifest)
    got = [(f["target"], f["type"]) for f in responses]
    if got != wanted:
        problems.append(f"response notices {got} instead of {wanted}")

    seen = set()
    unfinished = 0
    expected_items = []
    for body in manifest.get("expected_http_bodies", []):
        target = body_target(body)
        if target is None or target in seen:
            continue  # the same URL again: no item of its own
        seen.add(target)
        expected_items.append((target, body))
    if len(items) != len(expected_items):
        problems.append(f"{len(items)} items instead of {len(expected_items)}")
    for item, (target, body) in zip(items, expected_items):
        label = f"item {item.get('id')} ({target})"
        if item["target"] != target or item["site"] != "1" or item["host"] != "127.0.0.1":
            problems.append(f"{label}: notice says target={item['target']!r} site={item['site']} host={item['host']!r}")
        wanted_name = local_name("http://" + item["host"] + target)
        if item["name"] != wanted_name:
            problems.append(f"{label}: local name {item['name']!r} instead of {wanted_name!r}")
        result = results.get(int(item["id"]))
        if result is None:
            problems.append(f"{label}: no result line")
            continue
        lost = body.get("unrecoverable_body_bytes", 0)
        if lost and body.get("framing", "content-length") == "content-length":
            unfinished += 1
            # Bytes that never crossed the capture: the item waits for them and
            # says how much of the body it has; it never claims to be done.
            if result["state"] != "1" or int(result["recorded"]) != body["bytes"] - lost:
                problems.append(f"{label}: {lost} bytes cannot be recovered, but it ended as state "
                                f"{result['state']} with {result['recorded']} of {body['bytes']} bytes")
            continue
        if lost:
            # Without a Content-Length the body ends with the capture: the file
            # holds every byte that can be recovered, and the item says what
            # is missing.
            said = [f["text"] for k, f in lines if k == "diagnostic" and
                    f["text"].startswith(f"item {item['id']}: ") and "never captured" in f["text"]]
            if not said:
                problems.append(f"{label}: {lost} bytes were lost, and no notice says so")
            expected = read(body_path(capdir, name, body))
            for first, end in reversed(body["unrecoverable_body_ranges"]):
                expected = expected[:first] + expected[end:]
            got = read(os.path.join(save, result["name"])) if result["state"] == "2" else b""
            if got != expected:
                problems.append(f"{label}: {len(got)} bytes, not the {len(expected)} recoverable bytes of the body")
            continue
        if result["state"] != "2" or result["percent"] != "100.0":
            problems.append(f"{label}: state {result['state']}, {result['percent']}%")
            continue
        if not name_pattern(wanted_name).match(result["name"]):
            problems.append(f"{label}: its file is {result['name']!r}, not {wanted_name!r}")
            continue
        data = read(os.path.join(save, result["name"]))
        if hashlib.sha256(data).hexdigest() != body["sha256"]:
            problems.append(f"{label}: {result['name']} ({len(data)} bytes) is not the body the server sent "
                            f"({body['bytes']} bytes)")
        # A chunked body arrives with its chunk framing: more bytes than the file.
        sizes_ok = (result["recorded"] == result["total"] and
                    (int(result["recorded"]) > body["bytes"] if body.get("framing") == "chunked" or
                     "chunked" in name_hint(manifest) else int(result["recorded"]) == body["bytes"]))
        if not sizes_ok:
            problems.append(f"{label}: recorded {result['recorded']} of {result['total']}, body {body['bytes']}")
    temp = sorted(os.listdir(os.path.join(save, "Temp")))
    if len(temp) != 2 * unfinished:
        problems.append(f"capture files left in Temp: {temp}")
    if rc != (4 if unfinished else 0):
        problems.append(f"exit status {rc}: {err.strip()[-300:]}")
    return problems


def check_announce(cli, capdir, name, manifest, work):
    problems = []
    rc, out, err, save = run_cli(cli, os.path.join(capdir, name + ".pcap"), work, None, report=False)
    problems += sanitizer_problems(err)
    lines = parse(out)
    items = [f for k, f in lines if k == "item"]
    targets = []
    for body in manifest.get("expected_http_bodies", []):
        t = body_target(body)
        if t is not None and t not in targets:
            targets.append(t)
    if [i["target"] for i in items] != targets:
        problems.append(f"items for {[i['target'] for i in items]} instead of {targets}")
    if any(i["site"] != "0" for i in items):
        problems.append("an item says its site is in the (empty) site list")
    if any(k == "response" for k, _ in lines):
        problems.append("response notices without --report")
    for k, f in lines:
        if k == "result" and (f["state"] != "1" or f["recorded"] != "0"):
            problems.append(f"announced item {f['id']} has state {f['state']} and {f['recorded']} bytes")
        if k == "state":
            problems.append(f"an announced item changed state: {f}")
    stored = [n for n in os.listdir(save) if n != "Temp"] + os.listdir(os.path.join(save, "Temp"))
    if stored:
        problems.append(f"files stored without a site list: {stored}")
    if rc != 0:
        problems.append(f"exit status {rc}: {err.strip()[-300:]}")
    return problems


def player_request(argv):
    """(host, port, app, stream) that a player's command line asks for."""
    url = next(a for a in argv if a.startswith("rtmp://"))
    parts = urlsplit(url)
    path = parts.path.lstrip("/")
    app, _, stream = path.partition("/")
    # Both players name an FLV stream without its extension.
    if stream.endswith(".flv"):
        stream = stream[:-4]
    return parts.hostname, parts.port or 1935, app, stream


def check_rtmp(cli, capdir, name, manifest, work):
    problems = []
    rc, out, err, _ = run_cli(cli, os.path.join(capdir, name + ".pcap"), work, None)
    problems += sanitizer_problems(err)
    players = [c["argv"] for c in manifest.get("client_exit_status", [])
               if c.get("argv") and c.get("role", "player") == "player"]
    if not players and manifest.get("url"):
        players = [["player", manifest["url"]]]  # the shared captures name the URL only
    notices = [(k, f) for k, f in parse(out) if k in ("rtmp-report", "rtmp-record")]
    if len(notices) != 2 * len(players):
        problems.append(f"{len(notices)} RTMP notices for {len(players)} plays")
    for i, argv in enumerate(players):
        host, port, app, stream = player_request(argv)
        pair = notices[2 * i:2 * i + 2]
        if [k for k, _ in pair] != ["rtmp-report", "rtmp-record"]:
            problems.append(f"play {i + 1}: notices {[k for k, _ in pair]}, not report then record")
        for kind, f in pair:
            tc = urlsplit(f["tcUrl"])
            if (f["app"], f["stream"]) != (app, stream):
                problems.append(f"{kind}: app {f['app']!r} stream {f['stream']!r}, the player asked for "
                                f"{app!r} {stream!r}")
            if (tc.scheme, tc.hostname, tc.port or 1935, tc.path.strip("/")) != ("rtmp", host, port, app):
                problems.append(f"{kind}: tcUrl {f['tcUrl']!r} for a player of rtmp://{host}:{port}/{app}")
            if f["port"] != str(port):
                problems.append(f"{kind}: server port {f['port']}")
    if rc != 0:
        problems.append(f"exit status {rc}: {err.strip()[-300:]}")
    return problems


def batch(args, kind):
    found = captures(args.captures, "rtmp" if kind == "rtmp" else "http")
    if not found:
        print(f"SKIP: no {kind} captures in {args.captures}")
        return SKIP
    check = {"http": check_http, "announce": check_announce, "rtmp": check_rtmp}[kind]
    failed = 0
    with tempfile.TemporaryDirectory(prefix="osprey-e2e-") as tmp:
        for name, manifest in found:
            problems = check(args.cli, args.captures, name, manifest, os.path.join(tmp, name))
            print(("FAIL " if problems else "ok   ") + name)
            for p in problems:
                print("     " + p)
            failed += bool(problems)
    print(f"{len(found) - failed} passed, {failed} failed")
    return 1 if failed else 0


# ------------------------------------------------------------ live

def live(args):
    if os.geteuid() != 0:
        print("SKIP: needs root (network namespaces)")
        return SKIP
    missing = [t for t in ("ip", "nginx", "curl", "rtmpdump", "ffmpeg") if shutil.which(t) is None]
    if missing or not os.path.exists("/usr/lib/nginx/modules/ngx_rtmp_module.so"):
        print(f"SKIP: missing {missing or 'the nginx rtmp module'}")
        return SKIP
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    sys.path.insert(0, os.path.join(repo, "tests", "live-e2e"))
    import livelab  # noqa: E402

    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="osprey-live-", dir=os.path.abspath(args.work))
    problems = []
    lab = livelab.LiveLab(f"osprey-{os.getpid()}", work, log=lambda *a: None)
    try:
        lab.open()
    except (livelab.LabError, subprocess.CalledProcessError) as e:
        shutil.rmtree(work, ignore_errors=True)
        print(f"SKIP: no private network namespace: {e}")
        return SKIP
    try:
        media = os.path.join(work, "media")
        os.makedirs(media)
        served = os.path.join(media, "big.flv")
        # A large body for HTTP, and a real FLV (H.264/AAC) for the RTMP
        # server to stream.
        livelab.make_flv(served, 6 * 1024 * 1024, seed=7)
        shutil.copy(os.path.join(repo, "samples", "sample-http-flv.flv"), os.path.join(media, "clip.flv"))
        lab.start_nginx(media)
        conf = os.path.join(work, "rtmp.conf")
        with open(conf, "w") as f:
            f.write(f"""daemon off;
master_process off;
worker_processes 1;
pid {work}/rtmp.pid;
error_log {work}/rtmp-error.log warn;
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
events {{ worker_connections 64; }}
rtmp {{ server {{ listen 127.0.0.1:1935; chunk_size 4096; application vod {{ play {media}; }} }} }}
""")
        rtmp = lab.spawn("rtmp", ["nginx", "-p", work, "-c", conf, "-e", os.path.join(work, "rtmp-error.log")])
        lab.wait_listening(1935, rtmp, "rtmp")

        save = os.path.join(work, "save")
        with open(os.path.join(work, "sites"), "w") as f:
            f.write("127.0.0.1\n")
        cli = lab.spawn_split("osprey", [args.cli, "osprey", "--source", "lo", "--save", save, "--sites",
                                         os.path.join(work, "sites"), "--report"])
        livelab.wait_until(lambda: "capturing on" in lab.text("osprey.err") or cli.poll() is not None, 20, 0.05)
        time.sleep(1.0)  # the adapter is open once StartRecord has got that far

        players = [
            ("rtmpdump", ["rtmpdump", "-q", "-r", "rtmp://127.0.0.1:1935/vod/clip.flv",
                          "--tcUrl", "rtmp://127.0.0.1:1935/vod", "--app", "vod", "--playpath", "clip",
                          "--swfUrl", "http://player.example/flash/player.swf?v=2",
                          "--pageUrl", "http://www.example/watch?v=7&list=x", "-o", os.path.join(work, "a.flv"),
                          "-m", "20"]),
            ("ffmpeg", ["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
                        "-rtmp_tcurl", "rtmp://127.0.0.1:1935/vod", "-rtmp_app", "vod",
                        "-rtmp_playpath", "clip", "-rtmp_swfurl", "http://player.example/other.swf",
                        "-rtmp_pageurl", "http://www.example/page.html",
                        "-i", "rtmp://127.0.0.1:1935/vod/clip", "-c", "copy", "-f", "flv",
                        os.path.join(work, "b.flv")]),
        ]
        curl = lab.curl("curl", f"http://127.0.0.1:{livelab.HTTP_PORT}/big.flv")
        problems += lab.wait_clients([("curl", curl)], 60)
        for label, argv in players:
            p = lab.spawn(label, argv)
            try:
                rc = p.wait(timeout=60)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                rc = None
            # rtmpdump says 2 when it cannot tell that a stream is complete.
            if rc not in ((0, 2) if label == "rtmpdump" else (0,)):
                problems.append(f"{label} ended with {rc}: {lab.log_text(label).strip()[-300:]}")
        time.sleep(0.5)
        stop = time.monotonic()
        cli.send_signal(signal.SIGINT)
        try:
            rc = cli.wait(timeout=30)
        except subprocess.TimeoutExpired:
            cli.kill()
            cli.wait()
            rc = None
        took = time.monotonic() - stop
        out, err = lab.text("osprey.out"), lab.text("osprey.err")
        problems += sanitizer_problems(err)
        if rc != 0:
            problems.append(f"kestrel-cli osprey ended with {rc}: {err.strip()[-500:]}")
        if took > 10:
            problems.append(f"the capture took {took:.1f} s to end after SIGINT on a quiet adapter")
        lines = parse(out)
        results = [f for k, f in lines if k == "result"]
        if len(results) != 1 or results[0]["state"] != "2":
            problems.append(f"download results: {results}")
        else:
            got = read(os.path.join(save, results[0]["name"]))
            if got != read(served):
                problems.append(f"{results[0]['name']}: {len(got)} bytes, not the {os.path.getsize(served)} "
                                f"bytes served")
        notices = [(k, f) for k, f in lines if k.startswith("rtmp-")]
        expected = []
        for label, argv in players:
            opt = dict(zip(argv, argv[1:]))
            tc = opt.get("--tcUrl", opt.get("-rtmp_tcurl"))
            fields = {"tcUrl": tc, "app": opt.get("--app", opt.get("-rtmp_app")),
                      "stream": opt.get("--playpath", opt.get("-rtmp_playpath")),
                      "swfUrl": opt.get("--swfUrl", opt.get("-rtmp_swfurl")),
                      "pageUrl": opt.get("--pageUrl", opt.get("-rtmp_pageurl")), "port": "1935"}
            expected += [("rtmp-report", fields), ("rtmp-record", fields)]
        got = [(k, {x: f[x] for x in ("tcUrl", "app", "stream", "swfUrl", "pageUrl", "port")})
               for k, f in notices]
        if got != expected:
            problems.append(f"RTMP notices {got} instead of {expected}")
        summary = [f["text"] for k, f in lines if k == "diagnostic" and "capture ended" in f["text"]]
        if not summary or " 0 dropped by the kernel" not in summary[0] or " 0 frames cut" not in summary[0]:
            problems.append(f"capture summary: {summary}")
    except livelab.LabError as e:
        problems.append(str(e))
    finally:
        lab.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    for p in problems:
        print("FAIL " + p)
    print("live: " + ("failed" if problems else "passed"))
    return 1 if problems else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", choices=("http", "announce", "rtmp", "live"))
    ap.add_argument("--cli", required=True)
    ap.add_argument("--captures")
    ap.add_argument("--work", default=tempfile.gettempdir())
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    if args.mode == "live":
        return live(args)
    if not args.captures or not os.path.isdir(args.captures):
        print(f"SKIP: no captures in {args.captures}")
        return SKIP
    return batch(args, args.mode)


if __name__ == "__main__":
    sys.exit(main())
