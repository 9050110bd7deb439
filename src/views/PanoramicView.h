#pragma once
// The volume unrolled along the panoramic curve: x is the distance along the curve (first
// corner at the left edge, last at the right), y the height (the volume's top at the upper
// edge, the curve's plane, world z = 0, at the lower edge). One vertical slice per segment of
// the curve, side by side. Here the user traces and edits the nerve (a point cannot cross the
// divide plane), moves and turns implants, places implants, moves markers in height, measures
// lengths and drags the axial slice line. A curve of fewer than two corners shows nothing.
// In navigation each segment shows the part of the tool that lies in its own cell of the band
// around the curve, so that the tool appears once, where it is, and not projected onto every
// segment whose rectangle its silhouette reaches.
#include "views/OpenGL2DView.h"

class PanoramicLine;

class PanoramicView : public OpenGL2DView
{
    Q_OBJECT

public:
    PanoramicView(std::shared_ptr<Model> model, QWidget* parent, const char* name, Qt::WindowFlags flags = {});

    Quorvane::IView* clone(QWidget* parent) const override;
    bool isEmpty() const override;
    bool isAvailableInPlanning() const override { return true; }
    bool isAvailableInNavigation() const override { return true; }
    QColor getColorID() const override { return Qt::yellow; }
    QSize sizeHint() const override;

    Vexa::Vector3D getWorldPos(const double x, const double y) const override;
    Vexa::Ray3<double> getWorldPickRay(const double x, const double y) const override;
    virtual Vexa::Line3<double> getWorldPickLine(const double x, const double y) const;
    Vexa::Plane<double> getPositionPlane(const Vexa::Vector3D& position) const override;
    std::shared_ptr<Vexa::Slice> getNearestSlice(const Vexa::Vector3D& position) const override;
    double getSliceViewOffset(std::shared_ptr<Vexa::Slice> slice) const override;
    Vexa::Size2<double> getMMSize() const override;
    Vexa::Size2<double> getPixelMMSize() const override;

    // The widget column where the divide plane crosses the curve, when it does.
    std::optional<int> getDividePlaneColumn() const;

public:
    void update() override;

protected:
    void initializeGL() override;
    void drawSlices() override;
    void pressAt(const QPointF& position) override;
    void moveAt(const QPointF& position) override;
    void releaseAt(const QPointF& position) override;
    void doubleClickAt(const QPointF& position) override;

    virtual void drawImageDataAtSlice(std::shared_ptr<Vexa::Slice> slice);
    virtual void drawCrossSectionsAtSlice(std::shared_ptr<Vexa::Slice> slice,
                                          std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                                          std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end);
    void drawNervePoints(std::shared_ptr<Vexa::Slice> slice, Nerve::ElementIterator element) override;
    // The handpiece and drill clipped to the slice's band cell.
    void drawHandpieceAtSlice(std::shared_ptr<Vexa::Slice> slice) override;

private:
    double height3D() const;
    // The vertical planes, normals inward, that bound the slice's cell of the curve's band: the
    // band's borders on either side and the dividing lines through its two corners (their
    // border points). Neighbouring cells share a dividing plane, so a point of the band lies in
    // one cell. Empty for a slice not of the line.
    std::vector<Vexa::Plane<double>> getBandCell(const std::shared_ptr<Vexa::Slice>& slice) const;
    void grabAndConfine(const Vexa::Vector3D& pos, bool traced);

    std::shared_ptr<PanoramicLine> panoramicLine_;
    double lastLength_ = 0.0;
    bool wasDrawing_ = false;
    bool fitWanted_ = false;
};
