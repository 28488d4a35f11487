#!/usr/bin/env python3
"""Helpers of scripts/demo.sh, standard library only.

  demo_tools.py ports PORT...                     fail when a UDP port on 127.0.0.1 is taken
  demo_tools.py client --out DIR --version N      write a sample client installation
  demo_tools.py banner FILE                       draw a 468 x 60 banner picture (PNG)
  demo_tools.py serve --root DIR --port-file F [--rate BYTES_PER_S] [--log F]
                                                  HTTP server on 127.0.0.1, port chosen free
  demo_tools.py check --ini FILE --install DIR    installation equal to the product ini?
"""
import argparse
import functools
import hashlib
import http.server
import os
import random
import socket
import socketserver
import struct
import sys
import time
import zlib


# ---------------------------------------------------------------- ports

def cmd_ports(args):
    taken = []
    for port in args.ports:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            taken.append(port)
        finally:
            s.close()
    if taken:
        print(" ".join(str(p) for p in taken))
        return 1
    return 0


# ---------------------------------------------------------------- sample client

RUNSCRIPT = """#!/bin/sh
# Start script of the Corvane 3 Client (demo stand-in): records that it ran.
cd "$(dirname "$0")" || exit 1
echo "Corvane 3 Client {label} started at $(date '+%Y-%m-%d %H:%M:%S') (pid $$)" >> client_started.log
"""

BINARY = """#!/bin/sh
echo "Corvane 3 Client {label}"
"""


def noise(seed, size):
    """Deterministic bytes that do not compress much, like game data."""
    return random.Random(seed).randbytes(size)


def text_blob(seed, size):
    """Deterministic text that compresses well, like configuration or code."""
    rng = random.Random(seed)
    words = ["vane", "arena", "harbour", "corvane", "player", "map", "render",
             "shader", "sound", "team", "score", "round", "client", "server"]
    out = []
    n = 0
    while n < size:
        line = " ".join(rng.choice(words) for _ in range(12)) + "\n"
        out.append(line)
        n += len(line)
    return "".join(out)[:size].encode()


def client_files(version):
    """The files of client release `version` (12: the installed one, 13: the new one)."""
    label = {12: "3.0.5", 13: "3.1.0"}[version]
    files = {
        "cv3client_runscript.sh": RUNSCRIPT.format(label=label).encode(),
        "cv3client_linux_x86": BINARY.format(label=label).encode() + noise(version, 200_000),
        "readme.txt": b"Corvane 3 Client\n\nStart the game with cv3client_runscript.sh.\n",
        "libcorvane_render.so": noise(100 + version, 600_000),
        "data/textures.pak": noise(7, 900_000),
        "data/maps/arena.map": text_blob(200 + version, 300_000),
    }
    if version == 12:
        files["data/intro.video"] = noise(300, 150_000)
        files["legacy.cfg"] = b"[video]\nmode=640x480\n"
    else:
        files["libcorvane_audio.so"] = text_blob(400, 700_000)
        files["data/maps/harbour.map"] = text_blob(500, 500_000)
        files["data/music/theme.ogg"] = noise(600, 1_200_000)
    return files


