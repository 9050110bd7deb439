// Any bytes given to the DICOM header reader and the element parser must end in a result or a
// DicomException: no crash, no other exception, no allocation driven by a length field.
#include "dicom/core/DicomException.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomParser.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Vexa::UniversalImporter importer;
    try {
        importer.readInformation(data, size, "fuzz input");
    } catch (const Vexa::DicomException&) {
    }
    try {
        Vexa::DicomParser parser(data, size, "fuzz input", importer.vrResolver());
        if (importer.jumpToHeader(parser)) {
            Vexa::DicomElement element;
            std::string text;
            while (importer.readDicomTag(parser, element, text))
                if (element.valueOffset + element.valueLength > size)
                    std::abort();
        }
    } catch (const Vexa::DicomException&) {
    }
    return 0;
}
