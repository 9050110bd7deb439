"""Rewrites standard elements of a data set as explicit UN, as some converters and anonymisers
do: the value becomes the element's implicit VR little endian bytes."""
from pydicom.dataelem import DataElement
from pydicom.filebase import DicomBytesIO
from pydicom.filewriter import write_data_element


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

