#pragma once
// The DICOM data dictionary: one process-wide table from tag word to entry, plus an ordered list
// of entries for repeating groups and elements. It is built on first use and only read after
// that, so concurrent lookups need no lock.
#include "dicom/dictionary/DicomTag.h"
#include "dicom/dictionary/WildcardDicomTag.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Vexa {

class DicomDictionary
{
public:
    using EDicomTagValueRepresentation = ::Vexa::EDicomTagValueRepresentation;
    using TagMap = std::map<unsigned int, std::unique_ptr<DicomTag>>;
    using WildcardList = std::vector<std::unique_ptr<WildcardDicomTag>>;

    // The dictionary, built on the first call. A failed build raises its exception (a
    // DicomException keeps its code) and is tried again from the start on the next call.
    static DicomDictionary& getInstance();

    virtual ~DicomDictionary();
    DicomDictionary(const DicomDictionary&) = delete;
    DicomDictionary& operator=(const DicomDictionary&) = delete;

    // Lookups find the exact tag word in the map first, then the first matching wildcard entry.
    // The first VR of the tag's entry; DicomException 20008 when there is no entry.
    EDicomTagValueRepresentation getVR(unsigned int tagWord) const;
    // The VR at index of the entry's list, with count set to the list's length; DicomException
    // 20008 when there is no entry or index lies outside the list.
    EDicomTagValueRepresentation getVR(unsigned int tagWord, int& count, int index) const;
    bool isKnownTag(unsigned int tagWord) const noexcept;
    // The entry's version label, or "" when there is no entry.
    std::string getVersion(unsigned int tagWord) const noexcept;
    // The entry found as above, or null.
    const DicomTag* find(unsigned int tagWord) const noexcept;

    const TagMap& tags() const noexcept { return tags_; }
    const WildcardList& wildcards() const noexcept { return wildcards_; }

protected:
    struct Unfilled
    {
    };
    // Builds the full dictionary: the five fill steps in order; DicomException 20009 when one fails.
    DicomDictionary();
    // An empty dictionary whose steps are left to the caller.
    explicit DicomDictionary(Unfilled) noexcept;

    // Adds the entry under its tag word unless the tag word is present already; an existing entry
    // is never replaced (the rejected one is freed). True when the entry was added.
    bool insert(std::unique_ptr<DicomTag> entry);
    // Appends a wildcard entry at the end of the list; earlier entries keep their order.
    void append(std::unique_ptr<WildcardDicomTag> entry);
    // Appends vr to the VR list of the tag's entry (map first, then the first matching wildcard).
    // False, changing nothing, when no entry matches. A VR already listed is appended again.
    bool addValueRepresentation(unsigned int tagWord, EDicomTagValueRepresentation vr);

    bool fillPart1();
    bool fillPart2();
    bool fillPart3();
    bool fillPart4();
    bool fillPart5();

    // When set to 1..5, that fill step reports failure; lets the failure path be exercised.
    static inline std::atomic<int> failingStepForTests{0};

private:
    DicomTag* findEntry(unsigned int tagWord) const noexcept;
    void enter(unsigned int tagWord, const char* version, const char* name,
               std::initializer_list<EDicomTagValueRepresentation> vrs);
    void enterWildcard(unsigned int tagWord, unsigned int mask, const char* version, const char* name,
                       std::initializer_list<EDicomTagValueRepresentation> vrs);
    bool stepResult(int step) const noexcept;

    TagMap tags_;
    WildcardList wildcards_;
};

}
