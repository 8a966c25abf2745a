#!/usr/bin/env python3
"""Regenerates the zip corpus that tst_backfill reads (tests/data/zip/).

Each archive is made by a real writer: Python's zipfile, Info-ZIP zip and
7-Zip (7za), plus copies served with bytes after the archive (a newline, an
HTML comment) and hand-made archives whose entries would land outside the
folder they are unpacked into. corpus.txt lists every archive with the verdict
the zip check must give: "accept" or "refuse".

The script checks its own output with 7-Zip: every accepted archive must unpack
with "7za x" into an empty folder, the archives refused as damaged must not, and
nothing of any archive may land outside that folder. Run it from anywhere; it needs python3, zip and 7za (scripts/deps).
The tests read the committed archives and need none of these tools.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

FILES = {
    "NIFTY-I.txt": b"2024-01-31,NIFTY-I,09:15:00,21734.5,21740,21730.25,21738,1250,1234500\n"
                   b"2024-01-31,NIFTY-I,09:16:00,21738,21745,21736,21744,980,1234600\n",
    "day1/SBIN.txt": b"2024-01-31,SBIN,09:15:00,612.5,613,612,612.75,5000,0\n" * 8,
}
TRAILERS = {
    "newline": b"\n",
    "html": b"<!-- served by the backfill script in 0.012 s -->\n",
}


def run(args, cwd=None):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# One fixed time stamp, so that the archives come out the same on every run.
STAMP = 1706692500  # 2024-01-31 09:15 UTC


def write_source(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (STAMP, STAMP))


def source_tree(root):
    for name, data in FILES.items():
        write_source(os.path.join(root, name), data)


def python_zip(path, compression, force_zip64=False, comment=b""):
    with zipfile.ZipFile(path, "w", compression=compression) as z:
        for name, data in FILES.items():
            info = zipfile.ZipInfo(name, (2024, 1, 31, 9, 15, 0))
            info.compress_type = compression
            if force_zip64:
                with z.open(info, "w", force_zip64=True) as f:
                    f.write(data)
            else:
                z.writestr(info, data)
        z.comment = comment


def python_unicode_name(path):
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as z:
        info = zipfile.ZipInfo("Nifty \u20b9 \u0928\u093f\u092b\u094d\u091f\u0940.txt", (2024, 1, 31, 9, 15, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, FILES["NIFTY-I.txt"])


def info_zip(path, src, *options, names=None):
    run(["zip", "-q", "-X", *options, os.path.abspath(path), *(names or sorted(FILES))], cwd=src)


def seven_zip(path, src, method):
    run(["7za", "a", "-tzip", "-mm=" + method, os.path.abspath(path), *sorted(FILES)], cwd=src)


STUB = b"#!/bin/sh\necho this stub unpacks nothing\nexit 0\n" + b"\0" * 64


def behind(path, src, front, adjust):
    """The plain archive behind other bytes; zip -A makes its offsets count from the file's start."""
    plain = path + ".tmp"
    info_zip(plain, src)
    with open(path, "wb") as out, open(plain, "rb") as f:
        out.write(front + f.read())
    os.remove(plain)
    if adjust:
        run(["zip", "-q", "-A", os.path.abspath(path)])


def seven_zip_archive(work):
    folder = os.path.join(work, "other")
    os.makedirs(folder, exist_ok=True)
    write_source(os.path.join(folder, "OTHER.txt"), b"not the zip's file\n")
    target = os.path.join(work, "other.7z")
    if os.path.exists(target):
        os.remove(target)
    run(["7za", "a", "-t7z", target, "OTHER.txt"], cwd=folder)
    with open(target, "rb") as f:
        return f.read()


