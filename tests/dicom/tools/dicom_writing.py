"""Shared by the fixture writers: a data set with its file meta header in a transfer syntax, and
standard elements rewritten as explicit UN, as some converters and anonymisers do (the value
becomes the element's implicit VR little endian bytes)."""
from pydicom.dataelem import DataElement
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.filebase import DicomBytesIO
from pydicom.filewriter import write_data_element
from pydicom.uid import ExplicitVRBigEndian, ImplicitVRLittleEndian


def new_dataset(sop_class, instance, syntax):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = instance
    meta.TransferSyntaxUID = syntax
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian = syntax != ExplicitVRBigEndian
    ds.is_implicit_VR = syntax == ImplicitVRLittleEndian
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = instance
    return ds


def implicit_bytes(elem):
    out = DicomBytesIO()
    out.is_little_endian = True
    out.is_implicit_VR = True
    write_data_element(out, elem)
    return out.getvalue()[8:]  # without the tag and the 32-bit length


def encode_as_un(ds, tags):
    for tag in tags:
        # Made as OB and renamed: pydicom would decode a UN value of a known tag at once.
        elem = DataElement(tag, "OB", implicit_bytes(ds[tag]))
        elem.VR = "UN"
        ds[tag] = elem

