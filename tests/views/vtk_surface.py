#!/usr/bin/python3
"""VTK as the outside renderer of the 3D view: the surface of a CT series drawn by
vtkPolyDataMapper through the camera our view reports.

  vtk_surface.py iou SERIES ISO W H EX EY EZ CX CY CZ UX UY UZ SCREEN_X SCREEN_Y
      grabs our view's window from the X screen ($DISPLAY), draws VTK's own surface of the
      series at the iso value with the same camera and size, and prints
      "iou I shifted S triangles T": the intersection over union of the non-black pixels, the
      same with VTK's picture moved 6 pixels (what a small misplacement costs), and the
      triangle count of VTK's surface.

The volume is laid out as our importer lays it out (DICOM LPS, voxel centres at (i + 0.5) *
spacing, values HU + 1000 clamped to 0..4095) and padded with one empty layer so that the
surface closes at the border as ours does.
"""
import glob
import os
import sys

import numpy as np
import pydicom
import vtk
from vtk.util import numpy_support


def load_series(folder):
    slices = [pydicom.dcmread(f) for f in sorted(glob.glob(os.path.join(folder, "*")))]
    slices.sort(key=lambda d: float(d.ImagePositionPatient[2]))
    voxels = np.stack([d.pixel_array.astype(np.float64) * float(d.RescaleSlope) + float(d.RescaleIntercept)
                       for d in slices])
    voxels = np.clip(voxels + 1000.0, 0, 4095).astype(np.uint16)
    row, column = (float(v) for v in slices[0].PixelSpacing)
    dz = (float(slices[-1].ImagePositionPatient[2]) - float(slices[0].ImagePositionPatient[2])) / (len(slices) - 1)
    return np.pad(voxels, 1), (column, row, dz)


def surface(folder, iso, target=None):
    """VTK's iso-surface of the series; reduced to about `target` triangles when given."""
    voxels, spacing = load_series(folder)
    image = vtk.vtkImageData()
    image.SetDimensions(voxels.shape[2], voxels.shape[1], voxels.shape[0])
    image.SetSpacing(*spacing)
    image.SetOrigin(*(-0.5 * s for s in spacing))  # padding layer, then voxel centres
    image.GetPointData().SetScalars(numpy_support.numpy_to_vtk(voxels.ravel(), deep=True,
                                                               array_type=vtk.VTK_UNSIGNED_SHORT))
    cubes = vtk.vtkMarchingCubes()
    cubes.SetInputData(image)
    cubes.SetValue(0, iso - 0.5)  # ours: a voxel at the iso value is inside
    cubes.ComputeNormalsOn()
    cubes.Update()
    mesh = cubes.GetOutput()
    if target and mesh.GetNumberOfPolys() > target:
        decimate = vtk.vtkQuadricDecimation()
        decimate.SetInputData(mesh)
        decimate.SetTargetReduction(1.0 - target / mesh.GetNumberOfPolys())
        normals = vtk.vtkPolyDataNormals()
        normals.SetInputConnection(decimate.GetOutputPort())
        normals.Update()
        mesh = normals.GetOutput()
    return mesh


def window(mesh, size, camera):
    """An offscreen render window drawing the mesh with the camera (eye, centre, up)."""
    mapper = vtk.vtkPolyDataMapper()
    mapper.SetInputData(mesh)
    mapper.ScalarVisibilityOff()
    actor = vtk.vtkActor()
    actor.SetMapper(mapper)
    actor.GetProperty().SetAmbient(0.2)  # no surface pixel ends up black
    renderer = vtk.vtkRenderer()
    renderer.AddActor(actor)
    renderer.SetBackground(0, 0, 0)
    c = renderer.GetActiveCamera()
    c.SetPosition(*camera[0:3])
    c.SetFocalPoint(*camera[3:6])
    c.SetViewUp(*camera[6:9])
    c.SetViewAngle(45.0)
    c.SetClippingRange(1.0, 10000.0)
    render_window = vtk.vtkRenderWindow()
    render_window.SetOffScreenRendering(1)
    render_window.SetMultiSamples(0)
    render_window.AddRenderer(renderer)
    render_window.SetSize(*size)
    return render_window


def picture(render_window):
    render_window.Render()
    grab = vtk.vtkWindowToImageFilter()
    grab.SetInput(render_window)
    grab.ReadFrontBufferOff()
    grab.Update()
    w, h, _ = grab.GetOutput().GetDimensions()
    rgb = numpy_support.vtk_to_numpy(grab.GetOutput().GetPointData().GetScalars()).reshape(h, w, -1)[:, :, :3]
    return rgb[::-1]  # rows from the top, as on the screen


def iou(a, b):
    return np.logical_and(a, b).sum() / max(np.logical_or(a, b).sum(), 1)


def main():
    if len(sys.argv) != 17 or sys.argv[1] != "iou":
        sys.exit(__doc__)
    from PIL import ImageGrab
    folder, iso = sys.argv[2], int(sys.argv[3])
    w, h = int(sys.argv[4]), int(sys.argv[5])
    camera = [float(v) for v in sys.argv[6:15]]
    x, y = int(sys.argv[15]), int(sys.argv[16])
    ours = np.asarray(ImageGrab.grab(xdisplay=os.environ["DISPLAY"]).convert("RGB").crop((x, y, x + w, y + h)))
    mesh = surface(folder, iso)
    theirs = picture(window(mesh, (w, h), camera))
    a, b = ours.max(axis=2) > 0, theirs.max(axis=2) > 0
    print("iou %.4f shifted %.4f triangles %d" % (iou(a, b), iou(a, np.roll(b, 6, axis=1)), mesh.GetNumberOfPolys()))


if __name__ == "__main__":
    main()
