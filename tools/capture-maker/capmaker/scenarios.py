"""The scenarios the maker records: who serves what, which client fetches it
and what a perfect recorder must produce from the capture.

HTTP scenarios list their client runs (curl / wget command lines) and the
responses expected in the capture, each as a served file or a byte range of
one. RTMP scenarios name the server set-up, the served FLV and the player;
their expected output is the player's own saved FLV.
"""

from dataclasses import dataclass, field
from typing import List, Optional, Tuple

HTTP_PORT = 80
RTMP_PORT = 1935
BASE = "http://127.0.0.1"


@dataclass
class Body:
    """One HTTP response the capture must hold."""
    media: str                                   # served file
    path: str                                    # request target
    status: int = 200
    byte_range: Optional[Tuple[int, int]] = None  # inclusive, for 206 answers
    framing: str = "content-length"              # content-length, chunked, close
    content_type: Optional[str] = None           # when the scenario is about it
    client_file: Optional[str] = None            # client's saved copy (work-relative)
    client_prefix: int = 0                       # client file holds this many bytes before the body


@dataclass
class ClientRun:
    tool: str
    argv: List[str]
    partial: Optional[Tuple[str, str, int]] = None  # (file, media, bytes) to seed before the run


@dataclass
class HttpScenario:
    name: str
    title: str
    server: str                      # stdlib-1.0, stdlib-1.1, custom
    runs: List[ClientRun]
    bodies: List[Body]
    connections: int = 1
    notes: str = ""
    protocol: str = "http"
    port: int = HTTP_PORT


@dataclass
class RtmpScenario:
    name: str
    title: str
    server: str                      # nginx-vod, nginx-live, ffmpeg-listen
    media: str
    player: str                      # rtmpdump, ffmpeg
    url: str
    connections: int = 1
    notes: str = ""
    protocol: str = "rtmp"
    port: int = RTMP_PORT
    tags: List[str] = field(default_factory=list)


def _curl(*args):
    return ClientRun("curl", ["curl", "-sS", "--fail", "--max-time", "30"] + list(args))


def _wget(*args):
    return ClientRun("wget", ["wget", "-q", "--timeout=20", "--tries=1"] + list(args))


def http_scenarios():
    s = []

    def simple(name, title, server, tool, media, path=None, content_type=None, framing="content-length",
               extra=(), notes=""):
        path = path or "/" + media
        out = "out-" + media
        run = _curl(*extra, "-o", out, BASE + path) if tool == "curl" else _wget(*extra, "-O", out, BASE + path)
        s.append(HttpScenario(name, title, server, [run],
                              [Body(media, path, framing=framing, content_type=content_type, client_file=out)],
                              notes=notes))

    simple("http-flv-curl", "FLV (H.264/AAC) download by curl from python3 http.server (HTTP/1.0 server)",
           "stdlib-1.0", "curl", "clip.flv", content_type="video/x-flv")
    simple("http-flv-wget", "FLV download by wget from python3 http.server", "stdlib-1.0", "wget", "clip.flv",
           content_type="video/x-flv")
    simple("http-flv-http10-curl", "FLV download, HTTP/1.0 request (curl -0) and HTTP/1.0 answer",
           "stdlib-1.0", "curl", "clip.flv", extra=["--http1.0"])
    simple("http-mp4-isom-curl", "MP4, major brand isom, moov before mdat (faststart)", "stdlib-1.0", "curl",
           "clip-isom.mp4", content_type="video/mp4")
    simple("http-m4v-mp42-wget", "MP4 served as .m4v, major brand mp42, moov after mdat", "stdlib-1.0", "wget",
           "clip-mp42.m4v")
    simple("http-m4a-curl", "M4A (AAC audio, brand M4A) download", "stdlib-1.0", "curl", "clip.m4a")
    simple("http-mp3-id3-wget", "MP3 with an ID3v2 tag in front", "stdlib-1.0", "wget", "clip-id3.mp3",
           content_type="audio/mpeg")
    simple("http-mp3-noid3-curl", "MP3 without any ID3 tag (starts with a frame header)", "stdlib-1.0", "curl",
           "clip-noid3.mp3", content_type="audio/mpeg")

    # Two downloads on one kept-alive HTTP/1.1 connection.
    s.append(HttpScenario(
        "http-keepalive-two-curl", "two FLV downloads over one kept-alive HTTP/1.1 connection (curl, two URLs)",
        "stdlib-1.1",
        [_curl("-o", "out-1-clip.flv", BASE + "/clip.flv", "-o", "out-2-clip-b.flv", BASE + "/clip-b.flv")],
        [Body("clip.flv", "/clip.flv", client_file="out-1-clip.flv"),
         Body("clip-b.flv", "/clip-b.flv", client_file="out-2-clip-b.flv")]))

    # The custom server's cases.
    simple("http-chunked-curl", "FLV with Transfer-Encoding: chunked, odd chunk sizes, chunk-size lines and "
           "chunk ends split across segments", "custom", "curl", "clip.flv", path="/chunked/clip.flv", framing="chunked",
           notes="expected body is the de-chunked body")
    simple("http-chunked-wget", "MP4 with Transfer-Encoding: chunked (odd sizes, split size lines), by wget",
           "custom", "wget", "clip-isom.mp4", path="/chunked/clip-isom.mp4", framing="chunked",
           notes="expected body is the de-chunked body")
    simple("http-noclen-curl", "FLV answered like an HTTP/1.0 server without Content-Length; the close ends "
           "the body", "custom", "curl", "clip.flv", path="/noclen/clip.flv", framing="close")
    simple("http-noclen-wget", "MP3 (ID3) without Content-Length, ended by the close, by wget", "custom", "wget",
           "clip-id3.mp3", path="/noclen/clip-id3.mp3", framing="close")
    simple("http-ctype-noext-curl", "FLV whose URL has no media extension; only Content-Type: video/x-flv "
           "says what it is", "custom", "curl", "clip.flv", path="/noext/clip?id=7", content_type="video/x-flv")
    simple("http-octet-flv-curl", "FLV sent as application/octet-stream from a URL without extension (only "
           "the FLV's onMetaData says what it is)", "custom", "curl", "clip.flv", path="/octet/clip",
           content_type="application/octet-stream")

    # 206 answers: two ranges over one kept-alive connection, and wget
    # continuing a partial file.
    s.append(HttpScenario(
        "http-range-curl", "FLV fetched as two byte ranges (206 Partial Content) on one kept-alive connection",
        "custom",
        [ClientRun("curl", ["curl", "-sS", "--fail", "--max-time", "30", "-r", "0-49999", "-o", "out-part1",
                            BASE + "/range/clip.flv", "--next", "-sS", "--fail", "--max-time", "30",
                            "-r", "50000-", "-o", "out-part2", BASE + "/range/clip.flv"])],
        [Body("clip.flv", "/range/clip.flv", 206, (0, 49999), client_file="out-part1"),
         Body("clip.flv", "/range/clip.flv", 206, (50000, -1), client_file="out-part2")],
        notes="the two parts joined at their Content-Range offsets give the whole file"))
    s.append(HttpScenario(
        "http-range-wget-continue", "wget -c continues a partial MP4: Range request, 206 answer for the rest",
        "custom",
        [ClientRun("wget", ["wget", "-q", "--timeout=20", "--tries=1", "-c", BASE + "/range/clip-isom.mp4"],
                   partial=("clip-isom.mp4", "clip-isom.mp4", 60000))],
        [Body("clip-isom.mp4", "/range/clip-isom.mp4", 206, (60000, -1), client_file="clip-isom.mp4",
              client_prefix=60000)],
        notes="the capture holds bytes 60000.. only; the first 60000 bytes never crossed the network"))
    return s


