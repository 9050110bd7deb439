#pragma once
// The Model's cross sections side by side, one column of the same whole-pixel width each
// (the implant cross sections, in state 5 the marker ones). In the columns the user traces
// and edits the nerve, moves and turns implants, places implants, moves markers in height,
// measures lengths and, while navigating, drags the axial slice line.
//
// Columns: pixel width = width() / count (whole pixels, at least 1); pixels right of the last
// column belong to none (presses there are ignored, positions are clamped into the columns).
// In a column u runs along the cross section's width, v = 0 at the widget's bottom.
#include "views/OpenGL2DView.h"

#include <QRect>

class CrossSectionalView : public OpenGL2DView
{
    Q_OBJECT

public:
    CrossSectionalView(std::shared_ptr<Model> model, QWidget* parent, const char* name, Qt::WindowFlags flags = {});

    Quorvane::IView* clone(QWidget* parent) const override;
    bool isEmpty() const override;
    bool isAvailableInPlanning() const override { return true; }
    bool isAvailableInNavigation() const override { return true; }
    QColor getColorID() const override { return Qt::green; }
    QSize sizeHint() const override;

    unsigned getNumberOfCrossSections() const;
    double getCrossSectionPixelWidth() const;
    // The column under x, x clamped into the columns.
    unsigned getSliceIndex(double x) const;
    std::shared_ptr<Vexa::Slice> getSlice(double x) const;
    // The column under x less one pixel on either side.
    QRect getCrossSectionRect(double x) const;
    // Whether x lies in a column (not left of them, not in the strip right of the last).
    bool isInColumns(double x) const;
    // The label of cross section `index`: its number, with the group letter of the implant at
    // that position ("1 (B)"; the group number past Z) outside state 5.
    QString getLabel(unsigned index) const;

    Vexa::Vector3D getWorldPos(const double x, const double y) const override;
    Vexa::Ray3<double> getWorldPickRay(const double x, const double y) const override;
    virtual Vexa::Line3<double> getWorldPickLine(const double x, const double y) const;
    Vexa::Plane<double> getPositionPlane(const Vexa::Vector3D& position) const override;
    std::shared_ptr<Vexa::Slice> getNearestSlice(const Vexa::Vector3D& position) const override;
    double getSliceViewOffset(std::shared_ptr<Vexa::Slice> slice) const override;
    Vexa::Size2<double> getMMSize() const override;
    Vexa::Size2<double> getPixelMMSize() const override;

public:
    void update() override;

protected:
    QColor backgroundColor() const override { return Qt::red; }
    void drawSlices() override;
    void pressAt(const QPointF& position) override;
    void moveAt(const QPointF& position) override;
    void releaseAt(const QPointF& position) override;
    void doubleClickAt(const QPointF& position) override;

    virtual void drawBorderAndCrossSectionNumber(std::shared_ptr<Vexa::Slice> slice, unsigned index);
    virtual void drawPanoramicSliceProjectionsAtSlice(std::shared_ptr<Vexa::Slice> slice);

private:
    std::vector<std::shared_ptr<Vexa::Slice>> sections() const;

    unsigned numberOfCrossSections_ = 0;
    bool fitWanted_ = false;
};
