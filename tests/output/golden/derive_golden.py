#!/usr/bin/env python3
"""Writes the expected step output of the golden cases from closed forms, independently
of the solver.

fall/: tests/decks/out_fall.inp. A particle at rest under a constant body acceleration
g = (0, 0, -8) stepped by leapfrog with dt = 2^-12 is exact, so after step n (t = n dt)
it has v = g t, x = x0 + g t^2 / 2, a = g; density stays rho0 = 1000 (no neighbours),
pressure 0, temperature 293.15, h 0.5.

wall/: the summary CSV of step 3 of tests/decks/summary_wall.inp. Two boundary particles
(no phase acts on them) in one coupling region exporting particles: every metric is 0
but step (3), time (3 dt, dt = 2^-10), coupling_regions (1) and coupling_particles (2);
no blast regions, so 101 rows after the header.

Run from this directory to regenerate fall/ and wall/ (CR LF line ends).

  derive_golden.py                  write fall/ and wall/ in the working directory
  derive_golden.py --check [DIR]    derive in memory and compare byte for byte with DIR
                                    (default: fall/ beside this script), and every other
                                    case with its directory beside DIR; each summary CSV
                                    must also read back through Python's csv module as
                                    two columns of numbers; exit 1 on any difference,
                                    missing or extra file
  derive_golden.py --self-test      show that --check catches altered, missing and
                                    extra files"""
import csv as csv_module  # the name csv is the particle CSV writer below
import io
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


def derive_fall():
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


# The summary's rows in file order: (name, kind), I an integer row, R a real row.
def _xyz(base):
    return [(base + axis, "R") for axis in ("_x", "_y", "_z")]


SUMMARY_GENERAL = (
    [("step", "I"), ("time", "R"), ("water_mass", "R")] + _xyz("water_momentum")
    + [("max_pressure", "R"), ("min_density", "R"), ("max_density", "R"), ("dtcrit", "R"),
       ("gas_particles", "I"), ("gas_mass", "R"), ("gas_volume", "R")] + _xyz("gas_center")
    + [("gas_mean_pressure", "R"), ("gas_max_pressure", "R")] + _xyz("gas_momentum")
    + [("gas_min_density", "R"), ("gas_max_density", "R"), ("gas_equivalent_radius", "R"),
       ("gas_radius_rate", "R"), ("gas_dt_cfl", "R"), ("gas_dt_accel", "R"), ("gas_dtcrit", "R"),
       ("gas_source_mass", "R"), ("gas_source_energy", "R")] + _xyz("gas_source_momentum")
    + [("explosive_particles", "I"), ("explosive_reacted_particles", "I"), ("explosive_lambda_min", "R"),
       ("explosive_lambda_max", "R"), ("explosive_lambda_mean", "R"), ("explosive_released_mass", "R"),
       ("explosive_released_energy", "R")] + _xyz("explosive_released_momentum")
    + [("explosive_detonation_time_min", "R"), ("explosive_detonation_time_max", "R"),
       ("explosive_initial_mass", "R"), ("explosive_remaining_mass", "R"),
       ("explosive_release_mass_error", "R"), ("explosive_release_energy_error", "R"),
       ("explosive_converted_particles", "I"), ("explosive_source_particles", "I"),
       ("explosive_source_mass_total", "R"), ("explosive_source_energy_total", "R")]
    + _xyz("explosive_source_momentum"))
SUMMARY_SOLID = (
    [("solid_particles", "I"), ("solid_failed_particles", "I"), ("solid_mass", "R")] + _xyz("solid_momentum")
    + [(name, "R") for name in (
        "solid_kinetic_energy", "solid_internal_energy", "solid_max_von_mises", "solid_plastic_strain_min",
        "solid_plastic_strain_max", "solid_damage_min", "solid_damage_max", "solid_softening_min",
        "solid_softening_max", "solid_max_strain_rate", "solid_max_acceleration",
        "solid_internal_force_residual")]
    + [("solid_reference_neighbor_min", "I"), ("solid_correction_det_min", "R"),
       ("solid_correction_status", "I"), ("solid_dt_cfl", "R"), ("solid_dt_accel", "R"), ("solid_dtcrit", "R")])
SUMMARY_COUPLING = (
    [("coupling_regions", "I"), ("coupling_particles", "I"), ("coupling_facets", "I")]
    + _xyz("coupling_force") + _xyz("coupling_impulse")
    + [("coupling_work", "R"), ("coupling_energy_exchange", "R"), ("coupling_nonfinite_imports", "I"),
       ("coupling_stale_loads", "I"), ("coupling_active_contacts", "I"), ("coupling_skipped_contacts", "I"),
       ("coupling_max_pressure", "R"), ("coupling_max_traction", "R"), ("coupling_max_penetration", "R"),
       ("coupling_force_balance_error", "R"), ("coupling_moment_balance_error", "R")])
