#!/usr/bin/python3
"""Writes the sample patient: an axial CT series of a lower jaw with bone, teeth, a nerve canal and
six 3 mm marker balls, as ordinary DICOM files (explicit VR little endian, one file per slice).

usage: make_sample_patient.py OUTPUT_FOLDER [--markers FILE]

Patient coordinates are DICOM LPS millimetres (x to the left, y to the back, z to the head). The
marker balls sit on the reference marker geometry moved by one rigid transform above the teeth;
--markers writes their centres as JSON, both in patient coordinates and in volume millimetres
(the volume's voxel i covers [i * s, (i + 1) * s))."""
import argparse
import json
import math
import os

import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import CTImageStorage, ExplicitVRLittleEndian, generate_uid

NX, NY, NZ = 256, 256, 160
SPACING = 0.35
# Centre of voxel (0, 0, 0) in patient coordinates.
ORIGIN = np.array([-(NX - 1) * SPACING / 2, -(NY - 1) * SPACING / 2, 0.0])

REFERENCE_MARKERS = [(36.0, 26.7, 0.0), (4.1, -1.5, 0.0), (33.5, -25.2, 0.0),
                     (26.6, -19.0, 0.0), (19.6, 4.9, 0.0), (0.0, 11.7, 0.0)]
MARKER_RADIUS = 1.5
MARKER_HU = 3000

ARCH_RADIUS = 28.0          # the jaw's front is a half circle, its sides run backwards
ARCH_BACK = 22.0            # y where the sides end
BONE_HALF_WIDTH = 5.0
BONE_BOTTOM, BONE_TOP = 4.0, 28.0
CANAL_Z, CANAL_RADIUS = 12.0, 1.2
TOOTH_TOP = 38.0


def rotation(ax, ay, az):
    cx, sx, cy, sy, cz, sz = math.cos(ax), math.sin(ax), math.cos(ay), math.sin(ay), math.cos(az), math.sin(az)
    rx = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    ry = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    rz = np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
    return rz @ ry @ rx


def marker_centres():
    reference = np.array(REFERENCE_MARKERS)
    turn = rotation(math.radians(8), math.radians(-5), math.radians(200))
    moved = reference @ turn.T
    return moved - moved.mean(axis=0) + np.array([0.0, -4.0, 47.0])


def arch_distance(x, y):
    """Distance in the axial plane from the arch's centre line, and whether a point is beside it."""
    front = np.abs(np.hypot(x, y) - ARCH_RADIUS)
    side = np.abs(np.abs(x) - ARCH_RADIUS)
    beyond = np.hypot(np.abs(x) - ARCH_RADIUS, y - ARCH_BACK)
    return np.where(y < 0, front, np.where(y <= ARCH_BACK, side, beyond))


def tooth_centres():
    centres = []
    for degrees in range(-165, -10, 22):  # along the front half circle
        a = math.radians(degrees)
        centres.append((ARCH_RADIUS * math.cos(a), ARCH_RADIUS * math.sin(a)))
    for y in (5.0, 14.0):
        centres += [(-ARCH_RADIUS, y), (ARCH_RADIUS, y)]
    return centres


