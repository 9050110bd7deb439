#pragma once
// The planned implants: their list (the order of the cross sections and of adding), the
// selection (in the order of selecting), the implant being dragged and the transform
// snapshot a group rotation starts from. Every change of the list, a pose or a group marks the
// planning as changed; selecting does not.
//
// Used from the GUI thread; a worker job (planning load) builds its implants apart and hands
// them over with `setImplants`.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class Implant;

class ImplantManager
{
public:
    using ImplantPtr = std::shared_ptr<Implant>;
    using ImplantList = std::vector<ImplantPtr>;
    using ImplantIterator = ImplantList::const_iterator;
    using SelectionList = std::list<ImplantPtr>;
    using SelectionIterator = SelectionList::const_iterator;
    using TransformSnapshot = std::vector<std::pair<ImplantPtr, Vexa::Matrix44<double>>>;

    static std::shared_ptr<ImplantManager> create();
    ImplantManager() = default;
    virtual ~ImplantManager();

    ImplantManager(const ImplantManager&) = delete;
    ImplantManager& operator=(const ImplantManager&) = delete;

    // The list.
    virtual ImplantIterator implantsBegin() const { return implants_.begin(); }
    virtual ImplantIterator implantsEnd() const { return implants_.end(); }
    virtual unsigned numberOfImplants() const { return static_cast<unsigned>(implants_.size()); }
    const ImplantList& getImplants() const { return implants_; }
    // 1-based position in the list; 0 when not in it (an empty pointer included).
    virtual unsigned getNumberOfImplant(ImplantPtr implant) const;
    // The implant with that 1-based number (as `getNumberOfImplant` gives it); empty for 0
    // and beyond the count.
    ImplantPtr getImplant(unsigned number) const;

    // List changes. `addImplant` appends (an implant already in the list is refused);
    // `removeImplant` also drops it from the selection and ends its transforming; `replaceImplant`
    // puts the replacement in the old one's place and selection state; `setImplants` replaces the
    // whole list (the selection keeps only implants still listed).
    void addImplant(ImplantPtr implant);
    void removeImplant(ImplantPtr implant);
    void replaceImplant(ImplantPtr old, ImplantPtr replacement);
    void setImplants(const ImplantList& implants);
    // Removes every implant, the selection, the transforming implant and the snapshot.
    void clear();

    // Picking. The first implant (list order) whose grown box contains the point: the box of
    // its surface in implant coordinates, x and y half-extents raised to at least distance / 2,
    // z grown by 1 mm at either end. An implant without surface uses its length and diameter.
    ImplantPtr getImplantNearPos(const Vexa::Vector3D& point, double distance) const;
    // As `getImplantNearPos`; a found implant becomes the whole selection.
    ImplantPtr selectImplantNearPos(const Vexa::Vector3D& position, const double maxDistance);
    // The implant whose axis passes nearest to the point, within searchDistance and with the
    // point's projection on the axis between -searchDistance and length + searchDistance from
    // the origin; the first in list order on ties; empty when none qualifies.
    ImplantPtr getNearestImplant(const Vexa::Vector3D& point, double searchDistance) const;

    // Selection.
    bool isImplantSelected(ImplantPtr implant) const;
    // Appends a listed implant to the selection (nothing for one already selected or not listed).
    void selectImplant(ImplantPtr implant);
    void unselectImplant(ImplantPtr implant);
    void unselectAll();
    virtual unsigned numberOfSelected() const { return static_cast<unsigned>(selection_.size()); }
    virtual SelectionIterator selectedBegin() const { return selection_.begin(); }
    SelectionIterator selectedEnd() const { return selection_.end(); }
    const SelectionList& getSelectedImplants() const { return selection_; }
    // Replaces the selection (implants not listed are skipped).
    void setSelection(const SelectionList& selection);

    // Dragging.
    ImplantPtr getTransformingImplant() const { return transforming_; }
    void setTransformingImplant(const ImplantPtr implant) { transforming_ = implant; }
    // Clears the snapshot, then stores (implant, transform) of every implant of the given one's
    // group, or of the implant alone when its group is 0.
    void prepareTransforming(ImplantPtr implant);
    const TransformSnapshot& getTransformSnapshot() const { return snapshot_; }
    // Rotates the implant, or every implant of its group when the group is not 0, by angle
    // (radians) about the axis, each about its own rotation point, from the current transforms.
    void rotateImplant(ImplantPtr implant, const Vexa::Vector3D& axis, const double angle);
    // Sets the implant's translation.
    void setImplantPosition(ImplantPtr implant, const Vexa::Vector3D& position);
    // Sets the implant's whole pose or group (commands restoring a state).
    void setImplantTransform(ImplantPtr implant, const Vexa::Matrix44<double>& transform);
    void setImplantGroup(ImplantPtr implant, unsigned group);
    // Gives every selected implant the rotation of the first selected one and one new common
    // group (1 + the largest group in use). Nothing with fewer than two selected implants.
    void setSelectedImplantsParallel();
    // The largest group number in use, 0 when none.
    unsigned getLargestGroup() const;

    // After a save: the implants name the copies of their descriptions (old file -> copy).
    // Implants that are not listed now (kept by undoable commands) are pointed at the copies
    // when they come back into the list; moves chain (a copy that moves again is followed).
    void relocateDescriptions(const std::map<std::string, std::string>& moved);
    // Where the description of that name is now (the name itself when it never moved).
    std::string locateDescription(const std::string& file) const;
    // Where the descriptions of every implant listed since the last `clear` are now: a save
    // carries them along too, for the implants that undo may bring back.
    std::vector<std::string> getKnownDescriptions() const;

    // Change tracking.
    bool hasChanged() const { return changed_; }
    void clearChangedState() { changed_ = false; }
    // Counts every change (also while unsaved); views and the cross sections compare it.
    unsigned long getChangeCount() const { return changeCount_; }

private:
    void markChanged();
    bool isListed(const ImplantPtr& implant) const;
    // Points the implant at its description's new place and remembers the description.
    void relocate(const ImplantPtr& implant);

    ImplantList implants_;
    SelectionList selection_;
    ImplantPtr transforming_;
    TransformSnapshot snapshot_;
    bool changed_ = false;
    unsigned long changeCount_ = 0;
    std::map<std::string, std::string> relocations_;
    std::vector<std::string> known_;
};
