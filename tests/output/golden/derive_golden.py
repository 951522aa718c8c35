#!/usr/bin/env python3
"""Writes the expected step output of tests/decks/out_fall.inp from the closed-form
motion, independently of the solver: a particle at rest under a constant body
acceleration g = (0, 0, -8) stepped by leapfrog with dt = 2^-12 is exact, so after
step n (t = n dt) it has v = g t, x = x0 + g t^2 / 2, a = g; density stays rho0 =
1000 (no neighbours), pressure 0, temperature 293.15, h 0.5.

Run from this directory to regenerate fall/ (CR LF line ends).

  derive_golden.py                  write fall/ in the working directory
  derive_golden.py --check [DIR]    derive in memory and compare byte for byte with DIR
                                    (default: fall/ beside this script); exit 1 on any
                                    difference, missing or extra file
  derive_golden.py --self-test      show that --check catches altered, missing and
                                    extra files"""
from fractions import Fraction
import os
import shutil
import sys
import tempfile

DT = Fraction(1, 4096)
G = (Fraction(0), Fraction(0), Fraction(-8))
PARTICLES = [  # node number, x0, coupling region number
    (7, (Fraction(1, 2), Fraction(-5, 4), Fraction(2)), 0),
    (11, (Fraction(10), Fraction(3), Fraction(2)), 1),
]
STEPS = [2, 4]


def real(value):
    """24-character field: %.16E, letter dropped before a 3-digit exponent, no -0."""
    v = float(value)
    if v == 0.0:
        v = 0.0
    s = "%.16E" % v
    mant, exp = s.split("E")
    if len(exp) == 4:
        s = mant + exp
    return s.rjust(24)


def state(step):
    t = step * DT
    rows = []
    for node, x0, region in PARTICLES:
        x = [x0[k] + G[k] * t * t / 2 for k in range(3)]
        v = [G[k] * t for k in range(3)]
        rows.append(dict(node=node, x=x, v=v, a=list(G), rho=Fraction(1000), p=Fraction(0),
                         temp=293.15, h=Fraction(1, 2), region=region))
    return t, rows


def csv(rows):
    names = ("id,phase,status,material,section,x,y,z,vx,vy,vz,rho,pressure,temperature,h,"
             "explosive_detonation_time,explosive_lambda,explosive_initial_mass,explosive_remaining_mass,"
             "explosive_released_mass,explosive_released_energy,"
             "solid_stress_xx,solid_stress_yy,solid_stress_zz,solid_stress_xy,solid_stress_yz,solid_stress_zx,"
             "solid_plastic_strain,solid_damage,solid_softening,solid_strain_rate_eq,solid_acceleration_norm,"
             "blast_solid_fx,blast_solid_fy,blast_solid_fz,blast_shell_fx,blast_shell_fy,blast_shell_fz,"
             "blast_shell_mx,blast_shell_my,blast_shell_mz,coupling_force_x,coupling_force_y,coupling_force_z,"
             "coupling_gap,coupling_penetration,coupling_contact_flag,solid_failure_status,"
             "solid_reference_neighbor_count,solid_correction_status,coupling_motion_flag,coupling_region_id")
    lines = [names]
    for r in rows:
        f = [str(r["node"]), "1", "0", "1", "1"]
        f += [real(c) for c in r["x"]] + [real(c) for c in r["v"]]
        f += [real(r["rho"]), real(r["p"]), real(r["temp"]), real(r["h"])]
        f += [real(0)] * 16
        f += [real(8)]  # |a|
        f += [real(0)] * 14
        f += ["0"] * 5 + [str(r["region"])]
        lines.append(",".join(f))
    return lines


def vtu(rows):
    n = len(rows)
    i8 = " " * 8
    out = ['<?xml version="1.0"?>',
           '<VTKFile type="UnstructuredGrid" version="0.1" byte_order="LittleEndian">',
           "  <UnstructuredGrid>",
           '    <Piece NumberOfPoints="%d" NumberOfCells="%d">' % (n, n),
           '      <PointData Scalars="pressure" Vectors="velocity">']

    def block(kind, name, values, vector=False):
        comp = ' NumberOfComponents="3"' if vector else ""
        out.append(i8 + '<DataArray type="%s" Name="%s"%s format="ascii">' % (kind, name, comp))
        out.extend(values)
        out.append(i8 + "</DataArray>")

    vec = lambda key: [" ".join(real(c) for c in r[key]) for r in rows]
    block("Int32", "particle_id", [str(r["node"]) for r in rows])
    block("Int32", "phase", ["1"] * n)
    block("Int32", "status", ["0"] * n)
    block("Int32", "material", ["1"] * n)
    block("Int32", "section", ["1"] * n)
    block("Float64", "velocity", vec("v"), True)
    block("Float64", "acceleration", vec("a"), True)
    block("Float64", "density", [real(r["rho"]) for r in rows])
    block("Float64", "pressure", [real(r["p"]) for r in rows])
    block("Float64", "temperature", [real(r["temp"]) for r in rows])
    block("Float64", "smoothing_length", [real(r["h"]) for r in rows])
    out.append("      </PointData>")
    out.append("      <Points>")
    block("Float64", "Points", vec("x"), True)
    out.append("      </Points>")
    out.append("      <Cells>")
    block("Int32", "connectivity", [str(i) for i in range(n)])
    block("Int32", "offsets", [str(i + 1) for i in range(n)])
    block("UInt8", "types", ["1"] * n)
    out += ["      </Cells>", "    </Piece>", "  </UnstructuredGrid>", "</VTKFile>"]
    return out


