#!/usr/bin/python3
"""Opens a PVD collection and its VTU files with VTK's own XML readers and checks
what a viewer would see. Exits 77 (skipped) when VTK is not installed.

usage: vtk_read_check.py collection.pvd EXPECTATIONS
EXPECTATIONS is a Python expression (nan and inf allowed): {"times": [...], "steps": {file: {"points": n,
"arrays": {name: [tuples...]}}}}; values agree to 1e-15 relative."""
import math
import os
import sys

try:
    import vtk
    from vtkmodules.vtkIOXMLParser import vtkXMLDataParser
except ImportError:
    print("vtk is not available: skipped")
    sys.exit(77)


def watch(reader):
    """Collects every warning and error VTK reports while reading."""
    seen = []

    def on_event(obj, event):
        seen.append(event)

    for event in ("ErrorEvent", "WarningEvent"):
        reader.AddObserver(event, on_event)
    return seen


def close(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    if math.isinf(a) or math.isinf(b):
        return a == b
    return a == b or abs(a - b) <= 1e-15 * max(abs(a), abs(b))


def main():
    pvd_path, expect_text = sys.argv[1], sys.argv[2]
    expect = eval(expect_text, {"__builtins__": {}}, {"nan": math.nan, "inf": math.inf})
    failures = []
    # Keep VTK's messages out of a window and count them instead.
    out = vtk.vtkStringOutputWindow()
    vtk.vtkOutputWindow.SetInstance(out)

    # The collection through VTK's XML data parser, as the PVD readers of
    # viewers use it: VTKFile of type Collection, one DataSet per step.
    parser = vtkXMLDataParser()
    problems = watch(parser)
    parser.SetFileName(pvd_path)
    root = parser.GetRootElement() if parser.Parse() else None
    times, files = [], []
    if root is None or root.GetName() != "VTKFile" or root.GetAttribute("type") != "Collection":
        failures.append("%s is not a VTK collection" % pvd_path)
    else:
        collection = root.FindNestedElementWithName("Collection")
        for k in range(collection.GetNumberOfNestedElements() if collection else 0):
            entry = collection.GetNestedElement(k)
            if entry.GetName() == "DataSet":
                times.append(float(entry.GetAttribute("timestep")))
                files.append(entry.GetAttribute("file"))
    if len(times) != len(expect["times"]) or not all(close(a, b) for a, b in zip(times, expect["times"])):
        failures.append("time steps %r, expected %r" % (times, expect["times"]))
    if sorted(files) != sorted(expect["steps"]):
        failures.append("data sets %r, expected %r" % (files, sorted(expect["steps"])))
    if problems:
        failures.append("collection parser reported %r: %s" % (problems, out.GetOutput()))

    base = os.path.dirname(pvd_path)
    for name, want in expect["steps"].items():
        reader = vtk.vtkXMLUnstructuredGridReader()
        problems = watch(reader)
        reader.SetFileName(os.path.join(base, name))
        reader.Update()
        grid = reader.GetOutput()
        if problems:
            failures.append("%s: reader reported %r: %s" % (name, problems, out.GetOutput()))
            continue
        if grid.GetNumberOfPoints() != want["points"] or grid.GetNumberOfCells() != want["points"]:
            failures.append("%s: %d points, %d cells, expected %d" % (
                name, grid.GetNumberOfPoints(), grid.GetNumberOfCells(), want["points"]))
        for c in range(grid.GetNumberOfCells()):
            if grid.GetCellType(c) != vtk.VTK_VERTEX:
                failures.append("%s: cell %d is not a vertex" % (name, c))
        for array_name, tuples in want["arrays"].items():
            if array_name == "Points":
                data = grid.GetPoints().GetData()
            else:
                data = grid.GetPointData().GetArray(array_name)
            if data is None:
                failures.append("%s: no array %s" % (name, array_name))
                continue
            got = [data.GetTuple(i) for i in range(data.GetNumberOfTuples())]
            if len(got) != len(tuples) or not all(
                    len(g) == len(t) and all(close(a, b) for a, b in zip(g, t)) for g, t in zip(got, tuples)):
                failures.append("%s: %s is %r, expected %r" % (name, array_name, got, tuples))
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print("VTK read %s and %d VTU files as expected" % (pvd_path, len(expect["steps"])))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
