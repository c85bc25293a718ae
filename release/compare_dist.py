#!/usr/bin/env python3
"""Compares two release folders file by file:

  compare_dist.py DIR_A DIR_B

and says for each file whether the two are the same bytes; where they are not, where they part:
for a zip, which entry (its name, its time or attributes, or the first offset at which its
contents differ), else the first differing offset of the file. Exit status 1 when anything
differs or is missing on one side.
"""
import hashlib
import os
import sys
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
        if name.endswith(".zip"):
            for line in zip_difference(path_a, path_b) or ["every entry is the same"]:
                print(f"  {line}")
    return 1 if differ or not names else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
