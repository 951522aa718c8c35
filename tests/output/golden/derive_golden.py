#!/usr/bin/env python3
"""Writes the expected step output of tests/decks/out_fall.inp from the closed-form
motion, independently of the solver: a particle at rest under a constant body
acceleration g = (0, 0, -8) stepped by leapfrog with dt = 2^-12 is exact, so after
step n (t = n dt) it has v = g t, x = x0 + g t^2 / 2, a = g; density stays rho0 =
1000 (no neighbours), pressure 0, temperature 293.15, h 0.5.

Run from this directory to regenerate fall/ (CR LF line ends)."""
from fractions import Fraction
import os

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


def write(path, lines):
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("ascii"))


def main():
    os.makedirs("fall", exist_ok=True)
    entries = []
    for step in STEPS:
        t, rows = state(step)
        stem = "quorrel_%08d" % step
        write(os.path.join("fall", stem + ".csv"), csv(rows))
        write(os.path.join("fall", stem + ".vtu"), vtu(rows))
        entries.append('    <DataSet timestep="%s" group="" part="0" file="%s.vtu"/>' % (real(t).strip(), stem))
    write(os.path.join("fall", "quorrel.pvd"),
          ['<?xml version="1.0"?>', '<VTKFile type="Collection" version="0.1" byte_order="LittleEndian">',
           "  <Collection>"] + entries + ["  </Collection>", "</VTKFile>"])


if __name__ == "__main__":
    main()
