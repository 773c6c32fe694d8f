"""The media files the test servers serve, made with ffmpeg from its lavfi
test sources: small (tens to a few hundred KB) and reproducible (one
encoder thread, bitexact muxing, no metadata but what a case needs)."""

import hashlib
import json
import os
import subprocess

_V = ["-f", "lavfi", "-i"]
_EXACT = ["-map_metadata", "-1", "-fflags", "+bitexact", "-flags:v", "+bitexact", "-flags:a", "+bitexact"]
_H264 = ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "50", "-threads", "1"]

# name -> (what it is, ffmpeg arguments between the inputs and the output)
RECIPES = {
    "clip.flv": (
        "FLV, H.264 main 320x240 25 fps + AAC 44.1 kHz stereo, 4 s",
        _V + ["testsrc2=size=320x240:rate=25:duration=4"] + _V + ["sine=frequency=440:sample_rate=44100:duration=4"]
        + _H264 + ["-profile:v", "main", "-b:v", "220k", "-c:a", "aac", "-b:a", "64k", "-ac", "2"]
        + _EXACT + ["-f", "flv"]),
    "clip-b.flv": (
        "FLV, H.264 baseline 240x180 15 fps + AAC 22.05 kHz mono, 3 s",
        _V + ["testsrc=size=240x180:rate=15:duration=3"] + _V + ["sine=frequency=660:sample_rate=22050:duration=3"]
        + _H264 + ["-profile:v", "baseline", "-b:v", "150k", "-c:a", "aac", "-b:a", "48k", "-ac", "1"]
        + _EXACT + ["-f", "flv"]),
    "clip-h263-mp3.flv": (
        "FLV, Sorenson H.263 320x240 25 fps + MP3 44.1 kHz, 4 s",
        _V + ["testsrc2=size=320x240:rate=25:duration=4"] + _V + ["sine=frequency=550:sample_rate=44100:duration=4"]
        + ["-c:v", "flv", "-b:v", "300k", "-g", "50", "-threads", "1", "-c:a", "libmp3lame", "-b:a", "64k", "-ac", "2"]
        + _EXACT + ["-f", "flv"]),
    "clip-isom.mp4": (
        "MP4 (major brand isom, moov first), H.264 + AAC, 4 s",
        _V + ["testsrc2=size=320x240:rate=25:duration=4"] + _V + ["sine=frequency=440:sample_rate=44100:duration=4"]
        + _H264 + ["-profile:v", "main", "-b:v", "220k", "-c:a", "aac", "-b:a", "64k", "-ac", "2"]
        + _EXACT + ["-movflags", "+faststart", "-f", "mp4"]),
    "clip-mp42.m4v": (
        "MP4 as .m4v (major brand mp42, moov at the end), H.264 + AAC, 4 s",
        _V + ["mandelbrot=size=320x240:rate=25"] + _V + ["sine=frequency=330:sample_rate=48000:duration=4"]
        + _H264 + ["-t", "4", "-profile:v", "high", "-b:v", "220k", "-c:a", "aac", "-b:a", "64k", "-ac", "2"]
        + _EXACT + ["-brand", "mp42", "-f", "mp4"]),
    "clip.m4a": (
        "M4A (major brand M4A), AAC-LC 44.1 kHz stereo 128 kb/s, 6 s",
        _V + ["sine=frequency=880:sample_rate=44100:duration=6"]
        + ["-c:a", "aac", "-b:a", "128k", "-ac", "2"] + _EXACT + ["-f", "ipod"]),
    "clip-id3.mp3": (
        "MP3 128 kb/s 44.1 kHz, 6 s, with an ID3v2.4 tag (title, artist) in front",
        _V + ["sine=frequency=523:sample_rate=44100:duration=6"]
        + ["-c:a", "libmp3lame", "-b:a", "128k", "-ac", "2", "-fflags", "+bitexact", "-flags:a", "+bitexact",
           "-id3v2_version", "4", "-metadata", "title=Kestrel test tone", "-metadata", "artist=capture maker",
           "-f", "mp3"]),
    "clip-noid3.mp3": (
        "MP3 128 kb/s 44.1 kHz, 6 s, no ID3 tag at all (first bytes are a frame header)",
        _V + ["sine=frequency=392:sample_rate=44100:duration=6"]
        + ["-c:a", "libmp3lame", "-b:a", "128k", "-ac", "2"] + _EXACT
        + ["-id3v2_version", "0", "-write_id3v1", "0", "-write_xing", "0", "-f", "mp3"]),
}


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def sha256_file_bytes(data):
    return hashlib.sha256(data).hexdigest()


def ffprobe_summary(path):
    p = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                        "format=format_name,duration:format_tags=major_brand:stream=codec_name",
                        "-of", "json", path], capture_output=True, timeout=60)
    if p.returncode != 0:
        return {"error": p.stderr.decode(errors="replace").strip()}
    j = json.loads(p.stdout or b"{}")
    fmt = j.get("format", {})
    return {"format": fmt.get("format_name"), "duration": fmt.get("duration"),
            "major_brand": fmt.get("tags", {}).get("major_brand"),
            "codecs": [s.get("codec_name") for s in j.get("streams", [])]}


def make_media(folder, names=None):
    """Makes the served files into folder (once; existing files are kept) and
    returns {name: facts}."""
    os.makedirs(folder, exist_ok=True)
    facts = {}
    for name, (what, args) in RECIPES.items():
        if names is not None and name not in names:
            continue
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            tmp = path + ".part"
            p = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"] + args + [tmp],
                               capture_output=True, timeout=300)
            if p.returncode != 0:
                raise RuntimeError(f"ffmpeg could not make {name}: {p.stderr.decode(errors='replace')}")
            os.replace(tmp, path)
        with open(path, "rb") as f:
            head = f.read(3)
        facts[name] = {"file": name, "what": what, "bytes": os.path.getsize(path),
                       "sha256": sha256_file(path), "starts_with_id3": head == b"ID3",
                       "ffprobe": ffprobe_summary(path)}
    return facts
