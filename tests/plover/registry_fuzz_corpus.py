#!/usr/bin/env python3
"""Writes a seed corpus for registry_fuzz into FOLDER: the stores the
registry and libplover tests use (small versions of the generated large
ones), the inputs kept in tests/plover/regressions/, and, when a built
kestrel-cli is given, the store it writes when associating.

    registry_fuzz_corpus.py FOLDER [KESTREL_CLI]
    registry_fuzz FOLDER -max_total_time=600 -max_len=262144
"""

import os
import pathlib
import random
import subprocess
import sys
import tempfile

HEADER = "Kestrel Registry Store 1\n"


def name(i):
    digits = str(i)
    if i % 7 == 0:
        return "key_" + digits
    if i % 5 == 0:
        return "KEY" + digits
    return "Key" + digits


def chain(depth, n="a"):
    return "\\".join([n] * depth)


def seeds():
    yield "empty", ""
    yield "header only", HEADER
    yield "association", (
        HEADER + "\n[HKEY_CLASSES_ROOT\\.flv]\n@=\"Kestrel.flv\"\n\n"
        "[HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command]\n"
        "\"OldValue\"=\"\\x41\\\\\\\"\"\n@=\"\\\"/k\\\" %1\"\n")
    yield "odd names", (
        HEADER + "\n[HKEY_CURRENT_USER\\Software\\Odd ] [names\\Here]\n@=\"plain\"\n"
        "\"quotes\"=\"say \\\"hi\\\" \\\\ back\\\\slash\"\n"
        "\"controls\"=\"line1\\x0Aline2\\x0D\\x09tab\\x01\\x7F\"\n"
        "\"utf8 ключ\"=\"значение ☺\"\n\"@\"=\"at sign as a name\"\n\"=[]\"=\"[not a key]\"\n"
        "\n[HKEY_CLASSES_ROOT\\Empty\\Key]\n")
    yield "root values, comments, CR LF", (
        HEADER + "; comment\r\n[HKEY_CURRENT_USER]\r\n@=\"root\"\r\n\"x\"=\"y\"\r\n"
        "[hkey_classes_root\\A]\r\n[HKEY_CLASSES_ROOT\\a\\B]\r\n\"v\"=\"w\"\r\n")
    yield "desktop bookkeeping", (
        HEADER + "\n[HKEY_CURRENT_USER\\Software\\Kestrel\\DesktopDefaults]\n"
        "\"video/x-flv\"=\"otherplayer.desktop\"\n"
        "\n[HKEY_CLASSES_ROOT\\VLC.flv\\DefaultIcon]\n@=\"/usr/share/icons/vlc.png\"\n"
        "\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.flv]\n"
        "\"Application\"=\"vlc.desktop\"\n\"Other\"=\"stays\"\n")
    for i, bad in enumerate([
            "[HKEY_LOCAL_MACHINE\\x]\n", "@=\"x\"\n", "[HKEY_CLASSES_ROOT\\a]\n@=\"\\q\"\n",
            "[HKEY_CLASSES_ROOT\\a]\n\"N\"=\"1\"\n\"n\"=\"2\"\n", "[HKEY_CLASSES_ROOT\\a\\\\b]\n"]):
        yield "damaged %d" % i, HEADER + bad
    yield "depth limit", HEADER + "[HKEY_CLASSES_ROOT\\" + chain(512) + "]\n@=\"deepest\"\n"
    yield "one past the depth limit", HEADER + "[HKEY_CLASSES_ROOT\\" + chain(513) + "]\n"
    names = [name(i) for i in range(3000)]
    order = list(range(3000))
    random.Random(1).shuffle(order)
    yield "many keys", HEADER + "".join("\n[HKEY_CLASSES_ROOT\\Many\\Keys\\%s]\n" % names[i] for i in order)
    yield "many values", HEADER + "\n[HKEY_CLASSES_ROOT\\Values]\n" + "".join(
        "\"%s\"=\"v%d%s\"\n" % (names[i], i, "\\x01\\\"" if i % 11 == 0 else "") for i in order)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for title, text in seeds():
        (out / (title.replace(" ", "-").replace(",", "") + ".reg")).write_bytes(text.encode())
    for kept in (pathlib.Path(__file__).parent / "regressions").glob("*.reg"):
        (out / kept.name).write_bytes(kept.read_bytes())
    if len(sys.argv) > 2:
        with tempfile.TemporaryDirectory() as tmp:
            env = dict(os.environ, KESTREL_HOME=tmp + "/home", HOME=tmp + "/user",
                       XDG_CONFIG_HOME=tmp + "/config", XDG_DATA_HOME=tmp + "/data")
            for args in (["--file", "on", "--menu", "on"], ["--file", "off"]):
                subprocess.run([sys.argv[2], "associate"] + args, env=env, capture_output=True, check=False)
                store = pathlib.Path(tmp, "home", "registry.reg")
                if store.exists():
                    (out / ("associate" + "".join(args).replace("-", "_") + ".reg")).write_bytes(store.read_bytes())


if __name__ == "__main__":
    main()
