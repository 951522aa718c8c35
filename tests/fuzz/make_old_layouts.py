#!/usr/bin/env python3
"""Derives restart files of every layout from one in the newest layout.

    make_old_layouts.py SOURCE.rst OUTPUT_PREFIX

writes OUTPUT_PREFIX_<tag>.rst for STATE_0_2 .. STATE_0_8_1 by dropping what each older
layout lacks (records, sections, trailing values of per-particle rows), and writes the
reals in their shortest exact form so the files stay small.
"""
import re
import sys


def shorten(line):
    def real(m):
        return repr(float(m.group(0)))
    return re.sub(r"-?\d\.\d{16}e[+-]\d+", real, line)


def parse(lines):
    """Splits a newest-layout file into its parts, following the counts it holds."""
    pos = 0

    def take(k=1):
        nonlocal pos
        out = lines[pos:pos + k]
        pos += k
        return out

    p = {}
    p["header"] = take()
    p["state"] = take()
    n = int(p["state"][0].split()[2])
    p["water"] = take(9)             # records 3 to 11
    p["gas"] = take(7)               # records 12 to 18
    p["gas_table"] = take()
    p["gas_table"] += take(5 * int(p["gas_table"][0].split()[0]))
    p["particles"] = take(3 * n)
    p["sources"] = take(n)
    ex = take()
    ex += take(2 * int(ex[0].split()[0]))
    ig = take()
    ex += ig + take(int(ig[0].split()[0]))
    ex += take()                     # E5
    p["ex_head"] = ex
    p["ex_long"] = take(5)           # E6 to E10
    p["ex_rows"] = take(n)
    so = take()
    so += take(6 * int(so[0].split()[1]))
    so += take(5)                    # S3 to S7
    p["so_head"] = so
    p["so_ext"] = take(2)            # S8, S9
    p["so_present"] = take()
    p["so_rows"] = []
    if p["so_present"][0].strip() == "T":
        p["so_rows"] = [take(9) for _ in range(n)]
    co = take(2)                     # K1, K2
    regions = []
    for _ in range(int(co[1].split()[0])):
        names = take(5)
        modes = take()
        members = take(1) if int(modes[0].split()[11]) > 0 else []
        regions.append((names, modes, members))
    p["co_head"] = co
    p["co_regions"] = regions
    p["co_totals"] = take(3)         # K6 to K8
    p["co_full"] = take(4)           # K9 to K12
    p["co_count"] = take()
    p["co_rows"] = take(n)
    if pos != len(lines):
        raise SystemExit(f"{len(lines) - pos} lines left over: not a newest-layout file?")
    return p


TAGS = ["STATE_0_2", "STATE_0_3", "STATE_0_3_1", "STATE_0_4", "STATE_0_4_1", "STATE_0_5",
        "STATE_0_5_1", "STATE_0_8", "STATE_0_8_1"]


def layout(p, tag):
    v = TAGS.index(tag)
    words = p["header"][0].split()
    out = [" ".join(words[:4] + [tag])]
    out += p["state"] + p["water"]
    if v >= 1:
        out += p["gas"]
    if v >= 2:
        out += p["gas_table"]
    out += p["particles"]
    if v >= 2:
        out += p["sources"]
    if v >= 3:
        out += p["ex_head"]
        if v >= 4:
            out += p["ex_long"] + p["ex_rows"]
        else:
            out += [" ".join(r.split()[:8]) for r in p["ex_rows"]]
    if v >= 5:
        out += p["so_head"]
        if v >= 6:
            out += p["so_ext"]
        out += p["so_present"]
        for rows in p["so_rows"]:
            out += rows if v >= 6 else rows[:5] + rows[8:]
    if v >= 8:
        out += p["co_head"]
        for names, modes, members in p["co_regions"]:
            out += names + modes + members
        out += p["co_totals"] + p["co_full"] + p["co_count"] + p["co_rows"]
    elif v >= 7:
        out += p["co_head"]
        for names, modes, members in p["co_regions"]:
            m = modes[0].split()
            out += names + [" ".join(m[:3] + m[6:])] + members
        out += p["co_totals"] + p["co_count"]
        for r in p["co_rows"]:
            w = r.split()
            out.append(" ".join(w[:9] + w[15:17]))
    return out


def main():
    source, prefix = sys.argv[1], sys.argv[2]
    with open(source, newline="") as f:
        lines = f.read().split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    parts = parse(lines)
    for tag in TAGS:
        with open(f"{prefix}_{tag}.rst", "w", newline="") as f:
            f.write("".join(shorten(l) + "\r\n" for l in layout(parts, tag)))


if __name__ == "__main__":
    main()
