#!/usr/bin/python3
"""Writes a tree of saved plannings for the planning list's tests:

  make_planning_tree.py <folder>

<folder>/patients holds plannings of several versions and devices, a newer one, the study dummy,
damaged ones (a missing key, a DICOM file no importer reads, a DICOM file outside its folder, an
unreadable implant count, an implant transform cut short, a series with a file missing),
names the list must skip (plan.SRL, plan.old.srl) and a symbolic link to a patient folder.
<folder>/incomplete holds a whole planning with an implant and a slice of pixels, and copies of it
that miss a file the load needs (an implant description, an implant surface) or whose slice is
empty or cut short. The DICOM files are written with pydicom.
"""
import os
import sys

import pydicom

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dicom_tree import write  # noqa: E402


def dicom(path, modality, model):
    write(path, "Test^Patient", "T1", "1", 1, "", modality=modality, model=model)


IDENTITY = "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1"


def pixel_slice(path, rows=64, columns=64):
    """A slice with its pixels (16 bits each); its size in bytes."""
    dicom(path, "CT", "Scanner")
    ds = pydicom.dcmread(path)
    ds.Rows, ds.Columns, ds.SamplesPerPixel, ds.PhotometricInterpretation = rows, columns, 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
    ds.PixelData = bytes(rows * columns * 2)
    ds["PixelData"].VR = "OW"
    ds.save_as(path, write_like_original=False)
    return os.path.getsize(path)


def implant(folder, name, surface="implant.sff", surface_text=b"an SFF surface"):
    with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
        f.write(f"[Implantdata]\nname = Test\ndiameter = 4\nlength = 10\nshoulder = 0\nsurfacefile = {surface}\n")
    if surface_text is not None:
        with open(os.path.join(folder, surface), "wb") as f:
            f.write(surface_text)


def planning(path, version, modified, name, birthday, region, implants, dicom_key_group, dicom_file, drop=None,
             implant_keys=None, image_keys=None):
    groups = {
        "Patient": {"name": name, "birthday": birthday, "id": "ID-" + name, "sex": "F"},
        "Planningdata": {"version": version, "lastModified": modified, "implantregion": str(region)},
        "Implant": {"implant": str(implants)},
    }
    for i in range(implants if isinstance(implants, int) else 0):
        groups["Implant"].update({f"file{i}": f"implant{i}.implant", f"group{i}": "0", f"transform{i}": IDENTITY})
    groups["Implant"].update(implant_keys or {})
    if dicom_file is not None:
        groups.setdefault(dicom_key_group, {})["dicomFile0"] = dicom_file
    groups.setdefault(dicom_key_group, {}).update(image_keys or {})
    if drop:
        del groups[drop[0]][drop[1]]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        for group, keys in groups.items():
            f.write(f"[{group}]\n")
            for key, value in keys.items():
                f.write(f"{key} = {value}\n")


def main():
    root = os.path.join(sys.argv[1], "patients")
    p = lambda *parts: os.path.join(root, *parts)
    os.makedirs(root, exist_ok=True)
    for folder, modality, model in [("Alpha", "CT", "Scanner"), ("Beta", "CT", "DVT 9000"), ("Gamma", "PX", "Pan")]:
        os.makedirs(p(folder), exist_ok=True)
        dicom(p(folder, "image.dcm"), modality, model)
    planning(p("Alpha", "plan.srl"), "2.0.9", "12/31/2004 10:00:00", "Alpha", "19650412", 2, 3, "ImageData", "image.dcm")
    planning(p("Beta", "plan.srl"), "1.8.0", "01/02/2005 09:00:00", "Beta", "1965", 0, 0, "Planningdata", "image.dcm")
    planning(p("Gamma", "plan.srl"), "1.9.0", "03/15/2003 08:00:00", "Gamma", "", 1, 1, "ImageData", "image.dcm")
    planning(p("Gamma", "short.srl"), "2.0.3", "12/31", "Short", "20010101", 0, 0, "ImageData", "image.dcm")
    planning(p("Newer", "plan.srl"), "2.1.0", "01/01/2006 00:00:00", "Newer", "", 1, 0, "ImageData", "x.dcm")
    planning(p("Dummy", "MorvantaStudyDummy.srl"), "P100.0.0", "01/01/2006 00:00:00", "Dummy", "", 0, 0, "ImageData",
             None)
    planning(p("Damaged", "missing.srl"), "2.0.3", "01/01/2006 00:00:00", "Missing", "", 0, 0, "ImageData",
             "x.dcm", drop=("Patient", "birthday"))
    with open(p("Damaged", "junk.dcm"), "wb") as f:
        f.write(b"not a DICOM file at all" * 10)
    planning(p("Damaged", "junk.srl"), "2.0.3", "01/01/2006 00:00:00", "Junk", "", 0, 0, "ImageData", "junk.dcm")
    planning(p("Damaged", "escape.srl"), "2.0.3", "01/01/2006 00:00:00", "Escape", "", 0, 0, "ImageData",
             "../Alpha/image.dcm")
    planning(p("Damaged", "count.srl"), "2.0.3", "01/01/2006 00:00:00", "Count", "", 0, "two", "ImageData",
             "junk.dcm")
    planning(p("Damaged", "cut.srl"), "2.0.3", "01/01/2006 00:00:00", "Cut", "", 0, 1, "ImageData",
             "junk.dcm", implant_keys={"transform0": "1 0 0 0 0 1 0 0 0 0 1"})
    os.makedirs(p("Partial"), exist_ok=True)
    dicom(p("Partial", "image0.dcm"), "CT", "Scanner")
    planning(p("Partial", "Partial.srl"), "2.0.3", "01/01/2006 00:00:00", "Partial", "", 0, 0, "ImageData",
             "image0.dcm", image_keys={"numberOfDicomFiles": "2", "dicomFile1": "image1.dcm"})
    for name in ["plan.SRL", "plan.old.srl"]:
        planning(p("Cases", name), "2.0.3", "01/01/2006 00:00:00", name, "", 0, 0, "ImageData", "../Alpha/image.dcm")
    os.symlink(p("Alpha"), p("Linked"))
    for i in range(3):
        implant(p("Alpha"), f"implant{i}.implant")
    implant(p("Gamma"), "implant0.implant")

    # Each folder is one planning named after it; "Whole" loads, the others lack what the name says.
    q = lambda *parts: os.path.join(sys.argv[1], "incomplete", *parts)
    for name in ["Whole", "NoDescription", "NoSurface", "EmptySurface", "EmptySlice", "CutSlice"]:
        os.makedirs(q(name))
        size = pixel_slice(q(name, "slice.dcm"))
        planning(q(name, name + ".srl"), "2.0.9", "01/01/2006 00:00:00", name, "", 2, 1, "ImageData", "slice.dcm")
        if name != "NoDescription":
            implant(q(name), "implant0.implant", surface_text={"NoSurface": None, "EmptySurface": b""}.get(name, b"x"))
        if name in ("EmptySlice", "CutSlice"):
            os.truncate(q(name, "slice.dcm"), 0 if name == "EmptySlice" else size // 2)


if __name__ == "__main__":
    main()
