#pragma once
// One axis-aligned slice of the patient volume (axial, coronal or sagittal) at one pixel per
// voxel times the zoom, with the planning objects on it; the axial view also shows the
// panoramic curve and the traces of the cross sections. Here the user draws and edits the
// panoramic curve, places implants, moves and turns them, places and moves markers and
// measures lengths.
//
// Geometry: the widget's bottom-left corner is the slice's corner; x runs along the slice
// width, the widget's y downward while the slice's v runs upward. Picking looks along the
// slice normal.
#include "views/IStepperable.h"
#include "views/OpenGL2DView.h"

#include "planning/objects/PanoramicLine.h"
#include "vexa/math/Line3.h"

#include <memory>

class OrthoSlicePositioner;

namespace Vexa {
template<class T> class VolumeData;
}

class OrthoView : public OpenGL2DView, public Quorvane::IStepperable
{
    Q_OBJECT

public:
    // Fixed size policy, 15 updates per second while navigating.
    OrthoView(std::shared_ptr<Model> model, std::shared_ptr<OrthoSlicePositioner> own,
              std::shared_ptr<OrthoSlicePositioner> second, std::shared_ptr<OrthoSlicePositioner> third,
              QWidget* parent, const char* name, Qt::WindowFlags flags = {});
    ~OrthoView() override;

    // The prototypes' positioners by view name: "Axial", "Coronal" or "Sagittal"; null
    // for any other name.
    static OrthoView* createNamed(std::shared_ptr<Model> model, const QString& name, QWidget* parent);

    Quorvane::IView* clone(QWidget* parent) const override;
    bool isEmpty() const override;
    bool isAvailableInPlanning() const override { return true; }
    bool isAvailableInNavigation() const override { return true; }
    bool isScrollCentered() const override { return true; }
    QSize sizeHint() const override;

    Vexa::Vector3D getWorldPos(const double x, const double y) const override;
    Vexa::Ray3<double> getWorldPickRay(const double x, const double y) const override;
    virtual Vexa::Line3<double> getWorldPickLine(const double x, const double y) const;
    Vexa::Plane<double> getPositionPlane(const Vexa::Vector3D& position) const override;
    std::shared_ptr<Vexa::Slice> getNearestSlice(const Vexa::Vector3D& position) const override;
    double getSliceViewOffset(std::shared_ptr<Vexa::Slice> slice) const override { return 0.0; }
    Vexa::Size2<double> getMMSize() const override;
    Vexa::Size2<double> getPixelMMSize() const override;

    std::shared_ptr<OrthoSlicePositioner> getSlicePositioner() const { return slicePositioner_; }

public slots:
    void stepUp() override;
    void stepDown() override;

public:
    void update() override;

protected:
    void initializeGL() override;
    void drawSlices() override;
    void pressAt(const QPointF& position) override;
    void moveAt(const QPointF& position) override;
    void releaseAt(const QPointF& position) override;
    void doubleClickAt(const QPointF& position) override;
    void hideEvent(QHideEvent* event) override;

    virtual void addPanoramicPoint(const Vexa::Vector3D& pos, bool grab);
    virtual void drawPanormicLine(std::shared_ptr<Vexa::Slice> slice);
    virtual void drawCrosssectional(std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                                    std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end);
    virtual void drawLeftRightDescription();
    void drawReferenceLineAtSlice(std::shared_ptr<Vexa::Slice>) override {}
    void drawSlicePositioner() override;

private:
    bool isAxial() const;

    std::shared_ptr<OrthoSlicePositioner> slicePositioner_;
    std::shared_ptr<OrthoSlicePositioner> secondPositioner_;
    std::shared_ptr<OrthoSlicePositioner> thirdPositioner_;
    std::shared_ptr<PanoramicLine> panoramicLine_;
    std::shared_ptr<Vexa::VolumeData<unsigned short>> volume_;
    PanoramicLine::CornerPtr movingCorner_;
};
