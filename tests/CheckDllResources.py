#!/usr/bin/env python3
"""Checks a Windows DLL's resources: the eight dialog templates (German and US-English 129 and 130)
and the version block with its strings. Reads the PE resource directory with the standard library."""
import struct
import sys


def resources(data):
    """The resource leaves as {(type, name, language): bytes}."""
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    sections, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
    for i in range(sections):
        name, _, vaddr, _, raw = struct.unpack_from("<8sIIII", data, pe + 24 + opt_size + 40 * i)
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
                found[path + (key,)] = data[raw + rva - vaddr:raw + rva - vaddr + size]

    walk(0, ())
    return found


def main(path):
    res = resources(open(path, "rb").read())
    dialogs = {(k[1], k[2]) for k in res if k[0] == 5}
    problems = [f"dialog template {i} missing" for i in (129, 130, 131, 132, 133, 135, 137, 139)
                if not any(d == i for d, _ in dialogs)]
    problems += [f"dialog template {i} missing in language {lang:#x}"
                 for i in (129, 130) for lang in (0x407, 0x409) if (i, lang) not in dialogs]
    versions = [v for k, v in res.items() if k[0] == 16]
    if not versions:
        problems.append("no version resource")
    else:
        fixed = versions[0].find(struct.pack("<I", 0xFEEF04BD))
        ms, ls = struct.unpack_from("<II", versions[0], fixed + 8)
        if (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF) != (2, 6, 974, 75):
            problems.append("file version is not 2.6.974.75")
        problems += [f"version string {text!r} missing"
                     for text in ("Korvex - Prozessorbibliothek", "Korvex - RasterKit DLL", "RasterKit", "Finalrelease")
                     if text.encode("utf-16-le") not in versions[0]]
    for p in problems or [f"{len(dialogs)} dialog templates and the version resource present"]:
        print(f"{path}: {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
