#!/usr/bin/env python3
"""Checks the release zips as an administrator gets them, from their bytes alone:

  check_release.py --version V ZIP...

each zip holds exactly its entries, in order, each with the one time and permissions 0644; the
two programs are 64-bit Windows programs whose version resource names version V and Tessaly and
whose manifest asks for the execution level each needs, without the common controls 6; the
driver is a native image; the texts have Windows line ends; the notices carry the license texts.
Prints every fault and exits 1 when there is one.
"""
import argparse
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

RT_VERSION, RT_MANIFEST = 16, 24
IMAGE_FILE_MACHINE_AMD64 = 0x8664
SUBSYSTEM = {1: "native", 2: "windows", 3: "console"}

# What each zip holds, in order, and what each entry must be.
CONTENTS = {
    "tessaly-{v}-win64.zip": [
        ("tessaly.exe", ("program", "windows", "requireAdministrator")),
        ("tessaly-cli.exe", ("program", "console", "asInvoker")),
        ("tessaly.chm", ("help",)),
        ("README.txt", ("text",)),
        ("cli.md", ("text",)),
    ],
    "tessaly-standin-{v}-win64.zip": [
        ("vlkpath.sys", ("driver",)),
        ("README.txt", ("text",)),
        ("SETUP.txt", ("text",)),
        ("default-setup.txt", ("text",)),
    ],
}
NOTICES = [("NOTICES.txt", ("text",)), ("licenses/mingw-w64.txt", ("text",)),
           ("licenses/gcc.txt", ("text",)), ("licenses/GPL-3.txt", ("text",))]
# Words each license text must hold: the code it covers is linked into the programs.
LICENSE_WORDS = {
    "licenses/mingw-w64.txt": ["mingw-w64-libraries/winpthreads", "mingw-w64-crt"],
    "licenses/gcc.txt": ["GCC RUNTIME LIBRARY EXCEPTION", "libstdc++"],
    "licenses/GPL-3.txt": ["GNU GENERAL PUBLIC LICENSE", "Version 3"],
}