def encode(lines):
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def derive():
    """The expected files of fall/, by name."""
    files = {}
    entries = []
    for step in STEPS:
        t, rows = state(step)
        stem = "quorrel_%08d" % step
        files[stem + ".csv"] = encode(csv(rows))
        files[stem + ".vtu"] = encode(vtu(rows))
        entries.append('    <DataSet timestep="%s" group="" part="0" file="%s.vtu"/>' % (real(t).strip(), stem))
    files["quorrel.pvd"] = encode(
        ['<?xml version="1.0"?>', '<VTKFile type="Collection" version="0.1" byte_order="LittleEndian">',
         "  <Collection>"] + entries + ["  </Collection>", "</VTKFile>"])
    return files


def first_difference(expected, actual):
    """Line and column (from 1), expected line and actual line where two files part."""
    exp_lines = expected.split(b"\n")
    act_lines = actual.split(b"\n")
    for i in range(max(len(exp_lines), len(act_lines))):
        e = exp_lines[i] if i < len(exp_lines) else b"<end of file>"
        a = act_lines[i] if i < len(act_lines) else b"<end of file>"
        if e != a:
            col = next((k for k in range(min(len(e), len(a))) if e[k] != a[k]), min(len(e), len(a)))
            return i + 1, col + 1, e, a
    return None


def compare(expected, directory):
    """Every way the files in `directory` differ from `expected`, one message each."""
    problems = []
    present = sorted(n for n in os.listdir(directory) if os.path.isfile(os.path.join(directory, n)))
    for name in sorted(expected):
        path = os.path.join(directory, name)
        if name not in present:
            problems.append("%s: missing (the derivation produces it)" % path)
            continue
        with open(path, "rb") as f:
            actual = f.read()
        if actual != expected[name]:
            line, col, e, a = first_difference(expected[name], actual)
            problems.append("%s: differs from the derivation at line %d, column %d\n"
                            "  derived:     %r\n  checked in:  %r" % (path, line, col, e, a))
    for name in present:
        if name not in expected:
            problems.append("%s: not produced by the derivation" % os.path.join(directory, name))
    return problems


def check(directory):
    problems = compare(derive(), directory)
    if problems:
        for p in problems:
            print("golden check: " + p, file=sys.stderr)
        print("golden check: %d problem(s); regenerate with derive_golden.py from %s if the "
              "derivation is right" % (len(problems), os.path.dirname(os.path.abspath(__file__))),
              file=sys.stderr)
        return 1
    print("golden check: the files in %s match the derivation" % directory)
    return 0


def self_test():
    """Alters a faithful copy in each way a checked-in file can go wrong and expects
    compare() to name the file concerned; the faithful copy itself must pass."""
    def change_last_digit(files):
        body = files["quorrel_00000002.csv"]
        i = body.rindex(b"0")  # a digit of the last value on the last row
        files["quorrel_00000002.csv"] = body[:i] + b"1" + body[i + 1:]
        return "quorrel_00000002.csv"

    def lf_line_ends(files):
        files["quorrel_00000004.vtu"] = files["quorrel_00000004.vtu"].replace(b"\r\n", b"\n")
        return "quorrel_00000004.vtu"

    def drop_final_line_end(files):
        files["quorrel.pvd"] = files["quorrel.pvd"][:-2]
        return "quorrel.pvd"

    def missing(files):
        del files["quorrel_00000004.csv"]
        return "quorrel_00000004.csv"

    def extra(files):
        files["quorrel_00000006.csv"] = files["quorrel_00000004.csv"]
        return "quorrel_00000006.csv"

    cases = [("unchanged", None), ("one digit changed", change_last_digit),
             ("LF instead of CR LF", lf_line_ends), ("final line end missing", drop_final_line_end),
             ("file missing", missing), ("extra file", extra)]
    expected = derive()
    failures = 0
    for label, alter in cases:
        files = dict(expected)
        culprit = alter(files) if alter else None
        directory = tempfile.mkdtemp(prefix="golden_self_test_")
        try:
            for name, body in files.items():
                with open(os.path.join(directory, name), "wb") as f:
                    f.write(body)
            problems = compare(expected, directory)
        finally:
            shutil.rmtree(directory)
        if culprit is None:
            ok = problems == []
        else:
            ok = len(problems) == 1 and culprit in problems[0]
        if not ok:
            failures += 1
            print("self-test %s: got %r" % (label, problems), file=sys.stderr)
    if failures:
        return 1
    print("golden check self-test: every alteration is caught")
    return 0


def main(argv):
    if len(argv) >= 1 and argv[0] == "--check" and len(argv) <= 2:
        directory = argv[1] if len(argv) == 2 else os.path.join(
            os.path.dirname(os.path.abspath(__file__)), "fall")
        return check(directory)
    if argv == ["--self-test"]:
        return self_test()
    if argv:
        print(__doc__, file=sys.stderr)
        return 2
    os.makedirs("fall", exist_ok=True)
    for name, body in derive().items():
        with open(os.path.join("fall", name), "wb") as f:
            f.write(body)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
