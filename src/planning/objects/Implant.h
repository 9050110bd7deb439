#pragma once
// One planned implant: the catalogue data of its type, its surface, the description file it
// was made from, its group and its pose in the volume. Shared by every holder, never copied.
#include "vexa/math/Matrix33.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"

#include <memory>
#include <string>

namespace Vexa {
class IndexedTriangleMesh;
}

class Implant
{
public:
    // Reads an implant description (ini group "Implantdata"); an empty pointer when the file
    // has no such group. Throws when the file cannot be read, a key is missing or invalid, or
    // the surface cannot be loaded.
    static std::shared_ptr<Implant> createFromFile(const Vexa::Matrix44<double>& transform, const unsigned int group,
                                                   const std::string& file);

    Implant(std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceModel, std::string name, std::string company,
            std::string reference, std::string comment, double length, double diameter, double shoulder,
            std::string fileName, unsigned group, const Vexa::Matrix44<double>& transform);
    virtual ~Implant();

    virtual std::string getName() const;
    virtual void setName(const std::string& name);
    virtual std::string getCompany() const;
    virtual void setCompany(const std::string& company);
    virtual double getLength() { return length_; }
    virtual void setLength(double length) { length_ = length; }
    virtual double getDiameter() { return diameter_; }
    virtual void setDiameter(double diameter) { diameter_ = diameter; }
    virtual double getShoulder() { return shoulder_; }
    virtual void setShoulder(double shoulder) { shoulder_ = shoulder; }
    virtual std::shared_ptr<Vexa::IndexedTriangleMesh> getSurfaceModel() const;
    virtual void setSurfaceModel(std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceModel);
    virtual const std::string getFilename() const;
    // The description's new place (a saved planning holds a copy of it).
    virtual void setFilename(const std::string& fileName) { fileName_ = fileName; }
    virtual unsigned getGroup() { return group_; }
    virtual void setGroup(unsigned group) { group_ = group; }
    virtual Vexa::Matrix44<double> getTransform() { return transform_; }
    virtual void setTransform(const Vexa::Matrix44<double>& transform) { transform_ = transform; }
    virtual void setPosition(const Vexa::Vector3D& position);
    virtual void setRotation(const Vexa::Matrix33& rotation);
    virtual Vexa::Vector3D getRotationPoint() const;
    virtual double getDistance(const Vexa::Vector3D& point) const;
    virtual double getAngleBetween(const Vexa::Vector3D& direction) const;

private:
    std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceModel_;
    std::string name_;
    std::string company_;
    std::string reference_;
    std::string comment_;
    double length_;
    double diameter_;
    double shoulder_;
    std::string fileName_;
    unsigned group_;
    Vexa::Matrix44<double> transform_;
};
