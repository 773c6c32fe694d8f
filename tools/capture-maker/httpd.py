#!/usr/bin/env python3
"""A small HTTP/1.1 file server for the answers python3's http.server cannot
give, so that test captures hold them:

  GET /FILE            200 with Content-Length (kept alive)
  GET /chunked/FILE    200, Transfer-Encoding: chunked, odd chunk sizes; some
                       chunk-size lines and chunk ends are sent in two pieces
                       with a pause between, so they straddle TCP segments
  GET /noclen/FILE     200 as an HTTP/1.0 server: no Content-Length, the end
                       of the body is the server closing the connection
  GET /noext/STEM?id=7 200 with the media Content-Type of STEM.* but no media
                       extension anywhere in the URL
  GET /octet/STEM      200 with Content-Type application/octet-stream
  GET /range/FILE      honours a single "Range: bytes=..." with 206 Partial
                       Content and Content-Range (200 without a Range)

Usage: httpd.py --dir DIR [--port 80] [--bind 127.0.0.1] [--pause-ms 15]
"""

import argparse
import os
import socket
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CONTENT_TYPES = {
    ".flv": "video/x-flv",
    ".mp4": "video/mp4",
    ".m4v": "video/mp4",
    ".m4a": "audio/mp4",
    ".mp3": "audio/mpeg",
}

# Sizes of successive chunks, repeated: odd ones, ones below and above a
# segment, and one of a single byte.
CHUNK_SIZES = (1, 7, 4093, 333, 0x1FFF, 65, 1460, 2999, 17, 12345, 1000)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KestrelTestHTTP/1.0"
    root = "."
    pause = 0.015

    def log_message(self, fmt, *args):
        sys.stderr.write("httpd: %s %s\n" % (self.address_string(), fmt % args))

    def _file(self, name):
        name = os.path.basename(urllib.parse.unquote(name))
        path = os.path.join(self.root, name)
        return path if name and os.path.isfile(path) else None

    def _stem_file(self, stem):
        stem = os.path.basename(urllib.parse.unquote(stem))
        for entry in sorted(os.listdir(self.root)):
            base, ext = os.path.splitext(entry)
            if base == stem and ext in CONTENT_TYPES:
                return os.path.join(self.root, entry)
        return None

    def do_GET(self):
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        path = urllib.parse.urlsplit(self.path).path
        parts = path.lstrip("/").split("/", 1)
        kind, rest = (parts[0], parts[1]) if len(parts) == 2 else ("", parts[0])
        if kind == "chunked":
            return self._send_chunked(self._file(rest))
        if kind == "noclen":
            return self._send_without_length(self._file(rest))
        if kind == "noext":
            f = self._stem_file(rest)
            return self._send_whole(f, CONTENT_TYPES.get(os.path.splitext(f)[1]) if f else None)
        if kind == "octet":
            return self._send_whole(self._stem_file(rest), "application/octet-stream")
        if kind == "range":
            return self._send_range(self._file(rest))
        f = self._file(path)
        return self._send_whole(f, self._type_of(f))

    @staticmethod
    def _type_of(path):
        if path is None:
            return None
        return CONTENT_TYPES.get(os.path.splitext(path)[1].lower(), "application/octet-stream")

    def _missing(self):
        self.send_error(404, "Not found")

    def _send_whole(self, path, ctype):
        if path is None:
            return self._missing()
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _send_range(self, path):
        if path is None:
            return self._missing()
        with open(path, "rb") as f:
            body = f.read()
        ctype = self._type_of(path)
        byte_range = self.headers.get("Range", "")
        first = last = None
        if byte_range.startswith("bytes=") and "," not in byte_range:
            a, _, b = byte_range[6:].strip().partition("-")
            try:
                if a == "":
                    first, last = max(0, len(body) - int(b)), len(body) - 1
                else:
                    first = int(a)
                    last = min(int(b), len(body) - 1) if b else len(body) - 1
            except ValueError:
                first = last = None
        if first is None:
            self.send_response(200)
            self.send_header("Content-Type", ctype)
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if first > last or first >= len(body):
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % len(body))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        part = body[first:last + 1]
        self.send_response(206)
        self.send_header("Content-Type", ctype)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))
        self.send_header("Content-Length", str(len(part)))
        self.end_headers()
        self.wfile.write(part)

    def _send_without_length(self, path):
        if path is None:
            return self._missing()
        with open(path, "rb") as f:
            body = f.read()
        # Answer like an HTTP/1.0 server: the status line says 1.0 and the
        # connection ends the body.
        self.protocol_version = "HTTP/1.0"
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", self._type_of(path))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def _send_raw(self, data):
        self.connection.sendall(data)

    def _send_chunked(self, path):
        if path is None:
            return self._missing()
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", self._type_of(path))
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        pos = 0
        n = 0
        while pos < len(body):
            size = min(CHUNK_SIZES[n % len(CHUNK_SIZES)], len(body) - pos)
            data = body[pos:pos + size]
            line = b"%x" % size
            if n % 7 == 3:
                line += b";note=odd-sizes"  # a chunk extension, legal and ignorable
            line += b"\r\n"
            if n % 3 == 1 and len(line) > 3:
                # The size line in two writes: the segment ends inside it.
                self._send_raw(line[:1])
                time.sleep(self.pause)
                self._send_raw(line[1:] + data)
            elif n % 5 == 2:
                # The size line's CR and LF in different segments.
                self._send_raw(line[:-1])
                time.sleep(self.pause)
                self._send_raw(line[-1:] + data)
            else:
                self._send_raw(line + data)
            if n % 4 == 0:
                self._send_raw(b"\r")
                time.sleep(self.pause)
                self._send_raw(b"\n")
            else:
                self._send_raw(b"\r\n")
            pos += size
            n += 1
        self._send_raw(b"0\r\n\r\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", required=True)
    ap.add_argument("--port", type=int, default=80)
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--pause-ms", type=float, default=15.0)
    args = ap.parse_args()
    Handler.root = os.path.abspath(args.dir)
    Handler.pause = args.pause_ms / 1000.0
    ThreadingHTTPServer.allow_reuse_address = True
    with ThreadingHTTPServer((args.bind, args.port), Handler) as srv:
        srv.serve_forever()


if __name__ == "__main__":
    main()
