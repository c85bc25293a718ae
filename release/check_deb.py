#!/usr/bin/env python3
"""Checks the Debian package of tessaly-cli on this machine, as an administrator meets it:

  check_deb.py --version V DEB

- its control fields: the package tessaly-cli, version V, this machine's architecture, and
  dependencies that name the libraries the program links (libiscsi, libstdc++, libc), every one
  of them met by what this machine has installed;
- unpacked into a scratch folder (dpkg -x, which installs nothing), the program runs and says
  `tessaly-cli V`; `man -l` renders its manual page, and the page's NAME line is the one the
  manual's index (lexgrog, as mandb reads it) finds;
- the copyright file, and the changelog, whose newest entry is of version V.

Exit status 1, with every fault found named, when anything is wrong.
"""
import argparse
import gzip
import os
import subprocess
import sys
import tempfile

PACKAGE = "tessaly-cli"


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("deb")
    args = parser.parse_args()
    faults = []

    def expect(ok, what):
        if not ok:
            faults.append(what)

    names = ("Package", "Version", "Architecture", "Depends")
    values = run("dpkg-deb", "--field", args.deb, *names, check=True).stdout
    fields = dict(line.split(": ", 1) for line in values.splitlines())
    architecture = run("dpkg", "--print-architecture", check=True).stdout.strip()
    for name, wanted in zip(names, (PACKAGE, args.version, architecture)):
        expect(fields.get(name) == wanted, f"{name}: {fields.get(name)!r}, not {wanted!r}")
    depends = fields.get("Depends", "")
    for library in ("libiscsi", "libstdc++", "libc6"):
        expect(library in depends, f"Depends does not name {library}: {depends!r}")

    with tempfile.TemporaryDirectory() as work:
        # dpkg-checkbuilddeps reads a control file, whatever the relations it is given.
        with open(f"{work}/control", "w") as f:
            f.write(f"Source: {PACKAGE}\n\nPackage: {PACKAGE}\nArchitecture: any\n")
        met = run("dpkg-checkbuilddeps", "-d", depends, "-c", "", f"{work}/control")
        expect(met.returncode == 0, f"Depends not met on this machine: {met.stderr.strip()}")

        root = f"{work}/root"
        subprocess.run(["dpkg", "-x", args.deb, root], check=True)
        try:
            said = run(f"{root}/usr/bin/{PACKAGE}", "--version")
        except OSError as error:
            said = subprocess.CompletedProcess([], 127, "", str(error))
        expect((said.returncode, said.stdout) == (0, f"{PACKAGE} {args.version}\n"),
               f"tessaly-cli --version: exit status {said.returncode}, {said.stdout!r} "
               f"{said.stderr.strip()}")

        page = f"{root}/usr/share/man/man1/{PACKAGE}.1.gz"
        shown = run("man", "-l", page, env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
        top = shown.stdout.splitlines()[:1]
        expect(shown.returncode == 0 and not shown.stderr and top and
               top[0].startswith("TESSALY-CLI(1)"),
               f"man -l: exit status {shown.returncode}, {top}, {shown.stderr.strip()!r}")
        index = run("lexgrog", page).stdout
        expect(f": \"{PACKAGE} - " in index, f"lexgrog finds no NAME line: {index.strip()!r}")

        doc = f"{root}/usr/share/doc/{PACKAGE}"
        expect(os.path.isfile(f"{doc}/copyright"), "no copyright file")
        with gzip.open(f"{doc}/changelog.gz", "rt") as f:
            latest = run("dpkg-parsechangelog", "-l", "-", "-S", "Version", input=f.read())
        expect(latest.stdout.strip() == args.version,
               f"changelog.gz: newest entry {latest.stdout.strip()!r} {latest.stderr.strip()}")

    for fault in faults:
        print(f"{args.deb}: {fault}", file=sys.stderr)
    if not faults:
        print(f"{args.deb}: {fields['Package']} {fields['Version']} {fields['Architecture']}, "
              f"Depends: {depends}; runs, its manual page renders")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
