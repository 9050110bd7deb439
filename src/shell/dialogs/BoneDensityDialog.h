#pragma once
// "Bone Density": how dense the bone is around one planned implant. The volume is sampled on
// rings of the implant's radius around its axis, from -10 mm to +20 mm along it (the body covers
// 0 to its length), in steps of half the smallest voxel spacing, each ring in angle steps of that
// length. The diagram shows each ring's mean grey value as a red curve over the axial position,
// and the mean over the implant's length as an orange line (for CT data also as a number).
//
// A ring's value is the sum of its samples inside the volume over the number of all its samples,
// so a ring partly outside is drawn toward 0. The mean over the length counts only samples inside
// the volume; without any it reads "n/a". Without image data `exec` only says so.
#include "shell/dialogs/Dialog.h"

#include <memory>
#include <vector>

class Implant;
class Model;
class QGraphicsScene;
class QGraphicsView;
class QLabel;

class BoneDensityDialog : public Dialog
{
    Q_OBJECT

public:
    BoneDensityDialog(std::shared_ptr<Implant> implant, std::shared_ptr<Model> model, int implantNumber,
                      QWidget* parent);
    ~BoneDensityDialog() override;

    // Without a volume: a message instead of the dialog, and 0.
    int exec() override;

    const std::vector<double>& getRingDensities() const { return ringDensities_; }
    // The mean over the implant's length; meaningful only when `hasMeanDensity`.
    double getMeanDensity() const { return meanDensity_; }
    bool hasMeanDensity() const { return meanSamples_ > 0; }
    int getAngleCount() const { return angleCount_; }
    // A grey value on the pixel range [outMin, outMax] through the display window.
    int mapDensity(int value, int outMin, int outMax) const;
    QGraphicsView* diagram() const { return canvasView_; }
    // The diagram point of ring i, and the rows of 0 mm and of the implant's length.
    QPointF ringPoint(std::size_t i) const;
    double zeroLineY() const { return zeroLineY_; }
    double lengthLineY() const { return lengthLineY_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void calcMeanValues();
    void drawImplantImage();
    void drawImplantDescription();
    void drawDensityGraph();
    void drawDiagram();
    void drawImplantData();

    QGraphicsScene* canvas_ = nullptr;
    QGraphicsView* canvasView_ = nullptr;
    std::shared_ptr<Implant> implant_;
    QLabel* implantPicture_ = nullptr;
    std::shared_ptr<Model> model_;
    int device_ = 0;
    bool hasVolume_ = false;
    double zeroLineY_ = 0.0;
    double lengthLineY_ = 0.0;
    const int valueRange_ = 4096;
    const int valueBase_ = 0;
    double lowerFraction_ = 0.0;
    double upperFraction_ = 1.0;
    int implantNumber_;
    double meanDensity_ = 0.0;
    long meanSamples_ = 0;
    int angleCount_ = 0;
    std::vector<double> ringDensities_;
};
