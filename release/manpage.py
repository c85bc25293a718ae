#!/usr/bin/env python3
"""Writes a manual page (roff, man macros) from a Markdown manual such as docs/cli.md:

  manpage.py --name NAME --section 1 --summary TEXT --version V [--date YYYY-MM-DD] MANUAL.md

The page is: NAME (NAME and the summary), SYNOPSIS (the first code block before the first `##`
heading), DESCRIPTION (the rest of that opening), then one section for each `##` heading, in
capitals, and a subsection for each `###`. The Markdown it reads is the subset the manual uses:
paragraphs, `-` and `1.` lists whose lines go on indented, fenced code blocks, tables, and inline
`code`, **strong**, *emphasis* and [links](target) (the text only). A table becomes one tagged
paragraph a row: the first cell is the tag, the second its text, and any further cell follows on
a line of its own after its column's heading. The page is plain ASCII: any other character is
written as its code point (\\[uXXXX]), so that it needs no input encoding.
"""
import argparse
import re
import sys
import time

INLINE = re.compile(r"`([^`]+)`|\*\*(.+?)\*\*|\*([^*\s][^*]*?)\*|\[([^\]]+)\]\([^)]*\)")


def escape(text):
    """Text as roff prints it literally, inside a line."""
    out = []
    for ch in text:
        if ch == "\\":
            out.append("\\e")
        elif ch == "-":
            out.append("\\-")
        elif ord(ch) > 0x7E or ord(ch) < 0x20:
            out.append(f"\\[u{ord(ch):04X}]")
        else:
            out.append(ch)
    return "".join(out)


def inline(text):
    """A line of Markdown as a roff text line: code and strong in bold, emphasis in italics."""
    out, at = [], 0
    for match in INLINE.finditer(text):
        out.append(escape(text[at:match.start()]))
        code, strong, emphasis, link = match.groups()
        if code is not None:
            out.append(f"\\fB{escape(code)}\\fR")
        elif strong is not None:
            out.append(f"\\fB{inline(strong)}\\fR")
        elif emphasis is not None:
            out.append(f"\\fI{inline(emphasis)}\\fR")
        else:
            out.append(inline(link))
        at = match.end()
    out.append(escape(text[at:]))
    return text_line("".join(out))


def text_line(line):
    """A line that roff must not take for a request, whatever it starts with."""
    return "\\&" + line if line.startswith((".", "'")) else line


def cells(row):
    """The cells of a table row; `\\|` is a bar inside a cell."""
    parts = re.split(r"(?<!\\)\|", row.strip().strip("|"))
    return [part.strip().replace("\\|", "|") for part in parts]


def is_table_rule(line):
    return re.fullmatch(r"\s*\|?(\s*:?-+:?\s*\|)+\s*:?-*:?\s*\|?\s*", line) is not None


LIST_ITEM = re.compile(r"(-|\*|\d+\.) +(.*)")


def blocks(lines):
    """The blocks of Markdown text: (kind, content) with kind heading, code, table, item, text."""
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
        elif line.startswith("```"):
            end = next((j for j in range(i + 1, len(lines)) if lines[j].startswith("```")),
                       len(lines))
            yield "code", lines[i + 1:end]
            i = end + 1
        elif line.startswith("#"):
            marks, _, title = line.partition(" ")
            yield "heading", (len(marks), title.strip())
            i += 1
        elif line.lstrip().startswith("|") and i + 1 < len(lines) and is_table_rule(lines[i + 1]):
            end = i + 2
            while end < len(lines) and lines[end].lstrip().startswith("|"):
                end += 1
            yield "table", (cells(line), [cells(row) for row in lines[i + 2:end]])
            i = end
        else:
            item = LIST_ITEM.fullmatch(line)
            end = i + 1
            # A paragraph or an item goes on over its following lines, up to a blank line, a new
            # item or a block of another kind.
            while (end < len(lines) and lines[end].strip() and
                   not lines[end].startswith(("```", "#", "|")) and
                   not LIST_ITEM.fullmatch(lines[end])):
                end += 1
            words = " ".join(part.strip() for part in lines[i:end])
            if item:
                yield "item", (item.group(1), LIST_ITEM.fullmatch(words).group(2))
            else:
                yield "text", words
            i = end


def body(parts):
    """The roff of Markdown blocks."""
    out = []
    for kind, content in parts:
        if kind == "heading":
            level, title = content
            macro = ".SH" if level <= 2 else ".SS"
            out.append(f'{macro} "{escape(title.upper() if level <= 2 else title)}"')
        elif kind == "code":
            out += [".PP", ".EX"] + [text_line(escape(line)) for line in content] + [".EE"]
        elif kind == "table":
            heads, rows = content
            for row in rows:
                out += [".TP", inline(row[0])] + [inline(cell) for cell in row[1:2]]
                for head, cell in zip(heads[2:], row[2:]):
                    out += [".br", inline(f"{head}: {cell}")]
        elif kind == "item":
            mark, text = content
            out += [".IP " + (escape(mark) if mark[0].isdigit() else "\\(bu") + " 4", inline(text)]
        else:
            out += [".PP", inline(content)]
    return out


def render(markdown, name, section, summary, version, date):
    lines = markdown.splitlines()
    if lines and lines[0].startswith("# "):
        lines = lines[1:]
    parts = list(blocks(lines))
    opening = next((i for i, (kind, _) in enumerate(parts) if kind == "heading"), len(parts))
    synopsis = next((i for i in range(opening) if parts[i][0] == "code"), None)
    out = [
        f'.\\" {name}({section}), made from its Markdown manual by release/manpage.py.',
        f'.TH "{name.upper()}" "{section}" "{date}" "Tessaly {version}" "Tessaly"',
        ".SH NAME",
        f"{escape(name)} \\- {escape(summary)}",
    ]
    if synopsis is not None:
        out += [".SH SYNOPSIS", ".nf"] + [text_line(escape(line)) for line in parts[synopsis][1]]
        out += [".fi"]
        del parts[synopsis]
        opening -= 1
    out += [".SH DESCRIPTION"] + body(parts)
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", required=True)
    parser.add_argument("--section", default="1")
    parser.add_argument("--summary", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--date", default=time.strftime("%Y-%m-%d", time.gmtime()))
    parser.add_argument("manual")
    args = parser.parse_args()
    with open(args.manual, encoding="utf-8") as f:
        markdown = f.read()
    sys.stdout.write(render(markdown, args.name, args.section, args.summary, args.version,
                            args.date))


if __name__ == "__main__":
    main()
