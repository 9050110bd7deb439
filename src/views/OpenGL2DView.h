#pragma once
// The base of the slice views (orthogonal, cross-sectional, panoramic): the volume on one or
// more planar slices through a cached texture visualizer, the planning objects where they meet
// those slices, zoom and filtering, and the implant drags (move and rotate) that end in one
// undoable command. The subclasses say where their slices lie (the pure geometry operations)
// and handle the mouse with the operations here.
//
// Drawing conventions: `setCameraForSlice` puts the viewing transform into the projection
// matrix, so an overlay can load an object's transform into the model-view matrix. Symbol
// sizes are screen pixels, converted with the view's current millimetres per pixel. All a
// picture draws of the navigation's tools comes from the tick taken as its paint began.
#include "views/ContourCache.h"
#include "views/IZoomAndScrollable.h"
#include "views/OpenGLView.h"
#include "views/navigation/SnapshotDataSource.h"
#include "views/scene/RegisteredDrill.h"
#include "views/slice/StandardFunction.h"
#include "views/slice/VolumeSliceVisualizer.h"

#include "planning/objects/Nerve.h"
#include "vexa/math/Line3.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Plane.h"
#include "vexa/math/Ray3.h"
#include "vexa/math/Rectangle3.h"
#include "vexa/math/Size2.h"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <QRect>

class Implant;
class Marker;
class Model;

namespace Vexa {
class IndexedTriangleMesh;
class Slice;
}

class OpenGL2DView : public OpenGLView, public Quorvane::IZoomAndScrollable
{
    Q_OBJECT

public:
    using Visualizer = Vexa::VolumeSliceVisualizer<unsigned short, Vexa::StandardFunction<unsigned short>>;

    static constexpr double zoomStep = 1.3;
    // Moves and rotations smaller than this are no change (no command, the pose goes back).
    static constexpr double dragTolerance = 0.001;
    // Texture bytes one view may keep.
    static constexpr std::size_t textureByteLimit = std::size_t(64) << 20;

    // Attaches to the Model and follows its reset() signal.
    OpenGL2DView(std::shared_ptr<Model> model, QWidget* parent, const char* name, Qt::WindowFlags flags = {});
    ~OpenGL2DView() override;

    std::shared_ptr<Model> getModel() const override { return model_; }
    virtual std::shared_ptr<Vexa::SliceVisualizer> getSliceVisualizer() const { return visualizer_; }
    std::shared_ptr<Visualizer> getVolumeSliceVisualizer() const { return visualizer_; }
    double getZoom() const { return zoom_; }
    const ContourCache& getContourCache() const { return contours_; }

    // Geometry of the subclass.
    virtual Vexa::Vector3D getWorldPos(const double x, const double y) const = 0;
    virtual Vexa::Ray3<double> getWorldPickRay(const double x, const double y) const = 0;
    virtual Vexa::Plane<double> getPositionPlane(const Vexa::Vector3D& position) const = 0;
    virtual std::shared_ptr<Vexa::Slice> getNearestSlice(const Vexa::Vector3D& position) const = 0;
    virtual double getSliceViewOffset(std::shared_ptr<Vexa::Slice> slice) const = 0;
    virtual Vexa::Size2<double> getMMSize() const { return Vexa::Size2<double>(0.0, 0.0); }
    virtual Vexa::Size2<double> getPixelMMSize() const = 0;

    // Signed angle (radians) in the plane between the implant's axis and the mouse, seen from
    // the implant's end point; NaN when the mouse projects onto that point.
    double getAngleBetweenMouseAndImplantZAxis(std::shared_ptr<Implant> implant, const Vexa::Plane<double> plane,
                                               Vexa::Ray3<double> ray) const;
    // Whether a press with this ray on the implant turns it (the implant seen from the side and
    // the ray through the grab box around the low end of its mesh) rather than moves it.
    virtual bool isImplantRotation(std::shared_ptr<Implant> implant, const Vexa::Ray3<double>& ray) const;

