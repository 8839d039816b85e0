#!/usr/bin/env python3
"""Turns `avahi-browse -p -r` output into one line per resolved service, with the escapes undone:

    NAME <tab> ADDRESS <tab> PORT <tab> KEY=VALUE;KEY=VALUE...   (keys sorted)

so that the shell can compare names containing "@" and ":" and the TXT record verbatim."""
import re
import sys


def unescape_label(text):
    # avahi-browse writes "." and "\" as "\." and "\\", every other special byte as "\DDD" (decimal).
    out = bytearray()
    i = 0
    raw = text.encode()
    while i < len(raw):
        digits = raw[i + 1:i + 4]
        if raw[i:i + 1] == b"\\" and len(digits) == 3 and digits.isdigit():
            out.append(int(digits))
            i += 4
        elif raw[i:i + 1] == b"\\" and i + 1 < len(raw):
            out.append(raw[i + 1])
            i += 2
        else:
            out.append(raw[i])
            i += 1
    return out.decode("utf-8", "replace")


def txt_pairs(field):
    pairs = []
    for item in re.findall(r'"((?:[^"\\]|\\.)*)"', field):
        item = re.sub(r"\\(.)", r"\1", item)
        key, _, value = item.partition("=")
        pairs.append(key + "=" + value)
    return ";".join(sorted(pairs))


seen = set()
for line in sys.stdin:
    fields = line.rstrip("\n").split(";", 9)
    if len(fields) < 10 or fields[0] != "=":
        continue
    record = "\t".join([unescape_label(fields[3]), fields[7], fields[8], txt_pairs(fields[9])])
    if record not in seen:
        seen.add(record)
        print(record)
