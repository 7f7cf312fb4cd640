#!/usr/bin/env python3
"""Every event of the catalog is explained in the README's table of events
and in the manual page's DIAGNOSTICS, and the table names no event that the
catalog lacks.  Arguments: kqsd.msg README.md kqsd.8"""
import re
import sys

catalog_text, readme, manual = (open(path, encoding="utf-8").read() for path in sys.argv[1:4])


def numbers(text):
    """The ids a text names: 12, 13 and ranges such as 202-205 or 108 to 111."""
    found = set()
    for first, last in re.findall(r"\b(\d+)(?:(?:-| to )(\d+))?\b", text):
        found |= set(range(int(first), int(last or first) + 1))
    return found


catalog = {int(i) for i in re.findall(r'^(\d+) "', catalog_text, re.M)}
table = readme.split("\n## Events\n", 1)[-1].split("\n## ", 1)[0]
rows = numbers(" ".join(re.findall(r"^\| ([\d, -]+) \|", table, re.M)))
diagnostics = manual.split(".SH DIAGNOSTICS", 1)[-1].split(".SH ", 1)[0]
problems = [f"README lacks event {i}" for i in sorted(catalog - rows)]
problems += [f"README names event {i}, which the catalog lacks" for i in sorted(rows - catalog)]
problems += [f"kqsd.8 DIAGNOSTICS lacks event {i}" for i in sorted(catalog - numbers(diagnostics))]
print("\n".join(problems) or f"{len(catalog)} events documented")
sys.exit(1 if problems else 0)
