#!/usr/bin/python3
"""Writes DICOM fixtures into the folder given as the argument, for each of the three uncompressed
transfer syntaxes: files whose nested sequences hold every standard tag that allows several VRs,
each written in one of its VRs (file k uses the k-th), beside top-level elements of every common
VR; in the explicit syntaxes, further standard top-level elements are written as UN. File k holds
the same data set in every syntax. (pydicom 2.3 reads binary UN values of a big-endian file in
the wrong byte order, so the big-endian files are checked against their little-endian twins.)"""
import os
import sys

from pydicom.datadict import DicomDictionary
from pydicom.dataelem import DataElement
from pydicom.dataset import Dataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRBigEndian, ExplicitVRLittleEndian, ImplicitVRLittleEndian, generate_uid

from dicom_writing import encode_as_un, new_dataset

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)

# Current (not retired) tags whose VR the standard leaves open, pixel data aside.
MULTI = sorted(tag for tag, entry in DicomDictionary.items()
               if " or " in entry[0] and entry[3] == "" and tag != 0x7FE00010)
ALTERNATIVES = max(len(DicomDictionary[tag][0].split(" or ")) for tag in MULTI)


def value_for(vr):
    if vr == "US":
        return [7, 65000]
    if vr == "SS":
        return [-7, 300]
    return b"\x01\x02\x03\x04"  # OB, OW


def multi_item(k):
    item = Dataset()
    for tag in MULTI:
        vrs = DicomDictionary[tag][0].split(" or ")
        vr = vrs[k % len(vrs)]
        item.add(DataElement(tag, vr, value_for(vr)))
    return item


def nested(k):
    # Referenced Image Sequence > item > VOI LUT Sequence > items with every open-VR tag.
    inner = Dataset()
    inner.ReferencedSOPInstanceUID = "1.2.3.4"
    inner.VOILUTSequence = Sequence([multi_item(k), multi_item(k + 1)])
    inner.add(DataElement(0x00283006, "OW" if k % 2 else "US", value_for("OW" if k % 2 else "US")))
    return Sequence([inner, multi_item(k)])


SYNTAXES = {"implicit": ImplicitVRLittleEndian, "explicit": ExplicitVRLittleEndian, "big": ExplicitVRBigEndian}
# Written as UN in the explicit files: standard tags of many VRs, some with several values.
UN_TAGS = [0x00080060, 0x00100010, 0x00100030, 0x00281052, 0x00281053, 0x00280030, 0x00200013, 0x00280010,
           0x00181310, 0x00189087, 0x00209165, 0x00186020, 0x00080018, 0x00181041, 0x00080080]

INSTANCES = [generate_uid() for k in range(ALTERNATIVES)]  # one data set in every syntax
for name, syntax in SYNTAXES.items():
    for k in range(ALTERNATIVES):
        ds = new_dataset("1.2.840.10008.5.1.4.1.1.7", INSTANCES[k], syntax)
        ds.file_meta.FileMetaInformationVersion = b"\x00\x01"
        ds.Modality = "OT"
        ds.InstitutionName = "Morvanta fixtures"
        ds.PatientName = "Fixture^Nested"
        ds.PatientBirthDate = "19700101"
        ds.StudyTime = "101010.5"
        ds.ContrastBolusIngredientConcentration = "12.5"
        ds.InstanceNumber = "17"
        ds.Rows = 4
        ds.Columns = 2
        ds.AcquisitionMatrix = [0, 256, 256, 0]
        ds.ReferencePixelX0 = -12
        ds.DiffusionBValue = 1000.25
        ds.add(DataElement(0x00189089, "FD", [0.0, 0.5, -1.0]))  # Diffusion Gradient Orientation
        ds.add(DataElement(0x00209165, "AT", [0x00209056, 0x00209057]))  # Dimension Index Pointer
        ds.add(DataElement(0x00189219, "FL", [2.5]))
        ds.add(DataElement(0x00180088, "DS", "0.75"))
        ds.add(DataElement(0x00081010, "SH", "station"))
        ds.add(DataElement(0x00204000, "LT", "long text\\with a backslash"))
        ds.ReferencedImageSequence = nested(k)
        ds.CTAcquisitionTypeSequence = Sequence([Dataset()])  # an empty item
        if syntax != ImplicitVRLittleEndian:
            ds.add(DataElement(0x00181041, "DS", "3.5\\4"))
            ds.add(DataElement(0x00200013, "IS", "17"))
            ds.add(DataElement(0x00281052, "DS", "-1024"))
            ds.add(DataElement(0x00281053, "DS", "1"))
            ds.add(DataElement(0x00280030, "DS", ["0.5", "0.25"]))
            encode_as_un(ds, [tag for tag in UN_TAGS if tag in ds])
        ds.save_as(os.path.join(folder, f"vr_{name}_{k}.dcm"), write_like_original=False)
