#!/usr/bin/env python3
"""Writes the worker harness's seed inputs into tests/fuzz/corpus/worker/ and its
regression inputs into tests/fuzz/regressions/worker/.

Each input is what a host would write, command after command: one byte choosing the deck
(0 worker_row, 1 worker_shell, 2 worker_regions, 3 worker_pair, 4 worker_facets), then frames of a record
count, the 176-byte command block, the 80-byte force header and the force records. The
layouts are packed here from the block format, not taken from the worker's code.

    tests/fuzz/make_worker_seeds.py
"""
import math
import pathlib
import struct

ROW, SHELL, REGIONS, PAIR, FACETS = range(5)
INIT, READ, BUILD, EXPORT, IMPORT, ADVANCE, WRITE, STOP = range(1, 9)
ACTIVE = 2
NAN = math.nan
INF = math.inf
LARGEST = 1.7976931348623157e308


def command(sequence, code, step=0, dt=0.0, version=1):
    # version, sequence, command, substep, iteration, step_id, dt; then the worker's fields.
    return struct.pack("<6id3i128s4x", version, sequence, code, 0, 0, step, dt, 0, 0, 0, b"")


def header(count=0, version=1, capacity=4096):
    return struct.pack("<8i3d3d", version, capacity, count, 0, 0, 0, 0, 0, *([0.0] * 6))


def force(ext, export, internal, f=(0.0, 0.0, 0.0), step=1, flags=1, state=0, normal=(0.0, 0.0, 0.0),
          gap=0.0, penetration=0.0, pressure=0.0, source=0, pair=0, moment=(0.0, 0.0, 0.0)):
    return struct.pack("<q2i3d3d3d3d2q3iIi4x", ext, export, internal, *f, *moment, *normal, gap, penetration,
                       pressure, source, pair, 0, state, step, flags, 0)


def frame(block, records=(), count=None):
    records = list(records)
    return bytes([len(records)]) + block + header(len(records) if count is None else count) + b"".join(records)


def frame_with(block, head, records=()):
    records = list(records)
    return bytes([len(records)]) + block + head + b"".join(records)


def session(deck, *frames):
    return bytes([deck]) + b"".join(frames)


def prelude():
    return [frame(command(1, INIT)), frame(command(2, READ)), frame(command(3, BUILD)),
            frame(command(4, EXPORT, step=1))]


# worker_row: export index 1 is node 23 (particle 3), 2 node 21 (1), 3 node 24 (4), 4 node 22 (2).
ROW_EXPORTS = [(23, 1, 3), (21, 2, 1), (24, 3, 4), (22, 4, 2)]