assert (len(SUMMARY_GENERAL), len(SUMMARY_SOLID), len(SUMMARY_COUPLING)) == (56, 24, 20)

WALL_DT = Fraction(1, 1024)
WALL_STEP = 3


def summary(values):
    """The lines of a summary CSV without blast regions; metrics not in `values` are 0."""
    rows = SUMMARY_GENERAL + SUMMARY_SOLID + [("blast_regions", "I")] + SUMMARY_COUPLING
    lines = ["metric,value"]
    for name, kind in rows:
        value = values.get(name, 0)
        lines.append(name + "," + (str(value) if kind == "I" else real(value)))
    return lines


def derive_wall():
    """The expected files of wall/, by name."""
    values = {"step": WALL_STEP, "time": WALL_STEP * WALL_DT, "coupling_regions": 1, "coupling_particles": 2}
    return {"quorrel_%08d_summary.csv" % WALL_STEP: encode(summary(values))}


# Each case: its directory name and its derivation. The first is the one --check names.
CASES = [("fall", derive_fall), ("wall", derive_wall)]


def derive(case="fall"):
    return dict(CASES)[case]()


def csv_problems(name, body):
    """What keeps a summary CSV from reading back through Python's csv module as a header
    and two columns whose values are numbers."""
    rows = list(csv_module.reader(io.StringIO(body.decode("ascii"), newline="")))
    if not rows or rows[0] != ["metric", "value"]:
        return ["%s: the first row is not metric,value" % name]
    problems = []
    for number, row in enumerate(rows[1:], start=2):
        if len(row) != 2:
            problems.append("%s: row %d has %d columns" % (name, number, len(row)))
            continue
        try:
            float(row[1])
        except ValueError:
            problems.append("%s: row %d value %r is not a number" % (name, number, row[1]))
    return problems


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
    """Every way the files in `directory` differ from `expected`, one message each, and
    every summary CSV there that does not read back as a CSV of numbers."""
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
        if name.endswith("_summary.csv"):
            problems += csv_problems(path, actual)
    for name in present:
        if name not in expected:
            problems.append("%s: not produced by the derivation" % os.path.join(directory, name))
    return problems


def case_directories(directory):
    """Each case with the directory it is checked against: the first in `directory`, the
    others beside it."""
    parent = os.path.dirname(os.path.abspath(directory))
    return [(name, directory if k == 0 else os.path.join(parent, name)) for k, (name, _) in enumerate(CASES)]


def check(directory):
    problems = []
    for case, case_directory in case_directories(directory):
        problems += compare(derive(case), case_directory)
    if problems:
        for p in problems:
            print("golden check: " + p, file=sys.stderr)
        print("golden check: %d problem(s); regenerate with derive_golden.py from %s if the "
              "derivation is right" % (len(problems), os.path.dirname(os.path.abspath(__file__))),
              file=sys.stderr)
        return 1
    print("golden check: the files of %s match the derivation" %
          ", ".join(d for _, d in case_directories(directory)))
    return 0


def self_test():
    """Alters a faithful copy in each way a checked-in file can go wrong and expects
    compare() to name the file concerned; the faithful copy itself must pass. Then shows
    that the CSV reading notices a value that is not a number and a row of three columns."""
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

    summary_name = "quorrel_%08d_summary.csv" % WALL_STEP

    def drop_summary_row(files):
        files[summary_name] = files[summary_name].replace(b"dtcrit,  0.0000000000000000E+00\r\n", b"", 1)
        return summary_name

    cases = [("fall", "unchanged", None), ("fall", "one digit changed", change_last_digit),
             ("fall", "LF instead of CR LF", lf_line_ends), ("fall", "final line end missing", drop_final_line_end),
             ("fall", "file missing", missing), ("fall", "extra file", extra),
             ("wall", "unchanged", None), ("wall", "a summary row dropped", drop_summary_row)]
    failures = 0
    for case, label, alter in cases:
        expected = derive(case)
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
            print("self-test %s %s: got %r" % (case, label, problems), file=sys.stderr)
    bad_rows = [(b"metric,value\r\nstep,3\r\ntime,abc\r\n", "row 3 value 'abc'"),
                (b"metric,value\r\nstep,3,4\r\n", "row 2 has 3 columns"),
                (b"name,value\r\nstep,3\r\n", "not metric,value")]
    for body, message in bad_rows:
        problems = csv_problems("x.csv", body)
        if len(problems) != 1 or message not in problems[0]:
            failures += 1
            print("self-test CSV reading of %r: got %r" % (body, problems), file=sys.stderr)
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
    for case, derivation in CASES:
        os.makedirs(case, exist_ok=True)
        for name, body in derivation().items():
            with open(os.path.join(case, name), "wb") as f:
                f.write(body)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
