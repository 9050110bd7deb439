"""The 3D section of bench/compare-views: the sample patient's surface at iso 1200, reduced as
the Model reduces it, painted whole at 800 x 600 by our 3D view (bench_view3d_paint) and by
VTK's vtkPolyDataMapper drawing the very same mesh through the view's reset camera, in the
same X server in the same run. Each frame is read back on both sides, so each is finished
before the next. Also reports the part count and part time the view's navigation adaptation
settles on (its band: 15 to 30 ms a part)."""
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import vtk
from vtk.util import numpy_support

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "tests", "views"))
import vtk_surface  # noqa: E402


def read_sffbin(path):
    data = open(path, "rb").read()
    if data[:8] != b"SFFBIN\0\0":
        raise ValueError(path + " is no SFFBin file")
    _, vertices, triangles, flags = np.frombuffer(data, "<u4", 4, 8)
    at = 24
    positions = np.frombuffer(data, "<f4", 3 * vertices, at).reshape(-1, 3)
    at += 12 * vertices
    normals = None
    if flags & 1:
        normals = np.frombuffer(data, "<f4", 3 * vertices, at).reshape(-1, 3)
        at += 12 * vertices
    indices = np.frombuffer(data, "<u4", 3 * triangles, at).reshape(-1, 3)
    return positions, normals, indices


def poly_data(positions, normals, indices):
    mesh = vtk.vtkPolyData()
    points = vtk.vtkPoints()
    points.SetData(numpy_support.numpy_to_vtk(positions, deep=True))
    mesh.SetPoints(points)
    cells = np.hstack([np.full((len(indices), 1), 3, np.int64), indices.astype(np.int64)]).ravel()
    polys = vtk.vtkCellArray()
    polys.SetCells(len(indices), numpy_support.numpy_to_vtkIdTypeArray(cells, deep=True))
    mesh.SetPolys(polys)
    if normals is not None:
        mesh.GetPointData().SetNormals(numpy_support.numpy_to_vtk(normals, deep=True))
    return mesh


def compare(build, frames=30):
    subprocess.run(["cmake", "--build", build, "--target", "bench_view3d_paint"], check=True,
                   stdout=subprocess.DEVNULL)
    program = os.path.join(build, "bench", "bench_view3d_paint")
    with tempfile.TemporaryDirectory(prefix="compare-views-3d-") as tmp:
        surface = os.path.join(tmp, "surface.sff")
        subprocess.run([program, "--write-surface", surface], check=True, capture_output=True)
        positions, normals, indices = read_sffbin(surface)
        result = subprocess.run([program, "--benchmark_format=json"], check=True, capture_output=True, text=True)
    ours = {b["name"].split("/")[0]: b for b in json.loads(result.stdout)["benchmarks"]}

    lo, hi = positions.min(axis=0).astype(float), positions.max(axis=0).astype(float)
    centre = lo + (hi - lo) / 2
    eye = centre - np.array([0.0, 200.0, 0.0])
    camera = list(eye) + list(eye + np.array([0.0, 1.0, 0.0])) + [0.0, 0.0, 1.0]
    render_window = vtk_surface.window(poly_data(positions, normals, indices), (800, 600), camera)
    vtk_surface.picture(render_window)
    start = time.perf_counter()
    for _ in range(frames):
        vtk_surface.picture(render_window)
    vtk_ms = (time.perf_counter() - start) / frames * 1e3

    full = ours["FullPaint"]["real_time"]
    ratio = full / vtk_ms
    progressive = ours["ProgressivePaint"]
    print(f"\n3D view: sample surface at iso 1200, {len(indices)} triangles, 800 x 600, one picture a paint")
    print(f"{'':10}{'ours (ms)':>11}{'VTK (ms)':>10}{'ratio':>8}{'target':>9}")
    print(f"{'frame':10}{full:11.2f}{vtk_ms:10.2f}{ratio:8.3f}{'<= 1':>9}  {'met' if ratio <= 1.0 else 'MISSED'}")
    print(f"navigation, camera adjustment: {int(progressive['passes'])} part(s) a picture, "
          f"{progressive['part_ms']:.1f} ms a part (band 15 to 30 ms; 1 part is the floor)")
    return ratio <= 1.0
