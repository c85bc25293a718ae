#!/usr/bin/env python3
"""Writes the Debian package of the native tessaly-cli from the program the build made:

  package_deb.py --version V --architecture ARCH --source DIR --cli PROGRAM --strip STRIP
                 --copyright TEXT --out DIR

writes DIR/tessaly-cli_V_ARCH.deb, which installs
  /usr/bin/tessaly-cli                          the program, stripped as Debian strips programs
  /usr/share/man/man1/tessaly-cli.1.gz          its manual page, made from docs/cli.md
  /usr/share/doc/tessaly-cli/copyright          release/debian/copyright.in
  /usr/share/doc/tessaly-cli/changelog.gz       release/debian/changelog
and whose control file is release/debian/control.in, with the libraries the program needs, as
dpkg-shlibdeps finds them, for Depends.

The package depends on nothing but its contents and the Debian packages that build it: every
file and folder is dated SOURCE_DATE_EPOCH (else the time of the last commit of DIR) and has mode
0755 or 0644 whatever the umask, the owner is root, the gzip files carry no name or time, and
dpkg-deb compresses with one thread.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import manpage  # noqa: E402
from package import read, source_epoch  # noqa: E402

PACKAGE = "tessaly-cli"


def fill(text, values):
    for key, value in values.items():
        text = text.replace(f"@{key}@", value)
    left = re.search(r"@[A-Z_]+@", text)
    if left:
        sys.exit(f"package_deb.py: no value for {left.group(0)}")
    return text


def gzip_n(data):
    """gzip -9n: no name, no time."""
    return subprocess.run(["gzip", "-9n"], input=data, capture_output=True, check=True).stdout


def changelog(version):
    """The changelog, whose newest entry must be of this version."""
    data = read(f"{HERE}/debian/changelog")
    top = re.match(rb"(\S+) \(([^)]+)\)", data)
    if not top or top.group(1).decode() != PACKAGE or top.group(2).decode() != version:
        sys.exit(f"package_deb.py: the newest entry of release/debian/changelog is not "
                 f"{PACKAGE} ({version}): add one for this version")
    return data


def depends(work, program):
    """What dpkg-shlibdeps makes of the libraries the program links."""
    os.makedirs(f"{work}/debian", exist_ok=True)
    with open(f"{work}/debian/control", "w") as f:
        f.write(f"Source: {PACKAGE}\n\nPackage: {PACKAGE}\nArchitecture: any\n")
    out = subprocess.run(["dpkg-shlibdeps", "-O", os.path.relpath(program, work)], cwd=work,
                         stdout=subprocess.PIPE, text=True, check=True).stdout
    found = re.search(r"^shlibs:Depends=(.*)$", out, re.M)
    if not found:
        sys.exit("package_deb.py: dpkg-shlibdeps found no libraries")
    return found.group(1)


def main():
    parser = argparse.ArgumentParser()
    for option in ("version", "architecture", "source", "cli", "strip", "copyright", "out"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    epoch = source_epoch(args.source)
    control = read(f"{HERE}/debian/control.in").decode()
    summary = re.search(r"^Description: (.*)$", control, re.M).group(1)
    page = manpage.render(read(f"{args.source}/docs/cli.md").decode(), PACKAGE, "1", summary,
                          args.version, time.strftime("%Y-%m-%d", time.gmtime(epoch)))
    texts = {
        f"usr/share/man/man1/{PACKAGE}.1.gz": gzip_n(page.encode()),
        f"usr/share/doc/{PACKAGE}/copyright":
            fill(read(f"{HERE}/debian/copyright.in").decode(),
                 {"COPYRIGHT": args.copyright}).encode(),
        f"usr/share/doc/{PACKAGE}/changelog.gz": gzip_n(changelog(args.version)),
    }

    with tempfile.TemporaryDirectory() as work:
        root = f"{work}/debian/{PACKAGE}"
        program = f"{root}/usr/bin/{PACKAGE}"
        os.makedirs(os.path.dirname(program))
        shutil.copyfile(args.cli, program)
        subprocess.run([args.strip, "--remove-section=.comment", "--remove-section=.note",
                        program], check=True)
        os.chmod(program, 0o755)
        for name, data in texts.items():
            os.makedirs(os.path.dirname(f"{root}/{name}"), exist_ok=True)
            with open(f"{root}/{name}", "wb") as f:
                f.write(data)
            os.chmod(f"{root}/{name}", 0o644)

        files, size = [], 0
        for folder, dirs, names in os.walk(root):
            os.chmod(folder, 0o755)
            size += 1
            for name in names:
                path = os.path.join(folder, name)
                files.append(os.path.relpath(path, root))
                size += (os.path.getsize(path) + 1023) // 1024
        os.makedirs(f"{root}/DEBIAN")
        meta = {
            "control": fill(control, {
                "VERSION": args.version, "ARCHITECTURE": args.architecture,
                "INSTALLED_SIZE": str(size), "DEPENDS": depends(work, program)}).encode(),
            "md5sums": "".join(f"{hashlib.md5(read(f'{root}/{name}')).hexdigest()}  {name}\n"
                               for name in sorted(files)).encode(),
        }
        for name, data in meta.items():
            with open(f"{root}/DEBIAN/{name}", "wb") as f:
                f.write(data)
            os.chmod(f"{root}/DEBIAN/{name}", 0o644)
        os.chmod(f"{root}/DEBIAN", 0o755)
        for folder, dirs, names in os.walk(root):
            for path in [folder] + [os.path.join(folder, name) for name in names]:
                os.utime(path, (epoch, epoch))

        os.makedirs(args.out, exist_ok=True)
        deb = f"{args.out}/{PACKAGE}_{args.version}_{args.architecture}.deb"
        subprocess.run(["dpkg-deb", "--root-owner-group", "-Zxz", "--threads-max=1", "--build",
                        root, deb + ".part"], check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, SOURCE_DATE_EPOCH=str(epoch)))
        os.replace(deb + ".part", deb)


if __name__ == "__main__":
    main()
