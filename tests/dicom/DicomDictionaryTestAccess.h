#pragma once
// Opens the dictionary's construction to the tests: an empty dictionary whose fill steps run one
// at a time, a fully built private dictionary, and the entry operations.
#include "dicom/dictionary/DicomDictionary.h"

namespace DicomTestSupport {

class TestDictionary : public Vexa::DicomDictionary
{
public:
    TestDictionary() = default;
    explicit TestDictionary(Unfilled) noexcept : DicomDictionary(Unfilled{}) {}

    bool runStep(int step)
    {
        switch (step)
        {
        case 1: return fillPart1();
        case 2: return fillPart2();
        case 3: return fillPart3();
        case 4: return fillPart4();
        case 5: return fillPart5();
        default: return false;
        }
    }
    using DicomDictionary::Unfilled;
    using DicomDictionary::addValueRepresentation;
    using DicomDictionary::append;
    using DicomDictionary::failingStepForTests;
    using DicomDictionary::insert;
};

inline unsigned int tag(unsigned int group, unsigned int element)
{
    return Vexa::DicomTag::tagWord(static_cast<std::uint16_t>(group), static_cast<std::uint16_t>(element));
}

}
