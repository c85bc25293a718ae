#!/usr/bin/env python3
"""Writes the zips of a Tessaly release for 64-bit Windows from the files the build made.

  package.py --version V --source DIR --tessaly EXE --cli EXE --help-file CHM --driver SYS --out DIR

writes DIR/tessaly-V-win64.zip (the two programs, the help file, the manual of tessaly-cli, a
read-me and the third-party notices) and DIR/tessaly-standin-V-win64.zip (the stand-in driver, its
install and set-up notes, the default set-up text and the notices).

The zips depend on nothing but their contents: every entry carries the time SOURCE_DATE_EPOCH
(else the time of the last commit of the source tree), permissions 0644 and deflate level 9, in
the order of the tables below. Text files get Windows line ends.

  package.py default-setup DEFAULT_SETUP_H

prints the default set-up text of the stand-in driver, read from the C++ string literal in
sim/config/DefaultSetup.h (its only copy).
"""
import argparse
import os
import re
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))

# The Debian packages whose code the programs link (the MinGW-w64 runtime, winpthreads, the
# import libraries; libstdc++ and libgcc), and where their license texts are installed.
MINGW_PACKAGE = "mingw-w64-x86-64-dev"
GCC_PACKAGE = "gcc-mingw-w64-x86-64-posix"
LICENSES = [
    ("licenses/mingw-w64.txt", f"/usr/share/doc/{MINGW_PACKAGE}/copyright"),
    ("licenses/gcc.txt", f"/usr/share/doc/{GCC_PACKAGE}/copyright"),
    ("licenses/GPL-3.txt", "/usr/share/common-licenses/GPL-3"),
]


def text(data):
    """A text for Windows: CR LF line ends."""
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def template(path, values):
    data = read(path).decode()
    for key, value in values.items():
        data = data.replace(f"@{key}@", value)
    left = re.search(r"@[A-Z_]+@", data)
    if left:
        sys.exit(f"{path}: no value for {left.group(0)}")
    return data.encode()


def default_setup(header_path):
    """The text of kDefaultSetupText: its adjacent string literals, joined and unescaped."""
    literal = r'"(?:[^"\\\n]|\\.)*"'
    source = read(header_path).decode()
    body = re.search(r"kDefaultSetupText\[\] =\s*((?:" + literal + r"\s*)+);", source).group(1)
    escapes = {"n": "\n", "t": "\t", '"': '"', "\\": "\\"}
    return "".join(re.sub(r"\\(.)", lambda m: escapes[m.group(1)], part[1:-1])
                   for part in re.findall(literal, body)).encode()


def markdown_section(path, heading):
    """The section of a Markdown file from `heading` up to the next heading of its level."""
    lines = read(path).decode().splitlines(keepends=True)
    level = heading.split(" ")[0]
    start = lines.index(heading + "\n")
    end = next((i for i in range(start + 1, len(lines))
                if lines[i].startswith(level + " ")), len(lines))
    return "".join(lines[start:end]).rstrip("\n").encode() + b"\n"


def package_version(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], check=True,
                          capture_output=True, text=True).stdout


def source_epoch(source):
    if "SOURCE_DATE_EPOCH" in os.environ:
        return int(os.environ["SOURCE_DATE_EPOCH"])
    last_commit = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                                 capture_output=True, text=True)
    if last_commit.returncode == 0 and last_commit.stdout.strip():
        return int(last_commit.stdout)
    return 315532800  # 1980-01-01, the earliest time a zip entry can hold


def write_zip(path, entries, epoch):
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(path + ".part", "w") as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=9)
    os.replace(path + ".part", path)


def main():
    if sys.argv[1:2] == ["default-setup"]:
        sys.stdout.buffer.write(default_setup(sys.argv[2]))
        return
    parser = argparse.ArgumentParser()
    for option in ("version", "source", "tessaly", "cli", "help-file", "driver", "out"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    src = args.source
    values = {"VERSION": args.version,
              "MINGW_PACKAGE": MINGW_PACKAGE, "MINGW_VERSION": package_version(MINGW_PACKAGE),
              "GCC_PACKAGE": GCC_PACKAGE, "GCC_VERSION": package_version(GCC_PACKAGE)}
    notices = [("NOTICES.txt", text(template(f"{HERE}/NOTICES.txt", values)))]
    notices += [(name, text(read(path))) for name, path in LICENSES]

    programs = [
        ("tessaly.exe", read(args.tessaly)),
        ("tessaly-cli.exe", read(args.cli)),
        ("tessaly.chm", read(args.help_file)),
        ("README.txt", text(template(f"{HERE}/windows/README.txt", values))),
        ("cli.md", text(read(f"{src}/docs/cli.md"))),
    ] + notices
    standin = [
        ("vlkpath.sys", read(args.driver)),
        ("README.txt", text(template(f"{HERE}/standin/README.txt", values))),
        ("SETUP.txt", text(template(f"{HERE}/standin/SETUP.txt", values) + b"\n" +
                           markdown_section(f"{src}/sim/driver/README.md", "## The set-up text"))),
        ("default-setup.txt", text(default_setup(f"{src}/sim/config/DefaultSetup.h"))),
    ] + notices

    epoch = source_epoch(src)
    os.makedirs(args.out, exist_ok=True)
    write_zip(f"{args.out}/tessaly-{args.version}-win64.zip", programs, epoch)
    write_zip(f"{args.out}/tessaly-standin-{args.version}-win64.zip", standin, epoch)


if __name__ == "__main__":
    main()
