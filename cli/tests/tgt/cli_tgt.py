#!/usr/bin/env python3
"""Black-box tests of the native tessaly-cli over iSCSI: the real program against a private tgt
target (scripts/tgt-target.sh run starts it and gives its portal and name), as several hosts
(initiator names), on LUNs that tgt_setup gives the states of the stand-in's disks (disk N is
LUN N + 1). tgt has no READ FULL STATUS and no PREEMPT AND ABORT, and ties a registration to the
session that made it: every run of the program is a new session.

  cli_tgt.py --cli PATH --setup PATH [unittest arguments]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import time
import unittest

OPTIONS = argparse.Namespace(cli=None, setup=None)
PORTAL = os.environ.get("TESSALY_TGT_PORTAL", "")
IQN = os.environ.get("TESSALY_TGT_IQN", "")
BASE = f"iscsi://{PORTAL}/{IQN}"

TESSALY1 = '0x54455353414C5931 "TESSALY1"'
NODE_B01 = '0x4E4F44452D423031 "NODE-B01"'
NODE_C03 = '0x4E4F44452D433033 "NODE-C03"'
ILLEGAL = "CHECK CONDITION: ILLEGAL REQUEST, INVALID FIELD IN CDB (24h/00h)"


def prepare(setup="-"):
    """Gives the LUNs the disks of a set-up text ("-": the stand-in's default disks)."""
    path = setup
    if setup != "-":
        path = os.path.join(os.environ["TESSALY_TGT_DIR"], "setup.txt")
        with open(path, "w") as f:
            f.write(setup)
    subprocess.run([OPTIONS.setup, PORTAL, IQN, path], check=True, timeout=120)


def cli(*arguments, host="host-a"):
    """Runs tessaly-cli as host HOST; returns (exit status, standard output, standard error), the
    generations in the output written as G (tgt counts on across set-ups)."""
    result = subprocess.run([OPTIONS.cli, "--initiator-name", "iqn.2026-12.org.tessaly:" + host,
                             *arguments], stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=120)
    out = re.sub(r"generation:? 0x[0-9A-F]{8}", lambda m: m.group(0)[:-10] + "G", result.stdout)
    return result.returncode, out, result.stderr


class Reads(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        prepare()

    def test_reads_human_and_json(self):
        status, out, err = cli("reservation", f"{BASE}/3")
        self.assertEqual((status, out), (0, f"{BASE}/3: READ RESERVATION\n"
                                            "  generation: G\n"
                                            f"  holder: {NODE_B01}\n"
                                            "  scope: logical unit\n"
                                            "  type: Exclusive Access - Registrants Only (6h)\n"),
                         err)
        status, out, _ = cli("scan", f"{BASE}/1-5")
        self.assertEqual(status, 0)
        self.assertEqual(out.splitlines()[2], f"{BASE}/3: generation G, 2 registrations, "
                                              f"held by {NODE_B01}, Exclusive Access - Registrants "
                                              "Only (6h)")
        status, out, _ = cli("--json", "keys", f"{BASE}/8,99")
        self.assertEqual(status, 15)
        document = json.loads(out)
        self.assertEqual((document["format_version"], document["path"]), (2, None))
        found, missing = document["devices"]
        self.assertEqual([k["text"] for k in found["facts"]["keys"]],
                         ["NODE-C03"] * 3 + ["TESSALY1"] * 3)
        self.assertEqual((found["device"], found["target"]), (8, f"{BASE}/8"))
        self.assertEqual({k: found["transport"][k] for k in ("kind", "lun", "initiator_name")},
                         {"kind": "iscsi", "lun": 8,
                          "initiator_name": "iqn.2026-12.org.tessaly:host-a"})
        self.assertIn("LUN 99 does not exist", missing["transport"]["error_text"])
        self.assertFalse(missing["commands"][0]["sent"])

    def test_what_tgt_lacks_is_said(self):
        status, out, _ = cli("full-status", f"{BASE}/3")
        self.assertEqual((status, out), (5, f"{BASE}/3: READ FULL STATUS failed: {ILLEGAL}\n"))
        status, out, _ = cli("capabilities", f"{BASE}/3")
        self.assertEqual(status, 0)
        self.assertIn("type supported: Exclusive Access - All Registrants (8h)", out)

    def test_unreachable_and_wrong_addresses(self):
        started = time.monotonic()
        status, out, _ = cli("--timeout", "3", "keys", f"iscsi://127.0.0.1:1/{IQN}/1")
        self.assertEqual(status, 15)
        self.assertIn("cannot connect to the portal 127.0.0.1:1", out)
        self.assertLess(time.monotonic() - started, 30, "never a hang")
        status, out, _ = cli("keys", f"iscsi://{PORTAL}/iqn.2026-12.org.tessaly:none/1")
        self.assertEqual(status, 15)
        status, _, err = cli("keys", f"{BASE}/1", "--path", "0")
        self.assertEqual(status, 1)
        self.assertIn("--path belongs to VLK devices and multipath maps", err)
        # A system device that is not there says so first, whatever options belong to maps.
        for command in (["keys"], ["keys", "--path", "sdc"],
                        ["register", "--all-paths", "--key", "NODE-A01"]):
            result = subprocess.run([OPTIONS.cli, *command, "/dev/tessaly-none"],
                                    capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 15, command)
            self.assertIn("/dev/tessaly-none does not exist", result.stdout)


class Changes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        prepare()

    def test_each_run_is_a_session_of_its_own(self):
        # LUN 5 is free. A key registered by one run is not the next run's: tgt refuses what needs
        # it, and the refusal says why.
        self.assertEqual(cli("register", f"{BASE}/5", "--key", "NODE-A01")[0], 0)
        for arguments in (["reserve", "--type", "ea-ro"], ["release", "--type", "ea-ro"],
                          ["clear"], ["preempt", "--victim", "NODE-B01", "--type", "6"]):
            status, out, _ = cli(*arguments, f"{BASE}/5", "--key", "NODE-A01")
            self.assertEqual(status, 24, arguments)
            self.assertIn("RESERVATION CONFLICT\n  note: this session has registered no key on "
                          "LUN 5 since it logged in", out)
        status, out, _ = cli("keys", f"{BASE}/5", host="host-b")
        self.assertIn("registered keys: 1\n", out)
        self.assertEqual(cli("unregister", f"{BASE}/5")[0], 0)


class GroupClearAndFence(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        prepare()

    def test_group_clear_plans_then_clears_what_this_hosts_key_holds(self):
        status, out, err = cli("group-clear", f"{BASE}/1-3", host="host-x")
        self.assertEqual(status, 0, out)
        self.assertIn("nothing was changed", err)
        plans = out.splitlines()
        self.assertTrue(plans[0].startswith(f"{BASE}/1: would clear: held by {TESSALY1} (this "
                                            "host's key); READ FULL STATUS does not show"))
        self.assertEqual(plans[2], f"{BASE}/3: would not clear: held by {NODE_B01}, not this "
                                   "host's key, and READ FULL STATUS does not show whether this "
                                   "initiator holds it")
        status, out, _ = cli("--json", "group-clear", f"{BASE}/1-3", "--yes", host="host-x")
        self.assertEqual(status, 24)
        summaries = [d["summary"].split(":")[0] for d in json.loads(out)["devices"]]
        self.assertEqual(summaries, ["cleared", "cleared", "not cleared"])
        self.assertIn("no reservation", cli("reservation", f"{BASE}/1-2")[1])

    def test_fence_falls_back_to_preempt(self):
        status, out, _ = cli("fence", f"{BASE}/8", "--victim", "NODE-C03", host="host-x")
        self.assertEqual(status, 0)
        self.assertIn(f"would register {TESSALY1} on this initiator", out)
        status, out, _ = cli("fence", f"{BASE}/8", "--victim", "NODE-C03", "--yes", host="host-x")
        self.assertEqual((status, out.splitlines()), (0, [
            f"{BASE}/8: fenced: victim key {NODE_C03} gone",
            f"  REGISTER {TESSALY1}: GOOD",
            f"  PREEMPT AND ABORT {NODE_C03}, Exclusive Access - Registrants Only (6h): {ILLEGAL}",
            f"  PREEMPT {NODE_C03} instead, Exclusive Access - Registrants Only (6h): GOOD",
            "  READ KEYS: GOOD"]))
        status, out, _ = cli("reservation", f"{BASE}/8", host="host-b")
        self.assertIn(f"holder: {TESSALY1}", out, "the fencing host took the reservation over")


def marked(out, prefix):
    """What each line starting with PREFIX names: the finding codes, or the steps that FAILed."""
    return [re.split(r"[: ]", line[len(prefix):])[0] for line in out.splitlines()
            if line.startswith(prefix)]


class DoctorAndValidate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Other hosts hold LUNs 1 and 2 under two keys; LUN 3 is free.
        prepare("device 0 paths 0\n"
                "device 0 foreign 0 key \"NODE-B01\" reserve 6\n"
                "device 1 paths 0\n"
                "device 1 foreign 1 key \"NODE-A01\" reserve 6\n"
                "device 2 paths 0\n")

    def test_doctor_and_validate_report_what_tgt_does(self):
        with_ = ["--with", "iqn.2026-12.org.tessaly:second", "--yes"]
        cases = [
            (["doctor", f"{BASE}/1-3"], 3, "  warning ", ["holder-foreign", "holder-foreign"]),
            (["doctor", f"{BASE}/1-3"], 3, "  error ", ["split-holders"]),
            (["doctor", f"{BASE}/3"], 0, "  note ", ["unsupported"]),
            # tgt's known departures from SPC-3, and nothing else.
            (["validate", f"{BASE}/3", *with_], 3, "  FAIL ",
             ["full-status", "release-attention", "preempt-attention", "preempt-abort"]),
            (["validate", f"{BASE}/1", *with_], 4, "  FAIL ", []),
            (["keys", f"{BASE}/3"], 0, "  no registered keys", [""]),
        ]
        for arguments, status, prefix, found in cases:
            ran_status, out, _ = cli(*arguments)
            self.assertEqual((ran_status, marked(out, prefix)), (status, found),
                             f"{arguments}\n{out}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--cli", required=True)
    parser.add_argument("--setup", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