def pe_image(data):
    """(machine, subsystem, {(type, id): bytes of its first language}) of a PE32+ image."""
    if data[:2] != b"MZ":
        raise ValueError("not an MZ image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    machine, sections = struct.unpack_from("<HH", data, pe + 4)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        raise ValueError("not a PE32+ image")
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    resource_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
    table = optional + optional_size
    spans = [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(sections)]

    def at(rva):
        for virtual_size, address, raw_size, raw in spans:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def entries(offset):
        named, numbered = struct.unpack_from("<HH", data, offset + 12)
        for i in range(named + numbered):
            yield struct.unpack_from("<II", data, offset + 16 + 8 * i)

    resources = {}
    if resource_rva:
        root = at(resource_rva)
        for kind, kind_dir in entries(root):
            for name, name_dir in entries(root + (kind_dir & 0x7FFFFFFF)):
                _, leaf = next(entries(root + (name_dir & 0x7FFFFFFF)))
                rva, size = struct.unpack_from("<II", data, root + leaf)
                resources[(kind, name)] = data[at(rva):at(rva) + size]
    return machine, SUBSYSTEM.get(subsystem, subsystem), resources


def version_blocks(data, pos, end):
    """The blocks of a version resource: (key, value bytes, children) each."""
    while pos + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, pos)
        if length == 0:
            break
        key_end = pos + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[pos + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        value_end = value + value_length * (2 if kind == 1 else 1)
        yield key, data[value:value_end], list(version_blocks(data, (value_end + 3) & ~3,
                                                               pos + length))
        pos = (pos + length + 3) & ~3


def version_info(blob):
    """The file and product versions (four numbers each) and the strings of a version resource."""
    (key, fixed, children), = version_blocks(blob, 0, len(blob))
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if key != "VS_VERSION_INFO" or signature != 0xFEEF04BD:
        raise ValueError("not a version resource")

    def four(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {name: value.decode("utf-16-le").rstrip("\0")
               for block, _, tables in children if block == "StringFileInfo"
               for _, _, entries in tables for name, value, _ in entries}
    return four(file_ms, file_ls), four(product_ms, product_ls), strings


def check_program(name, data, version, subsystem, level):
    machine, kind, resources = pe_image(data)
    faults = []
    if machine != IMAGE_FILE_MACHINE_AMD64 or kind != subsystem:
        faults.append(f"machine {machine:#x}, subsystem {kind}: not a 64-bit {subsystem} program")
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    if (RT_VERSION, 1) not in resources:
        faults.append("no version resource")
    else:
        file_version, product_version, strings = version_info(resources[(RT_VERSION, 1)])
        if file_version != numbers or product_version != numbers:
            faults.append(f"file version {file_version}, product version {product_version}")
        for key, expected in [("FileVersion", version), ("ProductVersion", version),
                              ("ProductName", "Tessaly"), ("OriginalFilename", name)]:
            if strings.get(key) != expected:
                faults.append(f"{key} {strings.get(key)!r}, not {expected!r}")
    if (RT_MANIFEST, 1) not in resources:
        return faults + ["no manifest (RT_MANIFEST 1)"]
    manifest = resources[(RT_MANIFEST, 1)].decode("utf-8")
    levels = [e.get("level") for e in ElementTree.fromstring(manifest).iter()
              if e.tag.endswith("}requestedExecutionLevel")]
    if levels != [level]:
        faults.append(f"requestedExecutionLevel {levels}, not [{level!r}]")
    if "Microsoft.Windows.Common-Controls" in manifest:
        faults.append("the manifest asks for the common controls 6")
    if "supportedOS" not in manifest:
        faults.append("the manifest names no supported Windows")
    return faults


def check_entry(name, data, version, what):
    kind = what[0]
    if kind == "program":
        return check_program(name, data, version, *what[1:])
    if kind == "driver":
        machine, subsystem, _ = pe_image(data)
        return [] if (machine, subsystem) == (IMAGE_FILE_MACHINE_AMD64, "native") else [
            f"machine {machine:#x}, subsystem {subsystem}: not a 64-bit kernel driver"]
    if kind == "help":
        return [] if data[:4] == b"ITSF" else ["not a compiled HTML Help file"]
    faults = [] if re.search(rb"(?<!\r)\n", data) is None else ["a line ends without CR"]
    words = [w for w in LICENSE_WORDS.get(name, []) if w.encode() not in data]
    return faults + [f"no {w!r} in it" for w in words]


def check_zip(path, version):
    base = path.rsplit("/", 1)[-1]
    expected = next((e for pattern, e in CONTENTS.items() if pattern.format(v=version) == base),
                    None)
    if expected is None:
        return [f"{base}: not a release file of version {version}"]
    expected = expected + NOTICES
    faults = []
    with zipfile.ZipFile(path) as archive:
        infos = archive.infolist()
        names = [i.filename for i in infos]
        if names != [name for name, _ in expected]:
            faults.append(f"entries {names}, not {[name for name, _ in expected]}")
        for info in infos:
            if (info.date_time, info.external_attr, info.create_system) != (
                    infos[0].date_time, 0o100644 << 16, 3):
                faults.append(f"{info.filename}: time {info.date_time}, attributes "
                              f"{info.external_attr >> 16:o}, not those of the other entries")
        for name, what in expected:
            if name in names:
                faults += [f"{name}: {f}" for f in check_entry(name, archive.read(name),
                                                                version, what)]
    return [f"{base}: {f}" for f in faults]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("zips", nargs="+")
    args = parser.parse_args()
    faults = [f for path in args.zips for f in check_zip(path, args.version)]
    for fault in faults:
        print(fault)
    if not faults:
        print(f"{len(args.zips)} zips of version {args.version}: as they should be")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