seeds = {
    "row_session": session(
        ROW, *prelude(),
        frame(command(5, IMPORT, step=1), [force(e, x, i, (1.0, 0.0, 0.0)) for e, x, i in ROW_EXPORTS]),
        frame(command(6, ADVANCE, dt=0.0625)), frame(command(7, WRITE, step=1)), frame(command(8, STOP))),
    "row_rejections": session(
        ROW, *prelude(),
        frame(command(5, IMPORT, step=2), [
            force(23, 1, 3, (1.0, 2.0, 3.0), step=2),
            force(21, 2, 1, (NAN, 0.0, 0.0), step=2),        # not finite
            force(23, 1, 3, (1.0, 2.0, 3.0), step=2),        # repeats the first
            force(24, 3, 4, (0.0, 1.0, 0.0), step=1),        # an earlier step
            force(99, 4, 2, (0.0, 0.0, 1.0), step=2),        # no such node
            force(22, 4, 2, (0.0, 0.0, 1.0), step=2, flags=0),  # claims nothing valid
            force(22, 4, 2, step=2, state=ACTIVE, flags=5, normal=(INF, 0.0, 0.0)),
            force(21, 2, 1, (0.0, 0.0, -1.0), step=2, source=7, pair=3),
        ]),
        frame(command(6, ADVANCE)),
        # The header claims the whole half; only two records are written this time.
        frame(command(7, IMPORT, step=3), [force(23, 1, 3, step=3), force(21, 2, 1, step=3)], count=4096),
        frame(command(8, ADVANCE, dt=0.0625)), frame(command(9, STOP))),
    "shell_contacts": session(
        SHELL, *prelude(),
        # worker_shell: export index 1 is node 2 (particle 2), 2 is node 1 (particle 1).
        frame(command(5, IMPORT, step=1), [
            force(2, 1, 2, (0.0, 0.0, -10.0), state=ACTIVE, flags=5, normal=(0.0, 0.0, 1.0), gap=-0.01,
                  penetration=0.01, pressure=1.0e5),
            force(1, 2, 1, (0.0, 0.0, -5.0), state=ACTIVE, flags=5, normal=(0.0, 0.0, 1.0), gap=0.02),
        ]),
        frame(command(6, ADVANCE, dt=1.0e-6)), frame(command(7, WRITE, step=1)), frame(command(8, STOP))),
    "regions_export": session(
        # worker_regions: region First exports node 2 (particle 2), then node 4 (particle 4).
        REGIONS, *prelude(),
        frame(command(5, IMPORT, step=1), [force(2, 1, 2, (1.0, 0.0, 0.0)), force(4, 2, 4, (0.0, 1.0, 0.0))]),
        frame(command(6, EXPORT, step=2)), frame(command(7, ADVANCE, dt=0.0625)), frame(command(8, STOP))),
    "pair_bad_force_headers": session(
        PAIR, *prelude(),
        frame_with(command(5, IMPORT, step=1), header(1, version=2), [force(9, 1, 3)])),
    "pair_negative_count": session(
        PAIR, *prelude(), frame_with(command(5, IMPORT, step=1), header(-1), [force(9, 1, 3)])),
    "pair_count_over_capacity": session(
        PAIR, *prelude(), frame_with(command(5, IMPORT, step=1), header(5000, capacity=8192), [force(9, 1, 3)])),
    "command_version": session(PAIR, frame(command(1, INIT)), frame(command(2, READ, version=2))),
    "command_repeated_sequence": session(PAIR, frame(command(1, INIT)), frame(command(1, READ))),
    "command_unknown": session(PAIR, frame(command(1, INIT)), frame(command(2, 9))),
    "build_before_read": session(PAIR, frame(command(1, BUILD)), frame(command(2, INIT))),
    "advance_without_model": session(ROW, frame(command(5, INIT)), frame(command(9, ADVANCE, dt=-1.0))),
    "facets_session": session(
        # worker_facets: region Mixed exports node 3 (particle 3), node 4 (the boundary
        # particle 4), node 1 (particle 1); region Skin exports facets only.
        FACETS, *prelude(),
        frame(command(5, IMPORT, step=1), [
            force(3, 1, 3, (0.0, 0.0, -1.0), state=ACTIVE, flags=5, normal=(0.0, 0.0, 1.0), gap=0.01),
            force(4, 2, 4, (1.0, 0.0, 0.0)),
            force(1, 3, 1, (0.0, 0.0, 2.0)),
        ]),
        frame(command(6, ADVANCE, dt=1.0e-6)), frame(command(7, EXPORT, step=2)), frame(command(8, STOP))),
}

# Inputs of faults found and fixed, replayed by ctest on every build.
regressions = {
    # The largest double passed the worker's finiteness check, which the coupling
    # interface then refused: the command failed as INTERNAL and the session ended.
    "largest_double_force": session(
        ROW, *prelude(),
        frame(command(5, IMPORT, step=1), [force(23, 1, 3, (LARGEST, 0.0, 0.0)), force(21, 2, 1, (0.0, 1.0, 0.0))]),
        frame(command(6, ADVANCE, dt=0.0625)), frame(command(7, STOP))),
    "largest_double_gap": session(
        SHELL, *prelude(),
        frame(command(5, IMPORT, step=1), [
            force(2, 1, 2, (0.0, 0.0, -1.0), state=ACTIVE, flags=5, normal=(0.0, 0.0, 1.0), gap=LARGEST),
            force(1, 2, 1, (0.0, 0.0, 1.0), state=ACTIVE, flags=5, normal=(0.0, 0.0, -LARGEST)),
        ]),
        frame(command(6, ADVANCE, dt=1.0e-6)), frame(command(7, STOP))),
    # Rows for all three reports, each opened locked and only then emptied; the force rows
    # of matched records and of records that name no exported particle. The command block
    # is the worker's own memory, which the size checks before every read and write pass.
    "reports_of_every_kind": session(
        REGIONS, *prelude(),
        frame(command(5, IMPORT, step=1),
              [force(2, 1, 2, (1.0, 0.0, 0.0)), force(4, 2, 4, (0.0, 1.0, 0.0)), force(7, 3, 9), force(0, 0, 0)]),
        frame(command(6, EXPORT, step=2)), frame(command(7, ADVANCE, dt=0.0625)), frame(command(8, STOP))),
    # A read refused for its version after rows were written: the refusal is acknowledged
    # (CONFLICT) in a block that is whole, not taken for a command block cut short.
    "refused_read_after_rows": session(
        REGIONS, *prelude(), frame(command(5, IMPORT, step=1), [force(2, 1, 2, (1.0, 0.0, 0.0))]),
        frame(command(6, ADVANCE, version=0))),
}

here = pathlib.Path(__file__).resolve().parent
for inputs, out in ((seeds, here / "corpus" / "worker"), (regressions, here / "regressions" / "worker")):
    out.mkdir(parents=True, exist_ok=True)
    for name, data in inputs.items():
        (out / name).write_bytes(data)
    print(f"{len(inputs)} inputs in {out}")
