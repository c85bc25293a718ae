#!/usr/bin/env python3
"""Makes the context-id table of a .chm point at pages inside the file.

chmcmd writes the page of each [MAP]/[ALIAS] context id into /#STRINGS as the page's path on the
build machine ("/home/.../help/main.html") instead of the path inside the .chm ("/main.html"), so
HtmlHelp's HH_HELP_CONTEXT finds the id but then opens a page that is not there. This rewrites
/#STRINGS with every occurrence of the build folder prefix turned into "/", each string padded
with NULs so that every offset /#IVB holds into /#STRINGS stays valid, appends the new copy to the
uncompressed section 0, and points the directory entry of /#STRINGS at it.

  relocate_context_urls.py CHMLS CHM BUILD_FOLDER

CHMLS is Free Pascal's chmls, which reads the compressed /#STRINGS out of CHM.

chmcmd also dates the file with the millisecond of the day it ran, in the ITSF header (big-endian)
and in the first entry of /#SYSTEM (code 10). With SOURCE_DATE_EPOCH set, both take the
millisecond of the day of that time instead, so that a rebuild gives the same file.
"""
import os
import struct
import subprocess
import sys
import tempfile


def read_encint(data, pos):
    value = 0
    while True:
        byte = data[pos]
        pos += 1
        value = (value << 7) | (byte & 0x7F)
        if byte < 0x80:
            return value, pos


def encint(value, width):
    """`value` as an ENCINT of exactly `width` bytes (leading zero groups are legal)."""
    groups = []
    while True:
        groups.append(value & 0x7F)
        value >>= 7
        if value == 0:
            break
    if len(groups) > width:
        raise ValueError("value does not fit the entry in place")
    groups += [0] * (width - len(groups))
    groups.reverse()
    return bytes(g | 0x80 for g in groups[:-1]) + bytes([groups[-1]])


def relocated_strings(strings, folder):
    prefixes = {f.rstrip("/").encode() + b"/" for f in (folder, os.path.realpath(folder))}
    out = bytearray()
    items = strings.split(b"\0")
    if strings.endswith(b"\0"):
        items = items[:-1]
    for item in items:
        fixed = item
        for prefix in prefixes:
            if item.startswith(prefix):
                fixed = b"/" + item[len(prefix):]
        out += fixed + bytes(len(item) - len(fixed)) + b"\0"
    out += bytes(len(strings) - len(out))
    assert len(out) == len(strings)
    return bytes(out)


def extract_strings(chmls, chm_path):
    with tempfile.TemporaryDirectory() as work:
        dump = os.path.join(work, "strings.bin")
        subprocess.run([chmls, "extract", os.path.abspath(chm_path), "/#STRINGS", dump],
                       check=True, stdout=subprocess.DEVNULL, cwd=work)
        with open(dump, "rb") as f:
            return f.read()


def directory(chm, dir_offset):
    """Each file of the directory: name -> (where its entry's fields begin, section, offset,
    length)."""
    header_length, _, chunk_size = struct.unpack_from("<III", chm, dir_offset + 8)
    chunk_count = struct.unpack_from("<I", chm, dir_offset + 0x2C)[0]
    files = {}
    for chunk in range(chunk_count):
        base = dir_offset + header_length + chunk * chunk_size
        if chm[base:base + 4] != b"PMGL":
            continue
        free = struct.unpack_from("<I", chm, base + 4)[0]
        pos, end = base + 0x14, base + chunk_size - free
        while pos < end:
            name_length, pos = read_encint(chm, pos)
            name = bytes(chm[pos:pos + name_length])
            pos += name_length
            fields = pos
            section, pos = read_encint(chm, pos)
            offset, pos = read_encint(chm, pos)
            length, pos = read_encint(chm, pos)
            files[name] = (fields, section, offset, length)
    return files


def date(chm, system_offset, epoch):
    millisecond = epoch % 86400 * 1000
    struct.pack_into(">I", chm, 0x10, millisecond)
    if struct.unpack_from("<HH", chm, system_offset + 4) != (10, 4):
        sys.exit("/#SYSTEM does not begin with its time")
    struct.pack_into("<I", chm, system_offset + 8, millisecond)


def main(chmls, chm_path, folder):
    strings = extract_strings(chmls, chm_path)
    chm = bytearray(open(chm_path, "rb").read())
    if chm[:4] != b"ITSF" or struct.unpack_from("<I", chm, 4)[0] != 3:
        sys.exit("not a version 3 ITSF file: " + chm_path)
    hs0_offset, _, dir_offset, _ = struct.unpack_from("<QQQQ", chm, 0x38)
    content0 = struct.unpack_from("<Q", chm, 0x58)[0]
    if chm[dir_offset:dir_offset + 4] != b"ITSP":
        sys.exit("no directory header")
    files = directory(chm, dir_offset)
    if b"/#STRINGS" not in files or b"/#SYSTEM" not in files:
        sys.exit("no /#STRINGS or /#SYSTEM in " + chm_path)
    fields, _, _, length = files[b"/#STRINGS"]
    if length != len(strings):
        sys.exit("the dump does not match /#STRINGS of " + chm_path)
    # The entry is rewritten in place, each number in its old width: section 0, and the offset of
    # the new copy, which goes at the end of section 0.
    _, offset_at = read_encint(chm, fields)
    _, length_at = read_encint(chm, offset_at)
    chm[fields:offset_at] = encint(0, offset_at - fields)
    chm[offset_at:length_at] = encint(len(chm) - content0, length_at - offset_at)
    chm += relocated_strings(strings, folder)
    # The file size that header section 0 records.
    struct.pack_into("<Q", chm, hs0_offset + 8, len(chm))
    if "SOURCE_DATE_EPOCH" in os.environ:
        date(chm, content0 + files[b"/#SYSTEM"][2], int(os.environ["SOURCE_DATE_EPOCH"]))
    open(chm_path, "wb").write(chm)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