    // Quorvane::IZoomAndScrollable
    bool isScrollCentered() const override { return false; }
    QColor getColorID() const override { return Qt::red; }
    bool isFiltering() const override { return filtering_; }

public slots:
    void zoomIn() override;
    void zoomOut() override;
    // Also before the view has a picture: the visualizer it makes then filters so.
    void toggleFiltering(bool on) override;
    void reset() override;

signals:
    // Whenever the filtering is set, by a toggle or a reset: the frame's button follows it.
    void filteringChanged(bool on);

public:
    // The observer operation: grey-value window into the visualizer, then a repaint.
    void update() override;
    // Repaints and makes the Model tell every observer.
    virtual void updateAll();

protected:
    void initializeGL() override;
    // The slice views' paint: the background, then, with a Model whose planning is not being
    // replaced and a volume, `drawSlices`. A failure stops the drawing where it got; the texts
    // are drawn in any case.
    void paintGL() override;
    virtual QColor backgroundColor() const { return QColor(0, 0, 0, 0); }
    virtual void drawSlices() {}
    // The view's part of a notification: hidden while empty; a hidden view with something to
    // show and a parent shows itself and tells its frame. True when the view is visible.
    bool showWhenNotEmpty();
    // Zooms so that the whole image, with the caption its frame shows below it, fits the frame's
    // visible area at once, without scroll bars. False, the zoom kept, for a view outside a frame
    // on the screen or without an image: a fit wanted then is still to be done.
    bool fitIntoFrame();

    // Mouse events reach these with their position clamped to the cursor clip; a failure ends
    // in the handler.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    virtual void pressAt(const QPointF& position) {}
    virtual void moveAt(const QPointF& position) {}
    virtual void releaseAt(const QPointF& position) {}
    virtual void doubleClickAt(const QPointF& position) {}
    // The drags of the cross-sectional and panoramic views: the axial line, implants, the
    // nerve and markers (in height only); false when nothing is dragged.
    bool dragWithinSlices(const Vexa::Vector3D& pos, const Vexa::Ray3<double>& ray);
    // Their presses in the states 3 (an implant placed at pos), 6 (length measuring: clipped to
    // `measuringClip` unless the measurement ends), 7 (the axial line grabbed) and the others.
    void pressInOtherStates(const Vexa::Vector3D& pos, const QRect& measuringClip);
    // Their hover cursors by state; `marker`: a marker lies under the mouse.
    void setCurveViewCursor(const Vexa::Vector3D& pos, const Vexa::Ray3<double>& ray, bool marker);
    // Without a Model, empty, without pixels or while a planning is being put in, only a
    // release reaches its handler (a drag must end), and it waits for the planning.
    void handleMouse(QMouseEvent* event, void (OpenGL2DView::*handler)(const QPointF&), bool always);
    // The hover cursor over an implant: turning where a press would turn it, else moving.
    Qt::CursorShape implantCursor(const Vexa::Vector3D& pos, const Vexa::Ray3<double>& ray) const;

    // Keeps the visualizer on the Model's volume; false without a volume (then no image).
    virtual bool checkSliceVisualizer();
    // The Model's low and high grey values into the visualizer's function.
    virtual void setSliceVisualizerFunctions();

    virtual void setCameraOrientationForSlice(std::shared_ptr<Vexa::Slice> slice);
    virtual void setCameraForSlice(std::shared_ptr<Vexa::Slice> slice);

    // Overlays, drawn after the image in the subclass's paint.
    virtual void drawImplantsAtSlice(std::shared_ptr<Vexa::Slice> slice);
    virtual void drawNerveAtSlice(std::shared_ptr<Vexa::Slice> slice);
    virtual void drawNervePoints(std::shared_ptr<Vexa::Slice> slice, Nerve::ElementIterator element) {}
    // Whether the picture's tick shows the handpiece: a registered drill, past the camera
    // adjustment.
    bool drawsHandpiece() const;
    virtual void drawHandpieceAtSlice(std::shared_ptr<Vexa::Slice> slice);
    virtual void drawReferenceLineAtSlice(std::shared_ptr<Vexa::Slice> slice);
    virtual void drawSlicePositioner();
    virtual void drawMarkerAtSlice(std::shared_ptr<Vexa::Slice> slice, bool showAll, int index);
    virtual void drawLengthMeasuringPointAtSlice(const Vexa::Vector3D& point);
    virtual void drawLengthMeasuringAtSlice();
    virtual void drawBorder();
    virtual void setHandpieceProperties() const;
    void drawSlicedMesh(std::shared_ptr<Vexa::Slice> slice, std::shared_ptr<Vexa::IndexedTriangleMesh> mesh,
                        const Vexa::Matrix44<double>& transform);
    // A circle and a plus sign of `size` pixels in the slice plane around the position.
    void drawCircleAtSlice(std::shared_ptr<Vexa::Slice> slice, const Vexa::Vector3D& position, const double size);
    void drawCrossAtSlice(std::shared_ptr<Vexa::Slice> slice, const Vexa::Vector3D& position, const double size);

