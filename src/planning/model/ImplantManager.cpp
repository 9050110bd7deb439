#include "planning/model/ImplantManager.h"

#include "planning/objects/Implant.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <algorithm>
#include <cmath>
#include <limits>

using Vexa::Matrix44;
using Vexa::Vector3D;

std::shared_ptr<ImplantManager> ImplantManager::create()
{
    return std::make_shared<ImplantManager>();
}

ImplantManager::~ImplantManager() = default;

void ImplantManager::markChanged()
{
    changed_ = true;
    ++changeCount_;
}

bool ImplantManager::isListed(const ImplantPtr& implant) const
{
    return implant && std::find(implants_.begin(), implants_.end(), implant) != implants_.end();
}

unsigned ImplantManager::getNumberOfImplant(ImplantPtr implant) const try
{
    if (!implant)
        return 0;
    const auto it = std::find(implants_.begin(), implants_.end(), implant);
    return it == implants_.end() ? 0u : static_cast<unsigned>(it - implants_.begin()) + 1u;
}
VEXA_RETHROW

ImplantManager::ImplantPtr ImplantManager::getImplant(unsigned number) const try
{
    if (number == 0 || number > implants_.size())
        return nullptr;
    return implants_[number - 1];
}
VEXA_RETHROW

void ImplantManager::addImplant(ImplantPtr implant) try
{
    if (!implant || isListed(implant))
        return;
    relocate(implant);
    implants_.push_back(std::move(implant));
    markChanged();
}
VEXA_RETHROW

void ImplantManager::removeImplant(ImplantPtr implant) try
{
    const auto it = std::find(implants_.begin(), implants_.end(), implant);
    if (!implant || it == implants_.end())
        return;
    implants_.erase(it);
    selection_.remove(implant);
    if (transforming_ == implant)
        transforming_.reset();
    markChanged();
}
VEXA_RETHROW

void ImplantManager::replaceImplant(ImplantPtr old, ImplantPtr replacement) try
{
    const auto it = std::find(implants_.begin(), implants_.end(), old);
    if (!old || !replacement || it == implants_.end() || old == replacement || isListed(replacement))
        return;
    relocate(replacement);
    *it = replacement;
    std::replace(selection_.begin(), selection_.end(), old, replacement);
    if (transforming_ == old)
        transforming_.reset();
    markChanged();
}
VEXA_RETHROW

void ImplantManager::setImplants(const ImplantList& implants) try
{
    ImplantList list;
    for (const ImplantPtr& implant : implants)
        if (implant && std::find(list.begin(), list.end(), implant) == list.end()) {
            relocate(implant);
            list.push_back(implant);
        }
    implants_ = std::move(list);
    selection_.remove_if([this](const ImplantPtr& implant) { return !isListed(implant); });
    if (!isListed(transforming_))
        transforming_.reset();
    markChanged();
}
VEXA_RETHROW

void ImplantManager::clear() try
{
    const bool hadImplants = !implants_.empty();
    implants_.clear();
    selection_.clear();
    transforming_.reset();
    snapshot_.clear();
    relocations_.clear();
    known_.clear();
    if (hadImplants)
        markChanged();
}
VEXA_RETHROW

ImplantManager::ImplantPtr ImplantManager::getImplantNearPos(const Vector3D& point, double distance) const try
{
    for (const ImplantPtr& implant : implants_) {
        const Matrix44<double> transform = implant->getTransform();
        const Vector3D local = Vexa::inverse(transform) * point;
        double box[6];
        if (const auto surface = implant->getSurfaceModel(); surface && surface->getVertexCount() > 0) {
            const auto& b = surface->getBoundingBox();
            std::copy(b.begin(), b.end(), box);
        } else {
            const double radius = implant->getDiameter() / 2.0;
            const double bounds[6] = {-radius, -radius, 0.0, radius, radius, implant->getLength()};
            std::copy(bounds, bounds + 6, box);
        }
        bool inside = true;
        for (int axis = 0; axis < 2; ++axis) {
            const double centre = (box[axis] + box[axis + 3]) / 2.0;
            const double half = std::max((box[axis + 3] - box[axis]) / 2.0, distance / 2.0);
            inside = inside && std::abs(local[axis] - centre) <= half;
        }
        inside = inside && local.z >= box[2] - 1.0 && local.z <= box[5] + 1.0;
        if (inside)
            return implant;
    }
    return nullptr;
}
VEXA_RETHROW

ImplantManager::ImplantPtr ImplantManager::selectImplantNearPos(const Vector3D& position, const double maxDistance) try
{
    ImplantPtr implant = getImplantNearPos(position, maxDistance);
    if (implant)
        selection_ = {implant};
    return implant;
}
VEXA_RETHROW

ImplantManager::ImplantPtr ImplantManager::getNearestImplant(const Vector3D& point, double searchDistance) const try
{
    ImplantPtr nearest;
    double best = std::numeric_limits<double>::infinity();
    for (const ImplantPtr& implant : implants_) {
        const Matrix44<double> transform = implant->getTransform();
        const Vector3D axis = transform.getColumn(2);
        if (!(axis.length() > 0.0))
            continue;
        const double along = axis.getNormalized().dot(point - transform.getTranslation());
        if (along < -searchDistance || along > implant->getLength() + searchDistance)
            continue;
        const double distance = implant->getDistance(point);
        if (distance <= searchDistance && distance < best) {
            best = distance;
            nearest = implant;
        }
    }
    return nearest;
}
VEXA_RETHROW

