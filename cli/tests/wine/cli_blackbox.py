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
import time
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


def cli(*arguments, encoding="latin-1"):
    """Runs tessaly-cli.exe; returns (exit status, standard output, standard error)."""
    result = subprocess.run(["wine", OPTIONS.exe, *arguments], env=wine_environment(),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    text = lambda b: b.decode(encoding).replace("\r\n", "\n")
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


class WindowsDisks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        prepare()

    def test_disk_objects_answer_as_their_vlk_paths(self):
        # Device 7 path 1 is \\.\PhysicalDrive10701: the same nexus, so the same decoded reports.
        for command in (["keys"], ["reservation"], ["full-status"], ["scan"]):
            vlk = cli(*command, "7", "--path", "1")
            disk = cli(*command, r"\\.\PhysicalDrive10701")
            self.assertEqual(vlk[0], disk[0], command)
            self.assertEqual(vlk[1].replace("device 7, path 1: ", ""),
                             disk[1].replace("\\\\.\\PhysicalDrive10701: ", ""), command)
        status, out, _ = cli("register", "PhysicalDrive10702", "--key", "NODE-D04")
        self.assertEqual(status, 0, out)
        self.assertIn('"NODE-D04"', cli("keys", "7", "--path", "2")[1])
        status, out, _ = cli("--json", "keys", r"\\.\PhysicalDrive10301,PhysicalDrive10000")
        self.assertEqual(status, 15)
        missing, found = json.loads(out)["devices"]
        self.assertEqual((missing["exit_status"], missing["commands"][0]["sent"]), (15, False))
        self.assertEqual(found["transport"]["kind"], "scsi-pass-through")
        self.assertEqual((found["transport"]["device"], found["transport"]["path"]), (0, 0))


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
            f"device 0, path 0: would clear: held by {TESSALY1} (this host's key), and path 0 "
            "holds no key: its REGISTER gives it this key; the CLEAR removes all 2 registrations, "
            "other nodes' too",
            f"device 1, path 0: would not clear: held by {NODE_B01}, not this host's key, and "
            "path 0 holds no key: its CLEAR would be refused"])
        self.assertIn("nothing was changed", err)
        self.assertIn(f"holder: {TESSALY1}", cli("reservation", "0", "--path", "0")[1])

        status, out, _ = cli("--json", "group-clear", "0-4", "--path", "0", "--yes")
        self.assertEqual(status, 24, out)
        devices = json.loads(out)["devices"]
        self.assertEqual([(d["summary"].split(":")[0], d["exit_status"]) for d in devices], [
            ("cleared", 0), ("not cleared", 24), ("failed", 15), ("nothing held", 0),
            ("not cleared", 24)])
        self.assertEqual([c["service_action"] for c in devices[0]["commands"]],
                         ["READ FULL STATUS", "READ RESERVATION", "REGISTER", "CLEAR",
                          "READ RESERVATION"])
        self.assertEqual(devices[0]["commands"][3]["parameter_list"],
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
        self.assertEqual(out.splitlines()[:3], [
            f"device 0, path 0: would PREEMPT AND ABORT {NODE_C03} under {TESSALY1}, the key "
            "path 0 holds, with Exclusive Access - Registrants Only (6h)",
            f"device 1, path 0: victim key {NODE_C03} not registered: nothing to do",
            f"device 2, path 0: would register {TESSALY1} on path 0, then PREEMPT AND ABORT "
            f"{NODE_C03} with Write Exclusive - Registrants Only (5h)"])
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


HONESTY_SETUP = """
# 9: this host's paths 0-9 and, after them, another node holding it: its descriptor lies beyond
#    what 512 bytes of READ FULL STATUS hold.
device 9 paths 0-9
device 9 path 0-9 key "TESSALY1"
device 9 foreign 0 key "NODE-X01" reserve 6
# 10: every nexus registered.
device 10 paths 0-32
device 10 path 0-32 key "TESSALY1"
device 10 foreign 0-7 key "NODE-B01" reserve 6
# 11: another node holds under NODE-B01, and this host's path 0 is registered under it too.
device 11 paths 0,1
device 11 foreign 3 key "NODE-B01" reserve 6
device 11 path 0 key "NODE-B01"
# 12: held under this host's key, while path 0 is registered under another.
device 12 paths 0
device 12 path 0 key "OLD-KEY1"
device 12 foreign 2 key "TESSALY1" reserve 6
# 13: this host holds a type 5 reservation under its cluster key; a dead node on two initiators.
device 13 paths 0,1
device 13 path 0 key "NODE-A01" reserve 5
device 13 foreign 5-6 key "NODE-C03"
# 14: the victim key is registered through path 0 only.
device 14 paths 0,1
device 14 path 0 key "NODE-C03"
# 15: all registrants hold; path 0 is one of them.
device 15 paths 0,1
device 15 foreign 1 key "NODE-B01" reserve 7
device 15 path 0 key "TESSALY1"
# 16: reports unit attentions.
device 16 paths 0,1 unit-attentions
device 16 path 0,1 key "TESSALY1"
device 16 foreign 1 key "TESSALY1" reserve 6
"""


class SaysWhatItDoes(unittest.TestCase):
    """Each case a disk set up to show one way a report could say what is not so."""

    @classmethod
    def setUpClass(cls):
        prepare(HONESTY_SETUP)

    def test_scan_of_a_crowded_disk_counts_every_registration_and_finds_the_holder(self):
        status, out, _ = cli("scan", "9-10", "--path", "0")
        self.assertEqual(status, 0, out)
        self.assertEqual(out.splitlines(), [
            "device 9, path 0: generation 0x00000000, 11 registrations, held by "
            '0x4E4F44452D583031 "NODE-X01", Exclusive Access - Registrants Only (6h)',
            "device 10, path 0: generation 0x00000000, 41 registrations, held by "
            f"{NODE_B01}, Exclusive Access - Registrants Only (6h)"])
        document = json.loads(cli("--json", "scan", "9", "--path", "0")[1])
        facts = document["devices"][0]["facts"]
        self.assertEqual(facts["reservation"]["text"], "NODE-X01")
        self.assertEqual(len(facts["keys"]), 11)
        status, out, _ = cli("full-status", "10", "--path", "0")
        self.assertEqual(status, 0, out)
        self.assertIn("  registrations: 41\n", out)
        self.assertIn("  not shown: 33 more registrations, beyond the data area\n", out)

    def test_group_clear_plans_what_it_then_does(self):
        # Path 0 holds the holder's key: the plan says it clears, and who loses what.
        status, out, _ = cli("group-clear", "11-12", "--path", "0")
        self.assertEqual(status, 0, out)
        plan = out.splitlines()
        self.assertEqual(plan[0], f"device 11, path 0: would clear: held by {NODE_B01}, the key "
                                  "path 0 holds; the CLEAR removes all 2 registrations, other "
                                  "nodes' too")
        self.assertEqual(plan[1], f"device 12, path 0: would not clear: held by {TESSALY1}, but "
                                  'path 0 holds 0x4F4C442D4B455931 "OLD-KEY1": its CLEAR would '
                                  "be refused")
        status, out, _ = cli("--json", "group-clear", "11-12", "--path", "0", "--yes")
        self.assertEqual(status, 24, out)
        devices = json.loads(out)["devices"]
        self.assertEqual([(d["summary"], d["exit_status"]) for d in devices], [
            ("cleared: every registration went with the reservation", 0),
            (f"not cleared: held by {TESSALY1}, but path 0 holds 0x4F4C442D4B455931 "
             '"OLD-KEY1": its CLEAR would be refused', 24)])
        self.assertNotIn("CLEAR", [c["service_action"] for c in devices[1]["commands"]])
        self.assertIn("no reservation", cli("reservation", "11", "--path", "1")[1])

    def test_group_clear_under_all_registrants_and_after_a_failed_read(self):
        status, out, _ = cli("group-clear", "15", "--path", "0")
        self.assertEqual((status, out), (0, "device 15, path 0: would not clear: held by every "
                                            "registrant (Write Exclusive - All Registrants (7h)), "
                                            f"path 0 among them under {TESSALY1}; READ RESERVATION "
                                            "gives no key under such a reservation, so its CLEAR "
                                            "would be refused\n"))
        # Path 1 meets a unit attention that no retry is allowed to pass: nothing more is sent.
        self.assertEqual(cli("clear", "16", "--path", "0")[0], 0)
        status, out, _ = cli("--json", "--retries", "0", "group-clear", "16", "--path", "1", "--yes")
        self.assertEqual(status, 6, out)
        sent = [c["service_action"] for c in json.loads(out)["devices"][0]["commands"]]
        self.assertEqual(sent, ["READ FULL STATUS"])

    def test_fence_keeps_the_key_a_path_holds(self):
        status, out, _ = cli("fence", "13", "--path", "0", "--victim", "NODE-C03")
        self.assertEqual((status, out), (0, f"device 13, path 0: would PREEMPT AND ABORT {NODE_C03}"
                                            " under 0x4E4F44452D413031 \"NODE-A01\", the key path 0"
                                            " holds, with Write Exclusive - Registrants Only (5h)\n"))
        status, out, _ = cli("fence", "13", "--path", "0", "--victim", "NODE-C03", "--yes")
        self.assertEqual(status, 0, out)
        self.assertTrue(out.startswith(f"device 13, path 0: fenced: victim key {NODE_C03} gone\n"))
        status, out, _ = cli("scan", "13", "--path", "1")
        self.assertEqual(out, "device 13, path 1: generation 0x00000001, 1 registration, held by "
                              '0x4E4F44452D413031 "NODE-A01", Write Exclusive - Registrants Only '
                              "(5h)\n")

    def test_fence_refuses_a_victim_key_the_fencing_path_holds(self):
        for yes in ([], ["--yes"]):
            status, out, _ = cli("fence", "14", "--path", "0", "--victim", "NODE-C03", *yes)
            self.assertEqual((status, out), (99, f"device 14, path 0: refused: path 0 holds the "
                                                 f"victim key {NODE_C03} itself: fencing it through "
                                                 "this path would fence this host\n"))
        self.assertIn(f"key: {NODE_C03}", cli("keys", "14", "--path", "1")[1])

    def test_words_are_taken_as_typed(self):
        cases = [
            (["fence", "2", "--path", "0", "--victim", "NODE-C03", "--victim", "NODE-B01"],
             "--victim is given twice"),
            (["clear", "4", "--path", "1", "--path", "9"], "--path is given twice"),
            (["register", "\uff14", "--path", "0"], "'\uff14'"),
            (["keys", "1\uff0d2", "--path", "0"], "'1\uff0d2'"),
            (["fence", "7", "--path", "0", "--victim", "\uff2e\uff2f\uff24\uff25-\uff23" + "03"],
             "'\uff2e\uff2f\uff24\uff25-\uff2303'"),
        ]
        for arguments, named in cases:
            status, out, err = cli(*arguments, encoding="utf-8")
            self.assertEqual((status, out), (1, ""), arguments)
            self.assertIn(named, err)
        status, out, _ = cli("--json", "keys", "1", "--path", "0", "--path", "1")
        self.assertEqual(status, 1)
        self.assertEqual(json.loads(out), {"program": "tessaly-cli", "exit_status": 1,
                                           "error": "--path is given twice", "word": "--path"})
        self.assertEqual(cli("reserve", "12", "--path", "0", "--type", "EA-RO")[0], 24)

    def test_a_report_that_cannot_be_written_is_a_failure(self):
        with open("/dev/full", "w") as full:
            result = subprocess.run(["wine", OPTIONS.exe, "scan", "9-10", "--path", "0", "--json"],
                                    env=wine_environment(), stdin=subprocess.DEVNULL,
                                    stdout=full, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(result.returncode, 74)
        self.assertIn(b"standard output", result.stderr)


class ManyInFlight(unittest.TestCase):
    def test_a_device_that_never_answers_holds_only_its_own_slot(self):
        prepare("latency 20\n"
                "device 4 paths 0\n"
                "device 5 paths 0\n"
                "device 5 latency 60000\n"
                "device 6 paths 0\n"
                "device 6 foreign 1 key \"NODE-B01\" reserve 6\n")
        outcomes = []
        for parallel in ("1", "16"):
            started = time.monotonic()
            outcomes.append(cli("--parallel", parallel, "--timeout", "2", "scan", "3-6",
                                "--path", "0"))
            self.assertLess(time.monotonic() - started, 20)
        self.assertEqual(outcomes[0], outcomes[1])
        status, out, _ = outcomes[1]
        self.assertEqual(status, 15)
        self.assertEqual([line.split(": ", 1)[1][:24] for line in out.splitlines()],
                         ["failed: the device or it", "generation 0x00000000, n", "failed: no answer within",
                          "generation 0x00000000, 1"])


DOCTOR_SETUP = """
# 0 healthy; 1 path-not-registered; 2 key-differs-across-paths; 3 single-nexus-reservation;
# 4 holder-foreign; 5 stale-nexus (one initiator name under two ISIDs); 6 no-persistence.
device 0 paths 0,1
device 0 path 0-1 key "TESSALY1" reserve 6
device 1 paths 0-2
device 1 path 0 key "TESSALY1" reserve 6
device 2 paths 0,1
device 2 path 0 key "TESSALY1" reserve 5
device 2 path 1 key "OLD-KEY1"
device 3 paths 0,1
device 3 path 0-1 key "TESSALY1" reserve 1
device 4 paths 0,1
device 4 path 0-1 key "TESSALY1"
device 4 foreign 3 key "NODE-B01" reserve 6
device 5 paths 0
device 5 path 0 key "TESSALY1"
device 5 foreign 0 initiator iqn.2026-12.org.example:node-b isid 023d00000001
device 5 foreign 1 initiator iqn.2026-12.org.example:node-b isid 023d00000002
device 5 foreign 0-1 key "NODE-B01"
device 6 paths 0
device 6 ptpl-capable
device 6 path 0 key "TESSALY1"
# 7 and 8: a disk for validate, and one that has no PREEMPT AND ABORT.
device 7 paths 0-2 unit-attentions
device 8 paths 0-2 unit-attentions
device 8 quirk no-preempt-abort
"""


class DoctorAndValidate(unittest.TestCase):
    """The findings as a script reads them, on disks the stand-in driver set up from its text."""

    @classmethod
    def setUpClass(cls):
        prepare(DOCTOR_SETUP)

    def test_doctor_findings_in_the_document(self):
        status, out, err = cli("--json", "doctor", "0-6")
        self.assertEqual(status, 3, err)
        document = json.loads(out)
        self.assertEqual((document["command"], document["path"], document["exit_status"]),
                         ("doctor", "all", 3))
        found = {(f["code"], tuple(f["devices"])) for f in document["findings"]}
        self.assertEqual(found, {
            ("path-not-registered", ("1",)), ("key-differs-across-paths", ("2",)),
            ("single-nexus-reservation", ("3",)), ("holder-foreign", ("4",)),
            ("stale-nexus", ("5",)), ("no-persistence", ("6",)),
            ("split-holders", ("0", "1", "2", "3", "4"))})
        stale = next(f for f in document["findings"] if f["code"] == "stale-nexus")
        self.assertEqual((stale["severity"], stale["fix"], stale["paths"]), ("warning", None, [
            "iqn.2026-12.org.example:node-b,i,0x023d00000001",
            "iqn.2026-12.org.example:node-b,i,0x023d00000002"]))
        self.assertEqual([d["exit_status"] for d in document["devices"]], [0, 3, 3, 3, 3, 3, 3])
        status, out, _ = cli("doctor", "0")
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith("device 0: healthy: generation 0x00000000, 2 "
                                       "registrations, held by " + TESSALY1), out)

    def test_validate_passes_fails_and_refuses(self):
        status, out, err = cli("validate", "7", "--path", "0", "--with", "2")
        self.assertEqual(status, 0, err)
        self.assertIn("nothing was changed", err)
        status, out, _ = cli("validate", "7", "--path", "0", "--with", "2", "--yes")
        self.assertEqual(status, 0, out)
        self.assertTrue(out.startswith("device 7, path 0: passed: all 25 steps\n"), out)
        status, out, _ = cli("--json", "validate", "8", "--path", "1", "--with", "2", "--yes")
        self.assertEqual(status, 3, out)
        steps = json.loads(out)["devices"][0]["facts"]["steps"]
        self.assertEqual([(s["name"], s["result"]) for s in steps if s["result"] != "pass"],
                         [("preempt-abort", "fail"), ("preempt-abort-attention", "not run")])
        for device in ("7", "8"):
            self.assertIn("no registered keys", cli("keys", device, "--path", "0")[1])
        status, out, _ = cli("validate", "4", "--path", "0", "--with", "1", "--yes")
        self.assertEqual(status, 4, out)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
