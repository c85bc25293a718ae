#!/usr/bin/env python3
"""Compares two release folders file by file:

  compare_dist.py DIR_A DIR_B

and says for each file whether the two are the same bytes; where they are not, where they part:
for a zip, which entry (its name, its time or attributes, or the first offset at which its
contents differ), for a Debian package, which file of its control or data archive (its name, its
owner, mode or time, or the first offset at which its contents differ), else the first differing
offset of the file. Exit status 1 when anything
differs or is missing on one side.
"""
import hashlib
import io
import os
import subprocess
import sys
import tarfile
import zipfile


def first_difference(a, b):
    for offset, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"first difference at offset {offset} ({x:#04x} against {y:#04x})"
    return f"one is a prefix of the other ({len(a)} against {len(b)} bytes)"


def zip_difference(path_a, path_b):
    with zipfile.ZipFile(path_a) as za, zipfile.ZipFile(path_b) as zb:
        names_a, names_b = za.namelist(), zb.namelist()
        if names_a != names_b:
            return [f"entries {names_a} against {names_b}"]
        found = []
        for ia, ib in zip(za.infolist(), zb.infolist()):
            meta_a, meta_b = (
                f"time {i.date_time}, mode {i.external_attr >> 16:o}, system {i.create_system}, "
                f"method {i.compress_type}" for i in (ia, ib))
            if meta_a != meta_b:
                found.append(f"entry {ia.filename}: {meta_a} against {meta_b}")
            data_a, data_b = za.read(ia), zb.read(ib)
            if data_a != data_b:
                found.append(f"entry {ia.filename}: {first_difference(data_a, data_b)}")
        return found


def deb_members(path):
    """The control and data archives of a Debian package: {(archive, name): (metadata, bytes)}."""
    members = {}
    for archive in ("--ctrl-tarfile", "--fsys-tarfile"):
        tar = subprocess.run(["dpkg-deb", archive, path], capture_output=True, check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(tar)) as entries:
            for entry in entries:
                data = entries.extractfile(entry).read() if entry.isfile() else b""
                meta = (f"owner {entry.uname or entry.uid}:{entry.gname or entry.gid}, "
                        f"mode {entry.mode:o}, time {entry.mtime}, type {entry.type.decode()}")
                members[(archive.strip("-").split("-")[0], entry.name)] = (meta, data)
    return members


def deb_difference(path_a, path_b):
    a, b = deb_members(path_a), deb_members(path_b)
    if list(a) != list(b):
        return [f"files {list(a)} against {list(b)}"]
    found = []
    for key, (meta_a, data_a) in a.items():
        meta_b, data_b = b[key]
        where = f"{key[0]} {key[1]}"
        if meta_a != meta_b:
            found.append(f"{where}: {meta_a} against {meta_b}")
        if data_a != data_b:
            found.append(f"{where}: {first_difference(data_a, data_b)}")
    return found


def main(dir_a, dir_b):
    names = sorted(set(os.listdir(dir_a)) | set(os.listdir(dir_b)))
    differ = False
    for name in names:
        path_a, path_b = os.path.join(dir_a, name), os.path.join(dir_b, name)
        if not (os.path.isfile(path_a) and os.path.isfile(path_b)):
            print(f"{name}: only in {dir_a if os.path.isfile(path_a) else dir_b}")
            differ = True
            continue
        data_a, data_b = open(path_a, "rb").read(), open(path_b, "rb").read()
        if data_a == data_b:
            print(f"{name}: same ({len(data_a)} bytes, sha256 "
                  f"{hashlib.sha256(data_a).hexdigest()})")
            continue
        differ = True
        print(f"{name}: DIFFERS, {first_difference(data_a, data_b)}")
        explain = {".zip": zip_difference, ".deb": deb_difference}.get(os.path.splitext(name)[1])
        if explain:
            for line in explain(path_a, path_b) or ["every entry is the same"]:
                print(f"  {line}")
    return 1 if differ or not names else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
