#pragma once
// Codes of Vexa::DicomException raised by the reader and the series import, beside the
// dictionary's own (DicomException::Code).

namespace Vexa {

enum DicomErrorCode : int
{
    DicomTruncated = 20100,           // an element or header runs past the end of the data
    DicomMalformed = 20101,           // broken structure: delimiters, lengths, VR bytes, nesting
    DicomUnsupportedSyntax = 20102,   // a transfer syntax whose data set cannot be read
    DicomCompressedPixels = 20103,    // pixel data in a compressed transfer syntax
    DicomInvalidValue = 20104,        // a value with the wrong count or not a number
    DicomMissingTag = 20105,          // a tag an image needs is absent
    DicomUnsupportedImage = 20106,    // an image layout the import does not handle
    DicomInconsistentSeries = 20107,  // files of one series disagree
    DicomObliqueSeries = 20108,       // slices not aligned with the patient axes
    DicomIrregularSpacing = 20109,    // gaps or uneven slice distances
    DicomDuplicateSlice = 20110,      // two slices at the same position
    DicomVolumeTooLarge = 20111,      // the volume would exceed what can be allocated
    DicomFileUnreadable = 20112,      // a file cannot be opened or read
    DicomImportCancelled = 20113,     // the import was cancelled
    DicomNoFiles = 20114,             // nothing to import
    DicomImplausibleSpacing = 20115,  // a pixel or slice spacing no dental CT or CBCT has
};

}