def cmd_client(args):
    for rel, data in client_files(args.version).items():
        path = os.path.join(args.out, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if rel.endswith(".sh") or rel == "cv3client_linux_x86":
            os.chmod(path, 0o755)
    return 0


# ---------------------------------------------------------------- banner picture

FONT = {  # 5 x 7 glyphs, one string per row
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "C": ["01111", "10000", "10000", "10000", "10000", "10000", "01111"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "I": ["11111", "00100", "00100", "00100", "00100", "00100", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "W": ["10001", "10001", "10001", "10101", "10101", "11011", "10001"],
    "3": ["11110", "00001", "00001", "01110", "00001", "00001", "11110"],
    "1": ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    ".": ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
    "!": ["00100", "00100", "00100", "00100", "00100", "00000", "00100"],
    " ": ["00000"] * 7,
}


def png(width, height, rows):
    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def cmd_banner(args):
    w, h = 468, 60
    pix = [[0] * (w * 3) for _ in range(h)]
    for y in range(h):
        for x in range(w):
            t = x / (w - 1)
            r, g, b = int(12 + 20 * t), int(36 + 50 * t), int(64 + 70 * t)
            if (x + 2 * y) % 23 == 0:  # faint diagonal stripes
                r, g, b = r + 10, g + 14, b + 18
            pix[y][3 * x:3 * x + 3] = [r, g, b]

    def text(s, x0, y0, scale, colour):
        x = x0
        for ch in s:
            glyph = FONT[ch]
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "1":
                        for dy in range(scale):
                            for dx in range(scale):
                                px, py = x + gx * scale + dx, y0 + gy * scale + dy
                                if 0 <= px < w and 0 <= py < h:
                                    pix[py][3 * px:3 * px + 3] = list(colour)
            x += 6 * scale

    text("CORVANE 3.1", 16, 9, 4, (240, 244, 248))
    text("NEW MAPS!", 16 + 11 * 24 + 14, 14, 2, (244, 150, 36))
    text("UPDATE NOW!", 16 + 11 * 24 + 14, 34, 2, (240, 244, 248))
    with open(args.file, "wb") as f:
        f.write(png(w, h, pix))
    return 0


# ---------------------------------------------------------------- HTTP server

class Handler(http.server.SimpleHTTPRequestHandler):
    rate = 0          # bytes per second and connection; 0: as fast as possible
    log_file = None

    def copyfile(self, source, outputfile):
        if self.rate <= 0:
            return super().copyfile(source, outputfile)
        chunk = 4096
        start = time.monotonic()
        sent = 0
        while True:
            data = source.read(chunk)
            if not data:
                break
            outputfile.write(data)
            sent += len(data)
            ahead = sent / self.rate - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)

    def log_message(self, fmt, *args):
        if self.log_file:
            with open(self.log_file, "a") as f:
                f.write("%s %s\n" % (time.strftime("%H:%M:%S"), fmt % args))


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def cmd_serve(args):
    Handler.rate = args.rate
    Handler.log_file = args.log
    handler = functools.partial(Handler, directory=args.root)
    with Server(("127.0.0.1", 0), handler) as server:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % server.server_address[1])
        os.replace(tmp, args.port_file)
        server.serve_forever()
    return 0


# ---------------------------------------------------------------- installation check

def unescape_key(key):
    """Undoes the INI escaping of Qt's settings writer for a key."""
    out = []
    i = 0
    while i < len(key):
        c = key[i]
        if c == "\\":
            out.append("/")
        elif c == "%" and key[i + 1:i + 2] == "U" and i + 6 <= len(key):
            out.append(chr(int(key[i + 2:i + 6], 16)))
            i += 5
        elif c == "%" and i + 3 <= len(key):
            out.append(chr(int(key[i + 1:i + 3], 16)))
            i += 2
        else:
            out.append(c)
        i += 1
    return "".join(out)


def read_product_ini(path):
    """{section: [(key, value)]} of a product ini as Qt's settings writer wrote it."""
    sections = {}
    current = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith(";"):
                continue
            if line.startswith("[") and line.endswith("]"):
                current = sections.setdefault(unescape_key(line[1:-1]), [])
                continue
            if current is None or "=" not in line:
                continue
            key, value = line.split("=", 1)
            value = value.strip()
            if len(value) >= 2 and value[0] == '"' and value[-1] == '"':
                value = value[1:-1]
            current.append((unescape_key(key.strip()), value))
    return sections


def md5_of(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


PROGRAM_NAMES = {"cv3client_linux_x86", "cv3client_linux_amd64", "cv3client_runscript.sh",
                 "update", "error_report", "package_inst"}


def is_program(rel):
    """Files the updater marks executable when it installs them."""
    name = os.path.basename(rel)
    return name in PROGRAM_NAMES or name.endswith(".so") or name.endswith(".so.4")


def cmd_check(args):
    sections = read_product_ini(args.ini)
    problems = []
    checked = 0
    for section, entries in sections.items():
        if section == "delete":
            for rel, _ in entries:
                if os.path.lexists(os.path.join(args.install, rel)):
                    problems.append("%s should have been deleted" % rel)
            continue
        for rel, value in entries:
            fields = value.split("::")
            if len(fields) == 5:
                rel, md5 = fields[4], fields[2]
            elif len(fields) == 2:
                md5 = fields[0]
            else:
                problems.append("invalid entry %s in section %s" % (rel, section))
                continue
            path = os.path.join(args.install, rel)
            checked += 1
            if not os.path.isfile(path):
                problems.append("%s is missing" % rel)
            elif md5_of(path).lower() != md5.lower():
                problems.append("%s has the wrong MD5" % rel)
            elif is_program(rel) and not os.access(path, os.X_OK):
                problems.append("%s is not executable" % rel)
            old = os.path.join(os.path.dirname(path), "_old_" + os.path.basename(path))
            if os.path.lexists(old):
                problems.append("%s was left behind" % os.path.relpath(old, args.install))
    deleted = len(sections.get("delete", []))
    if checked == 0:
        problems.append("the product ini lists no files")
    for p in problems:
        print("  " + p)
    print("%d files match their MD5, %d obsolete files gone" % (checked, deleted)
          if not problems else "%d problem(s)" % len(problems))
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("ports")
    p.add_argument("ports", type=int, nargs="+")
    p.set_defaults(func=cmd_ports)
    p = sub.add_parser("client")
    p.add_argument("--out", required=True)
    p.add_argument("--version", type=int, choices=(12, 13), required=True)
    p.set_defaults(func=cmd_client)
    p = sub.add_parser("banner")
    p.add_argument("file")
    p.set_defaults(func=cmd_banner)
    p = sub.add_parser("serve")
    p.add_argument("--root", required=True)
    p.add_argument("--port-file", required=True)
    p.add_argument("--rate", type=int, default=0)
    p.add_argument("--log")
    p.set_defaults(func=cmd_serve)
    p = sub.add_parser("check")
    p.add_argument("--ini", required=True)
    p.add_argument("--install", required=True)
    p.set_defaults(func=cmd_check)
    args = parser.parse_args()
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
