#include "dicom/core/DicomException.h"
#include "dicom/dictionary/DicomDictionary.h"

#include <gtest/gtest.h>

using namespace Vexa;

TEST(DicomDictionary, BuildsOnFirstUse)
{
    EXPECT_EQ(&DicomDictionary::getInstance(), &DicomDictionary::getInstance());
}
