#!/usr/bin/env python3
"""Makes the download's README.html from the operator's guide in README.md:
the section under "## Operator's guide", up to the next section of that level.
Knows the little Markdown the guide uses: headings, paragraphs, lists, tables,
fenced code, and inline code, bold, links and pictures.
    make_guide.py README.md README.html"""

import html
import re
import sys

GUIDE_HEADING = "## Operator's guide"
TITLE = "Velkin: operator's guide"
STYLE = """body { font-family: Arial, Helvetica, sans-serif; max-width: 60em; margin: 2em auto; padding: 0 1em;
       line-height: 1.45; color: #222; }
table { border-collapse: collapse; } th, td { border: 1px solid #bbb; padding: 0.3em 0.5em; vertical-align: top; }
th { background: #eee; text-align: left; } code, pre { background: #f4f4f4; } pre { padding: 0.6em; }
img { max-width: 100%; }"""


def guide_lines(readme):
    lines = readme.splitlines()
    start = lines.index(GUIDE_HEADING)
    end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines))
    # Beside the guide in the zip, the picture has no folder.
    return [line.replace("](res/", "](") for line in lines[start:end]]


def inline(text):
    """Inline code first, so that nothing inside it is taken for markup."""
    parts = re.split(r"(`[^`]*`)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) >= 2:
            out.append(f"<code>{html.escape(part[1:-1])}</code>")
            continue
        part = html.escape(part, quote=False)
        part = re.sub(r"!\[([^\]]*)\]\(([^)]+)\)", r'<img src="\2" alt="\1">', part)
        part = re.sub(r"\[([^\]]+)\]\(([^)]+)\)", r'<a href="\2">\1</a>', part)
        part = re.sub(r"\*\*(.+?)\*\*", r"<strong>\1</strong>", part)
        out.append(part)
    return "".join(out)


def table(rows):
    cells = [[cell.strip() for cell in row.strip().strip("|").split("|")] for row in rows]
    head, body = cells[0], cells[2:]  # the second row only separates
    out = ["<table>", "<tr>" + "".join(f"<th>{inline(c)}</th>" for c in head) + "</tr>"]
    out += ["<tr>" + "".join(f"<td>{inline(c)}</td>" for c in row) + "</tr>" for row in body]
    return out + ["</table>"]


LIST_ITEM = re.compile(r"^(- |\d+\. )")


def blocks(lines):
    """The HTML of `lines`, block by block."""
    out, i = [], 0
    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        if not stripped:
            i += 1
        elif stripped.startswith("```"):
            end = next(j for j in range(i + 1, len(lines)) if lines[j].strip().startswith("```"))
            indent = len(line) - len(line.lstrip())
            code = "\n".join(l[indent:] for l in lines[i + 1:end])
            out.append(f"<pre><code>{html.escape(code)}</code></pre>")
            i = end + 1
        elif line.startswith("#"):
            level = len(line) - len(line.lstrip("#"))
            out.append(f"<h{level}>{inline(line[level:].strip())}</h{level}>")
            i += 1
        elif line.startswith("|"):
            end = next((j for j in range(i, len(lines)) if not lines[j].startswith("|")), len(lines))
            out += table(lines[i:end])
            i = end
        elif LIST_ITEM.match(line):
            i = list_block(lines, i, out)
        else:
            end = next((j for j in range(i, len(lines)) if not lines[j].strip() or lines[j].startswith(("#", "|"))
                        or lines[j].strip().startswith("```")), len(lines))
            out.append(f"<p>{inline(' '.join(l.strip() for l in lines[i:end]))}</p>")
            i = end
    return out


def list_block(lines, i, out):
    """A list from line i; an item runs on over its indented lines, which may
    hold blocks of their own. Returns the line after the list."""
    ordered = not lines[i].startswith("- ")
    out.append("<ol>" if ordered else "<ul>")
    while i < len(lines) and LIST_ITEM.match(lines[i]):
        marker = LIST_ITEM.match(lines[i]).group(1)
        item = [lines[i][len(marker):]]
        i += 1
        while i < len(lines) and (lines[i].startswith("  ") or
                                  (not lines[i].strip() and i + 1 < len(lines) and lines[i + 1].startswith("  "))):
            item.append(lines[i][len(marker):] if lines[i].strip() else "")
            i += 1
        out.append("<li>" + "\n".join(blocks(item)) + "</li>")
        if i < len(lines) and not lines[i].strip() and i + 1 < len(lines) and LIST_ITEM.match(lines[i + 1]):
            i += 1
    out.append("</ol>" if ordered else "</ul>")
    return i


def page(readme):
    body = "\n".join(blocks(guide_lines(readme)))
    return (f'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>{TITLE}</title>\n'
            f"<style>\n{STYLE}\n</style>\n</head>\n<body>\n{body}\n</body>\n</html>\n")


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as f:
        text = page(f.read())
    with open(sys.argv[2], "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