def zip64_all_fields_saturated(path, src):
    """Zip64 archive whose plain end record holds 0xFFFF/0xFFFFFFFF in every field,
    the disk numbers included, as some writers do once they write the Zip64 records."""
    info_zip(path, src, "-fz")
    with open(path, "rb") as f:
        data = bytearray(f.read())
    end = data.rfind(b"PK\x05\x06")
    data[end + 4:end + 20] = b"\xff" * 16
    with open(path, "wb") as f:
        f.write(data)


# ---- archives whose entries climb out ----------------------------------------------------

def raw_zip(entries):
    """Stored entries: (header name, local name, extra field, data, external attributes, made-by)."""
    out = bytearray()
    central = bytearray()
    for name, local_name, extra, data, attrs, made_by in entries:
        crc = zlib.crc32(data) & 0xFFFFFFFF
        offset = len(out)
        flags = 0x0800 if any(b >= 0x80 for b in local_name) else 0
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, 0, 0, 0x5821, crc, len(data), len(data),
                           len(local_name), len(extra)) + local_name + extra + data
        flags = 0x0800 if any(b >= 0x80 for b in name) else 0
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, made_by, 20, flags, 0, 0, 0x5821, crc,
                               len(data), len(data), len(name), len(extra), 0, 0, 0, attrs, offset) + name + extra
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(out), 0)
    return bytes(out + central + end)


def unicode_path_extra(header_name, real_name):
    """Info-ZIP Unicode Path field (0x7075): version 1, CRC-32 of the header name, the UTF-8 name."""
    body = struct.pack("<BI", 1, zlib.crc32(header_name) & 0xFFFFFFFF) + real_name
    return struct.pack("<HH", 0x7075, len(body)) + body


def plain(name, data=b"payload\n"):
    return (name, name, b"", data, 0, 20)


ESCAPING = {
    "escape_parent.zip": [plain(b"ok.txt"), plain(b"../evil.txt")],
    "escape_deep_parent.zip": [plain(b"ok.txt"), plain(b"a/../../evil.txt")],
    "escape_backslash_parent.zip": [plain(b"ok.txt"), plain(b"..\\evil.txt")],
    "escape_absolute.zip": [plain(b"ok.txt"), plain(b"/tmp/evil.txt")],
    "escape_drive.zip": [plain(b"ok.txt"), plain(b"C:/evil.txt")],
    # The header says a harmless name; the Unicode Path field, which 7-Zip and
    # unzip use instead, climbs out.
    "escape_unicode_path.zip": [
        (b"safe.txt", b"safe.txt", unicode_path_extra(b"safe.txt", b"../evil.txt"), b"payload\n", 0, 20)],
    # Symbolic link made on a Unix host (mode 0120777) pointing out of the folder.
    "escape_symlink.zip": [plain(b"ok.txt"), (b"link", b"link", b"", b"../..", 0o120777 << 16, 0x0314)],
}