bool ImplantManager::isImplantSelected(ImplantPtr implant) const try
{
    return implant && std::find(selection_.begin(), selection_.end(), implant) != selection_.end();
}
VEXA_RETHROW

void ImplantManager::selectImplant(ImplantPtr implant) try
{
    if (isListed(implant) && !isImplantSelected(implant))
        selection_.push_back(std::move(implant));
}
VEXA_RETHROW

void ImplantManager::unselectImplant(ImplantPtr implant) try
{
    selection_.remove(implant);
}
VEXA_RETHROW

void ImplantManager::unselectAll()
{
    selection_.clear();
}

void ImplantManager::setSelection(const SelectionList& selection) try
{
    selection_.clear();
    for (const ImplantPtr& implant : selection)
        selectImplant(implant);
}
VEXA_RETHROW

void ImplantManager::prepareTransforming(ImplantPtr implant) try
{
    snapshot_.clear();
    if (!implant)
        return;
    const unsigned group = implant->getGroup();
    if (group == 0) {
        // The rotation command needs the state before the drag for an ungrouped implant too.
        snapshot_.emplace_back(implant, implant->getTransform());
        return;
    }
    for (const ImplantPtr& other : implants_)
        if (other->getGroup() == group)
            snapshot_.emplace_back(other, other->getTransform());
}
VEXA_RETHROW

void ImplantManager::rotateImplant(ImplantPtr implant, const Vector3D& axis, const double angle) try
{
    if (!implant)
        return;
    std::vector<ImplantPtr> targets;
    if (implant->getGroup() == 0) {
        targets.push_back(implant);
    } else {
        for (const ImplantPtr& other : implants_)
            if (other->getGroup() == implant->getGroup())
                targets.push_back(other);
        if (targets.empty())
            targets.push_back(implant);
    }
    Matrix44<double> rotation;
    rotation.setRotation(axis, angle);
    for (const ImplantPtr& target : targets) {
        // About the implant's own rotation point, so that a group of parallel implants stays
        // parallel and each keeps that point.
        const Vector3D pivot = target->getRotationPoint();
        const Matrix44<double> transform =
            Matrix44<double>(pivot) * rotation * Matrix44<double>(-pivot) * target->getTransform();
        target->setTransform(transform);
    }
    markChanged();
}
VEXA_RETHROW

void ImplantManager::setImplantPosition(ImplantPtr implant, const Vector3D& position) try
{
    if (!implant)
        return;
    implant->setPosition(position);
    markChanged();
}
VEXA_RETHROW

void ImplantManager::setImplantTransform(ImplantPtr implant, const Matrix44<double>& transform) try
{
    if (!implant)
        return;
    implant->setTransform(transform);
    markChanged();
}
VEXA_RETHROW

void ImplantManager::setImplantGroup(ImplantPtr implant, unsigned group) try
{
    if (!implant)
        return;
    implant->setGroup(group);
    markChanged();
}
VEXA_RETHROW

unsigned ImplantManager::getLargestGroup() const try
{
    unsigned largest = 0;
    for (const ImplantPtr& implant : implants_)
        largest = std::max(largest, implant->getGroup());
    return largest;
}
VEXA_RETHROW

void ImplantManager::setSelectedImplantsParallel() try
{
    if (selection_.size() < 2)
        return;
    const unsigned group = getLargestGroup() + 1;
    const Matrix44<double> reference = selection_.front()->getTransform();
    for (const ImplantPtr& implant : selection_) {
        Matrix44<double> transform = implant->getTransform();
        for (int column = 0; column < 3; ++column)
            transform.setColumn(column, reference.getColumn(column));
        implant->setTransform(transform);
        implant->setGroup(group);
    }
    markChanged();
}
VEXA_RETHROW

void ImplantManager::relocateDescriptions(const std::map<std::string, std::string>& moved) try
{
    for (auto& [file, place] : relocations_)
        if (const auto it = moved.find(place); it != moved.end())
            place = it->second;
    for (const auto& [file, place] : moved)
        if (file != place)
            relocations_[file] = place;
    for (const ImplantPtr& implant : implants_)
        relocate(implant);
}
VEXA_RETHROW

std::string ImplantManager::locateDescription(const std::string& file) const try
{
    const auto it = relocations_.find(file);
    return it == relocations_.end() ? file : it->second;
}
VEXA_RETHROW

std::vector<std::string> ImplantManager::getKnownDescriptions() const try
{
    std::vector<std::string> places;
    for (const std::string& file : known_)
        if (const std::string place = locateDescription(file);
            std::find(places.begin(), places.end(), place) == places.end())
            places.push_back(place);
    return places;
}
VEXA_RETHROW

void ImplantManager::relocate(const ImplantPtr& implant) try
{
    const std::string file = implant->getFilename();
    const std::string place = locateDescription(file);
    if (place != file)
        implant->setFilename(place);
    if (std::find(known_.begin(), known_.end(), place) == known_.end())
        known_.push_back(place);
}
VEXA_RETHROW