def rtmp_scenarios():
    vod = "rtmp://127.0.0.1/vod/"
    return [
        RtmpScenario("rtmp-vod-rtmpdump", "nginx-rtmp VOD (H.264/AAC FLV) played by rtmpdump", "nginx-vod",
                     "clip.flv", "rtmpdump", vod + "clip.flv"),
        RtmpScenario("rtmp-vod-ffmpeg", "nginx-rtmp VOD played by ffmpeg (-c copy -f flv)", "nginx-vod",
                     "clip.flv", "ffmpeg", vod + "clip.flv"),
        RtmpScenario("rtmp-vod-h263-mp3-rtmpdump", "nginx-rtmp VOD of an old-codec FLV (Sorenson H.263 + MP3) "
                     "played by rtmpdump", "nginx-vod", "clip-h263-mp3.flv", "rtmpdump", vod + "clip-h263-mp3.flv"),
        RtmpScenario("rtmp-live-ffmpeg", "ffmpeg publishes (-re) to nginx-rtmp live while ffmpeg plays it; both "
                     "connections captured", "nginx-live", "clip.flv", "ffmpeg", "rtmp://127.0.0.1/live/stream",
                     connections=2, notes="the player connects first; the publisher's connection is the second"),
        RtmpScenario("rtmp-live-rtmpdump", "ffmpeg publishes (-re) to nginx-rtmp live while rtmpdump --live plays "
                     "it", "nginx-live", "clip.flv", "rtmpdump", "rtmp://127.0.0.1/live/stream", connections=2,
                     notes="the player connects first; the publisher's connection is the second"),
        RtmpScenario("rtmp-listen-ffmpeg", "ffmpeg as the RTMP server (-re -listen 1) played by ffmpeg",
                     "ffmpeg-listen", "clip.flv", "ffmpeg", "rtmp://127.0.0.1/app/stream"),
        RtmpScenario("rtmp-listen-rtmpdump", "ffmpeg as the RTMP server (-re -listen 1) played by rtmpdump",
                     "ffmpeg-listen", "clip.flv", "rtmpdump", "rtmp://127.0.0.1/app/stream"),
    ]


def all_scenarios():
    return http_scenarios() + rtmp_scenarios()
