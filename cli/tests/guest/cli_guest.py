#!/usr/bin/env python3
"""End to end on Linux: the native tessaly-cli in a guest under QEMU (testing/guest/run-guest.sh)
whose disks are tgt LUNs, disk A reached by two iSCSI sessions (two I_T nexuses) under a
dm-multipath map. In the guest it reads and changes reservations through SG_IO on /dev/sdX,
/dev/sgN and the map, and registers on both of the map's paths with --all-paths; then, on the host,
another initiator over iSCSI sees exactly that.

  cli_guest.py --cli PATH --workdir DIR --port BASE      (exit 77 where the guest cannot run)
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

CHECK = r"""
C=@CLI@
step() { echo "== $1"; shift; "$C" "$@" 2>&1; echo "rc=$?"; }
step keys-sd keys $TESSALY_GUEST_A_SD1
step register-one-path register $TESSALY_GUEST_A_MAP --key NODE-G01
step register-all register $TESSALY_GUEST_A_MAP --all-paths --key NODE-G01
step keys-sg keys $TESSALY_GUEST_A_SG2
step reserve-map reserve $TESSALY_GUEST_A_MAP --type we-ro --key NODE-G01
step scan-map scan $TESSALY_GUEST_A_MAP --key NODE-G01
step reservation-path reservation $TESSALY_GUEST_A_MAP --path ${TESSALY_GUEST_A_SD2#/dev/}
step no-such-path keys $TESSALY_GUEST_A_MAP --path sdz
step register-b register $TESSALY_GUEST_B_SG --key NODE-G02
step not-scsi keys /dev/null
"""

AFTER = ('"$TESSALY_CLI" --initiator-name iqn.2026-12.org.tessaly:host-b --json scan '
         '"iscsi://$TESSALY_GUEST_PORTAL/$TESSALY_GUEST_TARGET/$TESSALY_GUEST_LUN_A,'
         '$TESSALY_GUEST_LUN_B"')


def steps(out):
    """The guest's steps by name: (output, exit status)."""
    found = {}
    for name, body, status in re.findall(r"== (\S+)\n(.*?)rc=(\d+)\n", out, flags=re.S):
        found[name] = (body, int(status))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--port", required=True)
    options = parser.parse_args()
    root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
    with tempfile.NamedTemporaryFile("w", suffix=".sh", dir=options.workdir, delete=False) as f:
        f.write(CHECK.replace("@CLI@", options.cli))
    env = dict(os.environ, TESSALY_CLI=options.cli)
    result = subprocess.run(
        [os.path.join(root, "testing", "guest", "run-guest.sh"), "--copy", options.cli,
         "--workdir", options.workdir, "--port", options.port, "--after", AFTER, f.name],
        env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600)
    os.unlink(f.name)
    if result.returncode == 77:
        print(result.stdout + result.stderr)
        return 77
    out = result.stdout
    found = steps(out)
    expected = {
        "keys-sd": (0, "no registered keys"),
        "register-one-path": (1, "a map's paths are registered each"),
        "register-all": (0, "on every path"),
        "keys-sg": (0, "registered keys: 2"),
        "reserve-map": (0, "RESERVE Write Exclusive - Registrants Only (5h): GOOD"),
        "scan-map": (0, "this host's key on an unknown number of its 2 paths"),
        "reservation-path": (0, 'holder: 0x4E4F44452D473031 "NODE-G01"'),
        "no-such-path": (15, "has no path sdz"),
        "register-b": (0, "REGISTER"),
        "not-scsi": (15, "/dev/null"),
    }
    failures = []
    for name, (status, text) in expected.items():
        body, ran = found.get(name, ("(not run)", None))
        if ran != status or text not in body:
            failures.append(f"{name}: expected {status} and {text!r}, got {ran}:\n{body}")
    # The other host, over iSCSI after the guest powered off: both paths' registrations and the
    # reservation on disk A, disk B's one registration.
    document = out[out.index("{"):] if "{" in out else ""
    if '"text": "NODE-G01"' not in document or document.count('"NODE-G01"') < 3 or \
            '"type": 5' not in document or '"NODE-G02"' not in document:
        failures.append("the host side did not see the guest's registrations:\n" + document)
    if failures or result.returncode != 0:
        print(out + result.stderr)
        print("\n".join(failures))
        return 1
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
