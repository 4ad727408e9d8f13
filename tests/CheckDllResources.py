#!/usr/bin/env python3
"""Checks a Windows DLL's resources: the eight dialog templates (German and US-English 129 and 130)
and the version block with its strings. Reads the PE resource directory with the standard library."""
import struct
import sys

RT_DIALOG, RT_VERSION = 5, 16
GERMAN, US_ENGLISH = 0x407, 0x409


def resources(data):
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    sections, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
    table = pe + 24 + opt_size
    for i in range(sections):
        name, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            break
    else:
        raise SystemExit("no .rsrc section")
    found = {}

    def walk(offset, path):
        named, ids = struct.unpack_from("<12xHH", data, raw + offset)
        for e in range(named + ids):
            key, target = struct.unpack_from("<II", data, raw + offset + 16 + 8 * e)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, path + (key,))
            else:
                rva, size = struct.unpack_from("<II", data, raw + target)
                found[path + (key,)] = data[raw + rva - vaddr: raw + rva - vaddr + size]

    walk(0, ())
    return found


def main(path):
    data = open(path, "rb").read()
    res = resources(data)
    problems = []
    dialogs = {(k[1], k[2]) for k in res if k[0] == RT_DIALOG}
    for ident in (129, 130, 131, 132, 133, 135, 137, 139):
        if not any(i == ident for i, _ in dialogs):
            problems.append(f"dialog template {ident} missing")
    for ident in (129, 130):
        for lang in (GERMAN, US_ENGLISH):
            if (ident, lang) not in dialogs:
                problems.append(f"dialog template {ident} missing in language {lang:#x}")
    versions = [v for k, v in res.items() if k[0] == RT_VERSION]
    if not versions:
        problems.append("no version resource")
    else:
        block = versions[0]
        fixed = block.find(struct.pack("<I", 0xFEEF04BD))
        ms, ls = struct.unpack_from("<II", block, fixed + 8)
        if (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF) != (2, 6, 974, 75):
            problems.append("file version is not 2.6.974.75")
        for text in ("Korvex - Prozessorbibliothek", "Korvex - RasterKit DLL", "RasterKit", "Finalrelease"):
            if text.encode("utf-16-le") not in block:
                problems.append(f"version string {text!r} missing")
    for p in problems:
        print(f"{path}: {p}")
    if not problems:
        print(f"{path}: {len(dialogs)} dialog templates and the version resource present")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
