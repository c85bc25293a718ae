#!/usr/bin/env python3
"""The manual page made from Markdown, as groff renders it: what roff would take for a request or
an escape comes out as typed, and nothing of docs/cli.md is lost on the way."""
import os
import re
import subprocess
import sys
import unittest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(TOP, "release"))
import manpage  # noqa: E402


def rendered(markdown):
    """groff's text of the page, its spaces and line ends collapsed (the lines are long enough
    never to break a word), and its warnings."""
    page = manpage.render(markdown, "tessaly-cli", "1", "a summary", "9.8.7", "2026-12-01")
    done = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-P-cbou", "-rLL=3000n"],
                          input=page, capture_output=True, text=True, check=True)
    return " ".join(done.stdout.replace("\u2212", "-").split()), done.stderr


class ManPageTest(unittest.TestCase):
    def test_what_roff_would_read_as_markup_is_printed_as_typed(self):
        cases = [
            # (Markdown, a line of the rendered page)
            (".profile starts a line\nand 'quotes' too", ".profile starts a line and 'quotes' too"),
            ("x\n'quoted' starts a line", "x 'quoted' starts a line"),
            ("the device `\\\\.\\vlkpath` and \\fB", "the device \\\\.\\vlkpath and \\fB"),
            ("```\n.TH a code line\n'x\n  \\n\n```", ".TH a code line 'x \\n"),
            ("| a | b |\n|---|---|\n| `x \\| y` | z |", "x | y"),
            ("| a | b | exit status |\n|---|---|---|\n| p | q | 24 |", "exit status: 24"),
            ("a **bold `--path`** and *this*, [a link](running.md)",
             "a bold --path and this, a link"),
            ("- an item\n  that goes on\n- another", "that goes on"),
            ("1. first\n2. second", "2. second"),
            ("full-width `\uff14` here", "full-width \uff14 here"),
        ]
        for markdown, line in cases:
            with self.subTest(markdown=markdown):
                text, warnings = rendered("# tessaly-cli\n\n## Values\n\n" + markdown + "\n")
                self.assertEqual(warnings, "")
                self.assertIn(" " + line + " ", text)

    def test_the_opening_code_block_is_the_synopsis(self):
        text, _ = rendered("# tessaly-cli\n\nWhat it is.\n\n```\ntessaly-cli ARGS\n```\n\n"
                           "More.\n\n## Values\n\nA value.\n")
        self.assertIn(" NAME tessaly-cli - a summary SYNOPSIS tessaly-cli ARGS DESCRIPTION What it "
                      "is. More. VALUES A value. ", text)

    def test_every_word_of_the_manual_is_on_the_page(self):
        with open(os.path.join(TOP, "docs", "cli.md"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        text, warnings = rendered("\n".join(lines))
        self.assertEqual(warnings, "")
        words = set(text.lower().split())
        # A table's row of headings goes (its third column on is named in each row).
        kept = [line for i, line in enumerate(lines)
                if not manpage.is_table_rule(line) and
                not (i + 1 < len(lines) and manpage.is_table_rule(lines[i + 1]))]
        plain = re.sub(r"^#+ |^\s*- |```|(^|\s)\|(?=\s|$)", " ", "\n".join(kept), flags=re.M)
        plain = re.sub(r"\[([^]]+)\]\([^)]*\)", r"\1", re.sub(r"\\(?=\|)|\*|`", "", plain))
        lost = [word for word in plain.lower().split() if word not in words]
        self.assertEqual(lost, [])


if __name__ == "__main__":
    unittest.main()