    // Length measuring: the first click sets the first point (false), the second sets the
    // second, shows the length and ends measuring (true).
    virtual bool measureLength(const Vexa::Vector3D& point);

    // Implant drags.
    virtual void prepareImplantTransform(const Vexa::Ray3<double>& ray);
    virtual bool transformImplant(const Vexa::Ray3<double>& ray);
    virtual void rotateImplant(const Vexa::Ray3<double>& ray);
    virtual void releaseImplantTransform();
    virtual Vexa::Plane<double> getRotationPlane() const;

    // The cursor confinement: the window system's part through Utilities, and the software
    // part here (every handler works with `clampToClip` of the event position, so that no
    // position outside the confined rectangle reaches the geometry).
    void clipMouse(const QRect& rectangle);
    void clipMouseToView() { clipMouse(QRect(0, 0, width(), height())); }
    void unclipMouse();
    // Into the confined rectangle while one is active, else into the widget.
    QPointF clampToClip(const QPointF& position) const;
    QPointF clampToWidget(const QPointF& position) const;

    // Nerve editing shared by the views that show the nerve's course. `grabNerve` takes the
    // element near pos: a traced element's point near pos (one of diameter 3.0 mm added there
    // when none is near) or an old-format element as a whole. `traceNerve` adds or takes a
    // point where no element of another type is near. Both set the drag start and current
    // position to pos; true when something is held.
    bool grabNerve(const Vexa::Vector3D& pos);
    bool traceNerve(const Vexa::Vector3D& pos);
    // Ends nerve and marker drags: one command each, none for less than 0.001 mm.
    void releaseNerveAndMarker();
    // Double click on the nerve: asks, and deletes the point or the old-format element on Yes.
    void askDeleteNerve(const Vexa::Vector3D& pos);
    // Moves of a held nerve point or element; false when none is held.
    bool dragNerve(const Vexa::Vector3D& pos);

    // The segment in which the plane cuts the rectangle; corners within 0.001 mm count as on
    // the plane; nothing for a rectangle in the plane or off it.
    static std::optional<std::pair<Vexa::Vector3D, Vexa::Vector3D>> cutRectangle(const Vexa::Plane<double>& plane,
                                                                                  const Vexa::Rectangle3<double>& rect);
    // Dashed (factor 3, 0xEAEA) lines where each slice of the range meets the plane.
    void drawPlaneCuts(const Vexa::Plane<double>& plane, std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                       std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end, const float (&colour)[4]);
    // Of the slices whose rectangle holds pos's projection (edges included), the nearest.
    static std::shared_ptr<Vexa::Slice> nearestSliceOf(std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                                                       std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end,
                                                       const Vexa::Vector3D& pos);
    // The sum of the widths of the slices before `slice` (or the first equal to it) in the
    // range; 0 for a slice not in it.
    static double offsetOf(std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin,
                           std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end,
                           const std::shared_ptr<Vexa::Slice>& slice);
    // The Model's state, -1 without a Model.
    int modelState() const;

    std::shared_ptr<Model> model_;
    double zoom_ = 1.0;
    std::shared_ptr<Implant> movingImplant_;
    Vexa::Vector3D dragOffset_;
    Vexa::Vector3D dragStartPosition_;
    Vexa::Vector3D dragCurrentPosition_;
    std::shared_ptr<Implant> rotatingImplant_;
    double rotationStartAngle_ = 0.0;
    Vexa::Matrix44<double> rotationStartTransform_;
    ContourCache contours_;
    bool transversalSliceDrag_ = false;
    bool coronalSliceDrag_ = false;
    bool sagittalSliceDrag_ = false;
    Nerve::Element::PointPtr movingNervePoint_;
    Nerve::ElementPtr movingNerveElement_;
    std::shared_ptr<Visualizer> visualizer_;
    bool filtering_ = false; // linear texture filtering, also for a visualizer made later
    std::shared_ptr<Marker> movingMarker_;
    std::optional<QRect> clip_;
    RegisteredDrill drill_;
    SnapshotDataSource tick_; // the tick of the picture being painted
};