def slice_hu(z, x, y, markers, rng):
    hu = np.full(x.shape, -1000.0)
    head = (x / 44.0) ** 2 + ((y + 3.0) / 42.0) ** 2 < 1.0
    hu[head & (z < 42.0)] = 40.0
    d = arch_distance(x, y)
    if BONE_BOTTOM <= z <= BONE_TOP:
        bone = d < BONE_HALF_WIDTH
        cortex = bone & ((d > BONE_HALF_WIDTH - 1.5) | (z < BONE_BOTTOM + 1.5) | (z > BONE_TOP - 1.5))
        hu[bone] = 350.0
        hu[cortex] = 1500.0
        # The nerve canal runs inside the bone along the sides and the back of the front arch.
        canal = (np.hypot(d, z - CANAL_Z) < CANAL_RADIUS) & (y > -12.0)
        hu[canal] = 30.0
    for cx, cy in tooth_centres():
        r = np.hypot(x - cx, y - cy)
        if BONE_TOP - 10.0 <= z < BONE_TOP:
            hu[r < 2.0] = 1800.0           # root
        elif BONE_TOP <= z < TOOTH_TOP - 3.0:
            hu[r < 3.0] = 1800.0           # dentine
        elif TOOTH_TOP - 3.0 <= z < TOOTH_TOP:
            hu[r < 3.0 - (z - TOOTH_TOP + 3.0) * 0.4] = 2500.0  # enamel crown
    hu += rng.normal(0.0, 15.0, hu.shape)
    for centre in markers:
        dz = z - centre[2]
        if abs(dz) < MARKER_RADIUS:
            hu[(x - centre[0]) ** 2 + (y - centre[1]) ** 2 + dz * dz < MARKER_RADIUS ** 2] = MARKER_HU
    return hu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--markers")
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)

    markers = marker_centres()
    for centre in markers:
        index = (centre - ORIGIN) / SPACING
        if np.any(index < 3) or np.any(index > np.array([NX, NY, NZ]) - 4):
            raise SystemExit("marker ball outside the volume")

    rng = np.random.default_rng(20240611)
    x1 = ORIGIN[0] + SPACING * np.arange(NX)
    y1 = ORIGIN[1] + SPACING * np.arange(NY)
    x, y = np.meshgrid(x1, y1)  # rows run along y, columns along x
    study, series, frame = generate_uid(), generate_uid(), generate_uid()
    for k in range(NZ):
        z = ORIGIN[2] + SPACING * k
        hu = slice_hu(z, x, y, markers, rng)
        stored = np.clip(np.round(hu + 1024.0), 0, 4095).astype(np.uint16)

        meta = FileMetaDataset()
        meta.MediaStorageSOPClassUID = CTImageStorage
        meta.MediaStorageSOPInstanceUID = generate_uid()
        meta.TransferSyntaxUID = ExplicitVRLittleEndian
        ds = Dataset()
        ds.file_meta = meta
        ds.is_little_endian = True
        ds.is_implicit_VR = False
        ds.SpecificCharacterSet = "ISO_IR 100"
        ds.ImageType = ["ORIGINAL", "PRIMARY", "AXIAL"]
        ds.SOPClassUID = CTImageStorage
        ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
        ds.StudyDate = "20240611"
        ds.StudyTime = "093000"
        ds.Modality = "CT"
        ds.Manufacturer = "Morvanta"
        ds.ManufacturerModelName = "Sample Patient Generator"
        ds.PatientName = "Sample^Patient"
        ds.PatientID = "SAMPLE0001"
        ds.PatientBirthDate = "19650412"
        ds.PatientSex = "F"
        ds.SliceThickness = f"{SPACING:g}"
        ds.KVP = "120"
        ds.StudyInstanceUID = study
        ds.SeriesInstanceUID = series
        ds.FrameOfReferenceUID = frame
        ds.StudyID = "1"
        ds.SeriesNumber = 2
        ds.InstanceNumber = k + 1
        ds.ImagePositionPatient = [f"{v:.4f}" for v in (ORIGIN[0], ORIGIN[1], z)]
        ds.ImageOrientationPatient = ["1", "0", "0", "0", "1", "0"]
        ds.SamplesPerPixel = 1
        ds.PhotometricInterpretation = "MONOCHROME2"
        ds.Rows = NY
        ds.Columns = NX
        ds.PixelSpacing = [f"{SPACING:g}", f"{SPACING:g}"]
        ds.BitsAllocated = 16
        ds.BitsStored = 12
        ds.HighBit = 11
        ds.PixelRepresentation = 0
        ds.RescaleIntercept = "-1024"
        ds.RescaleSlope = "1"
        ds.WindowCenter = "400"
        ds.WindowWidth = "2000"
        ds.PixelData = stored.tobytes()
        ds.save_as(os.path.join(args.folder, f"CT{k:04d}.dcm"), write_like_original=False)

    if args.markers:
        volume_mm = markers - ORIGIN + SPACING / 2
        with open(args.markers, "w") as out:
            json.dump({"patient": markers.tolist(), "volume": volume_mm.tolist(),
                       "dims": [NX, NY, NZ], "spacing": [SPACING] * 3, "radius": MARKER_RADIUS}, out, indent=1)


if __name__ == "__main__":
    main()
