#include "dicom/dictionary/DicomDictionary.h"

#include "dicom/core/DicomException.h"
#include "vexa/core/ExceptionStack.h"


namespace Vexa {

DicomDictionary& DicomDictionary::getInstance() try
{
    // A function-local static is built under the compiler's guard, so two threads asking at once
    // get one dictionary; when the build throws nothing is recorded and the next call starts anew.
    static DicomDictionary instance;
    return instance;
}
VEXA_RETHROW

DicomDictionary::DicomDictionary() try
{
    // A failure leaves tags_ and wildcards_ to be destroyed with the entries they already hold.
    if (!stepResult(1) || !fillPart1())
        throw DicomException(DicomException::DictionaryFillFailed, "dictionary fill step 1 failed");
    if (!stepResult(2) || !fillPart2())
        throw DicomException(DicomException::DictionaryFillFailed, "dictionary fill step 2 failed");
    if (!stepResult(3) || !fillPart3())
        throw DicomException(DicomException::DictionaryFillFailed, "dictionary fill step 3 failed");
    if (!stepResult(4) || !fillPart4())
        throw DicomException(DicomException::DictionaryFillFailed, "dictionary fill step 4 failed");
    if (!stepResult(5) || !fillPart5())
        throw DicomException(DicomException::DictionaryFillFailed, "dictionary fill step 5 failed");
}
VEXA_RETHROW

DicomDictionary::DicomDictionary(Unfilled) noexcept
{
}

DicomDictionary::~DicomDictionary()
{
    // Entries go in key order, then in list order; a plain clear() would leave the map's order to
    // the tree's layout.
    for (auto& [key, entry] : tags_)
        entry.reset();
    for (auto& entry : wildcards_)
        entry.reset();
    wildcards_.clear();
    tags_.clear();
}

bool DicomDictionary::stepResult(int step) const noexcept
{
    return failingStepForTests.load(std::memory_order_relaxed) != step;
}

bool DicomDictionary::insert(std::unique_ptr<DicomTag> entry) try
{
    const unsigned int key = entry->tagWord();
    return tags_.try_emplace(key, std::move(entry)).second;
}
VEXA_RETHROW

void DicomDictionary::append(std::unique_ptr<WildcardDicomTag> entry) try
{
    wildcards_.push_back(std::move(entry));
}
VEXA_RETHROW

DicomTag* DicomDictionary::findEntry(unsigned int tagWord) const noexcept
{
    if (const auto it = tags_.find(tagWord); it != tags_.end())
        return it->second.get();
    for (const auto& wildcard : wildcards_)
    {
        if (wildcard->matches(tagWord))
            return wildcard.get();
    }
    return nullptr;
}

const DicomTag* DicomDictionary::find(unsigned int tagWord) const noexcept
{
    return findEntry(tagWord);
}

bool DicomDictionary::addValueRepresentation(unsigned int tagWord, EDicomTagValueRepresentation vr) try
{
    DicomTag* entry = findEntry(tagWord);
    if (!entry)
        return false;
    entry->addValueRepresentation(vr);
    return true;
}
VEXA_RETHROW

DicomDictionary::EDicomTagValueRepresentation DicomDictionary::getVR(unsigned int tagWord) const try
{
    const DicomTag* entry = findEntry(tagWord);
    if (!entry)
        throw DicomException(DicomException::UnknownTag, "no dictionary entry for tag " + DicomTag::text(tagWord));
    return entry->valueRepresentation();
}
VEXA_RETHROW

DicomDictionary::EDicomTagValueRepresentation DicomDictionary::getVR(unsigned int tagWord, int& count,
                                                                     int index) const try
{
    const DicomTag* entry = findEntry(tagWord);
    if (!entry)
        throw DicomException(DicomException::UnknownTag, "no dictionary entry for tag " + DicomTag::text(tagWord));
    const auto& vrs = entry->valueRepresentations();
    count = static_cast<int>(vrs.size());
    if (index < 0 || index >= count)
        throw DicomException(DicomException::UnknownTag, "VR index " + std::to_string(index) + " outside the " +
                                                             std::to_string(count) + " VRs of tag " +
                                                             DicomTag::text(tagWord));
    return vrs[static_cast<std::size_t>(index)];
}
VEXA_RETHROW

bool DicomDictionary::isKnownTag(unsigned int tagWord) const noexcept
{
    return findEntry(tagWord) != nullptr;
}

std::string DicomDictionary::getVersion(unsigned int tagWord) const noexcept
{
    try
    {
        const DicomTag* entry = findEntry(tagWord);
        return entry ? entry->version() : std::string();
    }
    catch (...)
    {
        // Only a failed copy can get here; the caller is promised no exception.
        return {};
    }
}

void DicomDictionary::enter(unsigned int tagWord, const char* version, const char* name,
                            std::initializer_list<EDicomTagValueRepresentation> vrs)
{
    auto it = vrs.begin();
    insert(std::make_unique<DicomTag>(tagWord, *it, name, version));
    for (++it; it != vrs.end(); ++it)
        addValueRepresentation(tagWord, *it);
}

void DicomDictionary::enterWildcard(unsigned int tagWord, unsigned int mask, const char* version, const char* name,
                                    std::initializer_list<EDicomTagValueRepresentation> vrs)
{
    auto it = vrs.begin();
    append(std::make_unique<WildcardDicomTag>(tagWord, mask, *it, name, version));
    for (++it; it != vrs.end(); ++it)
        addValueRepresentation(tagWord, *it);
}

// The tables: each line is one entry (tag, version, name, VRs with the entry's own VR first),
// one wildcard entry (tag, mask, version, name, VRs) or one further VR for an entry made earlier.
#define DICT_ENTRY(group, element, version, name, ...) \
    enter(DicomTag::tagWord(group, element), version, name, {__VA_ARGS__});
#define DICT_WILDCARD(group, element, mask, version, name, ...) \
    enterWildcard(DicomTag::tagWord(group, element), mask, version, name, {__VA_ARGS__});
#define DICT_ADD_VR(group, element, vr) addValueRepresentation(DicomTag::tagWord(group, element), vr);

bool DicomDictionary::fillPart1() try
{
    using enum ::Vexa::EDicomTagValueRepresentation;
#include "dicom/dictionary/DicomDictionaryStep1.def"
    return true;
}
VEXA_RETHROW

bool DicomDictionary::fillPart2() try
{
    using enum ::Vexa::EDicomTagValueRepresentation;
#include "dicom/dictionary/DicomDictionaryStep2.def"
    return true;
}
VEXA_RETHROW

bool DicomDictionary::fillPart3() try
{
    using enum ::Vexa::EDicomTagValueRepresentation;
#include "dicom/dictionary/DicomDictionaryStep3.def"
    return true;
}
VEXA_RETHROW

bool DicomDictionary::fillPart4() try
{
    using enum ::Vexa::EDicomTagValueRepresentation;
#include "dicom/dictionary/DicomDictionaryStep4.def"
    return true;
}
VEXA_RETHROW

bool DicomDictionary::fillPart5() try
{
    using enum ::Vexa::EDicomTagValueRepresentation;
#include "dicom/dictionary/DicomDictionaryStep5.def"
    return true;
}
VEXA_RETHROW

#undef DICT_ENTRY
#undef DICT_WILDCARD
#undef DICT_ADD_VR

}
