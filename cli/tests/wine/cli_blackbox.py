#!/usr/bin/env python3
"""Black-box tests of tessaly-cli.exe: the real program under Wine against the stand-in driver
(vlkpath.sys), each group of cases on disks set up for it, checking what a script sees: the
output, the JSON document and the exit status.

  cli_blackbox.py --exe PATH/tessaly-cli.exe --prefix WINEPREFIX [unittest arguments]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
OPTIONS = argparse.Namespace(exe=None, prefix=None)

TESSALY1 = '0x54455353414C5931 "TESSALY1"'
NODE_B01 = '0x4E4F44452D423031 "NODE-B01"'
NODE_C03 = '0x4E4F44452D433033 "NODE-C03"'


def wine_environment():
    env = dict(os.environ)
    env.update(WINEPREFIX=OPTIONS.prefix, WINEARCH="win64", WINEDEBUG="-all", LANG="C.UTF-8",
               WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
    return env


def prepare(setup=None):
    """Restarts the stand-in driver in the prefix on the given set-up text (default disks: None)."""
    command = [os.path.join(ROOT, "scripts", "vlkpath-prefix.sh")]
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write(setup or "")
    try:
        if setup is not None:
            command += ["--setup", f.name]
        result = subprocess.run(command + [OPTIONS.prefix], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=180)
        if result.returncode != 0:
            raise RuntimeError("could not start the driver:\n" + result.stderr)
    finally:
        os.unlink(f.name)


def cli(*arguments):
    """Runs tessaly-cli.exe; returns (exit status, standard output, standard error)."""
    result = subprocess.run(["wine", OPTIONS.exe, *arguments], env=wine_environment(),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    text = lambda b: b.decode("latin-1").replace("\r\n", "\n")
    return result.returncode, text(result.stdout), text(result.stderr)


class DefaultDisks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        prepare()

    def test_keys_and_reservation(self):
        status, out, err = cli("keys", "1-2", "--path", "1")
        self.assertEqual(status, 0, err)
        self.assertEqual(out, "device 1, path 1: READ KEYS\n"
                              "  generation: 0x00000000\n"
                              "  registered keys: 2\n"
                              f"  key: {TESSALY1}\n"
                              f"  key: {TESSALY1}\n"
                              "device 2, path 1: READ KEYS\n"
                              "  generation: 0x00000000\n"
                              "  registered keys: 2\n"
                              f"  key: {NODE_B01}\n"
                              f"  key: {TESSALY1}\n")
        status, out, _ = cli("reservation", "2", "--path", "0")
        self.assertEqual(status, 0)
        self.assertEqual(out, "device 2, path 0: READ RESERVATION\n"
                              "  generation: 0x00000000\n"
                              f"  holder: {NODE_B01}\n"
                              "  scope: logical unit\n"
                              "  type: Exclusive Access - Registrants Only (6h)\n")

    def test_json_holds_every_device_and_the_first_failure(self):
        status, out, err = cli("--json", "scan", "0-7", "--path", "0")
        self.assertEqual(status, 15)
        self.assertEqual(err, "")
        document = json.loads(out)
        self.assertEqual(document["exit_status"], 15)
        self.assertEqual([d["device"] for d in document["devices"]], list(range(8)))
        self.assertEqual([d["exit_status"] for d in document["devices"]],
                         [0, 0, 0, 15, 0, 0, 0, 0])
        dead = document["devices"][7]
        self.assertEqual(dead["facts"]["reservation"]["text"], "NODE-C03")
        self.assertEqual(dead["commands"][0]["service_action"], "READ FULL STATUS")
        self.assertEqual(document["devices"][3]["commands"][0]["error"], 55)

    def test_conflict_missing_device_and_syntax(self):
        status, out, _ = cli("reserve", "2", "--path", "0", "--type", "ea-ro")
        self.assertEqual((status, out), (24, "device 2, path 0: RESERVE Exclusive Access - "
                                             "Registrants Only (6h): RESERVATION CONFLICT\n"))
        status, out, _ = cli("keys", "3", "--path", "0")
        self.assertEqual(status, 15)
        self.assertIn("device 3, path 0: READ KEYS failed: the device or its path does not exist "
                      "(error 55", out)
        status, out, err = cli("keys", "0-101", "--path", "0")
        self.assertEqual((status, out), (1, ""))
        self.assertIn("'0-101'", err)


class UnitAttentions(unittest.TestCase):
    def test_retried_then_one_left_over(self):
        prepare("device 0 paths 0,1 unit-attentions\n"
                "device 0 path 0,1 key \"TESSALY1\"\n")
        # A CLEAR from path 0 leaves RESERVATIONS PREEMPTED waiting for path 1.
        self.assertEqual(cli("clear", "0", "--path", "0")[0], 0)
        status, out, err = cli("keys", "0", "--path", "1")
        self.assertEqual(status, 0, out)
        self.assertIn("no registered keys", out)
        self.assertEqual(err, "tessaly-cli: device 0, path 1: READ KEYS: CHECK CONDITION: UNIT "
                              "ATTENTION, RESERVATIONS PREEMPTED (2Ah/03h); sent again (retry 1 "
                              "of 3)\n")
        for path in ("0", "1"):
            self.assertEqual(cli("register", "0", "--path", path)[0], 0)
        self.assertEqual(cli("clear", "0", "--path", "0")[0], 0)
        status, out, _ = cli("--retries", "0", "keys", "0", "--path", "1")
        self.assertEqual(status, 6)
        self.assertIn("UNIT ATTENTION, RESERVATIONS PREEMPTED", out)


GROUP_SETUP = """
# 0: held under this host's key; 1: under another host's; 2 absent; 3 free;
# 4: held under this host's key while this host's path is registered under another key.
device 0 paths 0
device 0 foreign 0 key "TESSALY1" reserve 6
device 1 paths 0
device 1 foreign 1 key "NODE-B01" reserve 6
device 3 paths 0
device 4 paths 0
device 4 path 0 key "OLD-KEY1"
device 4 foreign 2 key "TESSALY1" reserve 6
"""


class GroupClear(unittest.TestCase):
    def test_plan_then_clear_and_verify(self):
        prepare(GROUP_SETUP)
        status, out, err = cli("group-clear", "0-4", "--path", "0")
        self.assertEqual(status, 15)
        self.assertEqual(out.splitlines()[:2], [
            f"device 0, path 0: would clear: held by {TESSALY1} (this host's key)",
            f"device 1, path 0: would not clear: held by {NODE_B01} (key not ours: its CLEAR "
            "would be refused)"])
        self.assertIn("nothing was changed", err)
        self.assertIn(f"holder: {TESSALY1}", cli("reservation", "0", "--path", "0")[1])

        status, out, _ = cli("--json", "group-clear", "0-4", "--path", "0", "--yes")
        self.assertEqual(status, 24, out)
        devices = json.loads(out)["devices"]
        self.assertEqual([(d["summary"], d["exit_status"]) for d in devices], [
            ("cleared", 0),
            (f"left held by {NODE_B01} (key not ours)", 24),
            ("failed: the device or its path does not exist (error 55: Device does not exist.)",
             15),
            ("nothing held", 0),
            (f"left held by {TESSALY1}", 24),
        ])
        self.assertEqual([c["service_action"] for c in devices[0]["commands"]],
                         ["READ RESERVATION", "REGISTER", "CLEAR", "READ RESERVATION"])
        self.assertEqual(devices[0]["commands"][2]["parameter_list"],
                         "54 45 53 53 41 4C 59 31 54 45 53 53 41 4C 59 31" + " 00" * 8)
        self.assertIn("no reservation", cli("reservation", "0", "--path", "0")[1])


FENCE_SETUP = """
# 0: the dead node NODE-C03 holds it on three initiators; 1: it is not registered;
# 2: it is registered but another node holds the reservation; 3 absent.
device 0 paths 0,1
device 0 foreign 5-7 key "NODE-C03" reserve 6
device 0 path 0 key "TESSALY1"
device 1 paths 0
device 1 foreign 1 key "NODE-B01" reserve 5
device 2 paths 0
device 2 foreign 1 key "NODE-B01" reserve 5
device 2 foreign 2 key "NODE-C03"
"""


class Fence(unittest.TestCase):
    def test_plan_then_fence_a_range(self):
        prepare(FENCE_SETUP)
        status, out, _ = cli("fence", "0-3", "--path", "0", "--victim", "NODE-C03")
        self.assertEqual(status, 15)
        self.assertEqual(out.splitlines()[:2], [
            f"device 0, path 0: would register {TESSALY1} on path 0, then PREEMPT AND ABORT "
            f"{NODE_C03} with Exclusive Access - Registrants Only (6h)",
            f"device 1, path 0: victim key {NODE_C03} not registered: nothing to do"])
        self.assertIn("NODE-C03", cli("keys", "0", "--path", "0")[1])

        status, out, _ = cli("fence", "0-3", "--path", "0", "--victim", "NODE-C03", "--yes")
        self.assertEqual(status, 15, out)
        self.assertIn(f"device 0, path 0: fenced: victim key {NODE_C03} gone\n", out)
        self.assertIn(f"device 2, path 0: fenced: victim key {NODE_C03} gone\n", out)
        self.assertIn("device 3, path 0: failed:", out)
        status, out, _ = cli("--json", "full-status", "0-2", "--path", "0")
        self.assertEqual(status, 0)
        devices = json.loads(out)["devices"]
        for device in devices:
            self.assertNotIn("NODE-C03", [r["text"] for r in device["facts"]["registrations"]])
        holders = [r["transport_id_text"] for r in devices[0]["facts"]["registrations"]
                   if r["holder"]]
        self.assertEqual(holders, ["iSCSI name iqn.2026-12.org.tessaly:path0"])
        self.assertEqual([r["text"] for r in devices[2]["facts"]["registrations"] if r["holder"]],
                         ["NODE-B01"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