def unpacks_inside(path, work):
    """7za x into an empty folder; true when it succeeds, and nothing lands outside it."""
    outer = tempfile.mkdtemp(dir=work)
    inner = os.path.join(outer, "in")
    os.mkdir(inner)
    done = subprocess.run(["7za", "x", "-y", "-snld", "-o" + inner, path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0
    outside = [n for n in os.listdir(outer) if n != "in"]
    if outside:
        sys.exit("%s: 7za wrote %s outside the folder" % (os.path.basename(path), outside))
    got = {}
    for base, _, names in os.walk(inner):
        for n in names:
            got[os.path.relpath(os.path.join(base, n), inner)] = open(os.path.join(base, n), "rb").read()
    shutil.rmtree(outer)
    return done, got


def main():
    os.environ["TZ"] = "UTC"
    corpus = []
    with tempfile.TemporaryDirectory() as work:
        src = os.path.join(work, "src")
        source_tree(src)
        made = os.path.join(work, "made")
        os.mkdir(made)

        def out(name):
            return os.path.join(made, name)

        python_zip(out("python_stored.zip"), zipfile.ZIP_STORED)
        python_zip(out("python_deflate.zip"), zipfile.ZIP_DEFLATED)
        python_zip(out("python_bzip2.zip"), zipfile.ZIP_BZIP2)
        python_zip(out("python_lzma.zip"), zipfile.ZIP_LZMA)
        python_zip(out("python_zip64.zip"), zipfile.ZIP_DEFLATED, force_zip64=True)
        python_zip(out("python_comment.zip"), zipfile.ZIP_DEFLATED, comment=b"NIFTY backfill, 2 files")
        python_unicode_name(out("python_utf8_name.zip"))
        info_zip(out("infozip_plain.zip"), src)
        info_zip(out("infozip_zip64.zip"), src, "-fz")
        info_zip(out("infozip_single_segment.zip"), src, "-s", "10m")
        behind(out("infozip_stub_adjusted.zip"), src, STUB, True)
        # 7-Zip opens a file named .zip as the zip even behind another archive.
        behind(out("7z_then_adjusted_zip.zip"), src, seven_zip_archive(work), True)
        for method in ("Deflate", "Deflate64", "BZip2", "LZMA", "Copy"):
            seven_zip(out("7za_%s.zip" % method.lower()), src, method)
        zip64_all_fields_saturated(out("zip64_saturated_end_record.zip"), src)

        # Info-ZIP stores a name outside ASCII as it finds it on disk (UTF-8 here).
        uni = "Nifty \u20b9.txt"
        write_source(os.path.join(src, uni), FILES["NIFTY-I.txt"])
        info_zip(out("infozip_utf8_bytes_name.zip"), src, names=[uni])
        # An ASCII stand-in in the header and the real name in a Unicode Path
        # field, as Info-ZIP builds with Unicode support write it; 7-Zip names the
        # file after the field.
        with open(out("unicode_path_field.zip"), "wb") as f:
            f.write(raw_zip([(b"Nifty _.txt", b"Nifty _.txt", unicode_path_extra(b"Nifty _.txt", uni.encode()),
                              FILES["NIFTY-I.txt"], 0, 20)]))

        made_names = sorted(os.listdir(made))
        for name in made_names:
            with open(out(name), "rb") as f:
                data = f.read()
            for trailer, tail in TRAILERS.items():
                with open(out(name[:-4] + "_then_" + trailer + ".zip"), "wb") as f:
                    f.write(data + tail)

        for name in sorted(os.listdir(made)):
            done, got = unpacks_inside(out(name), work)
            if not done or not got:
                sys.exit("%s: 7za x did not unpack it" % name)
            if name.startswith("unicode_path_field") and list(got) != [uni]:
                sys.exit("%s: 7za x wrote %s" % (name, list(got)))
            corpus.append((name, "accept"))

        # Offsets that do not count the bytes in front: 7-Zip cannot unpack these.
        behind(out("stub_unadjusted.zip"), src, STUB, False)
        behind(out("7z_then_unadjusted_zip.zip"), src, seven_zip_archive(work), False)
        for name in ("stub_unadjusted.zip", "7z_then_unadjusted_zip.zip"):
            if unpacks_inside(out(name), work)[0]:
                sys.exit("%s: 7za x unpacked it" % name)
            corpus.append((name, "refuse"))

        for name, entries in sorted(ESCAPING.items()):
            with open(out(name), "wb") as f:
                f.write(raw_zip(entries))
            unpacks_inside(out(name), work)  # whatever 7-Zip makes of it, nothing may land outside
            corpus.append((name, "refuse"))

        for old in os.listdir(HERE):
            if old.endswith(".zip"):
                os.remove(os.path.join(HERE, old))
        for name, _ in corpus:
            shutil.copy(out(name), os.path.join(HERE, name))
    with open(os.path.join(HERE, "corpus.txt"), "w") as f:
        f.write("# archive verdict; written by make_corpus.py\n")
        for name, verdict in corpus:
            f.write("%s %s\n" % (name, verdict))
    print("%d archives" % len(corpus))


if __name__ == "__main__":
    main()
