#include "shell/dialogs/BoneDensityDialog.h"

#include "dicom/import/DicomData.h"
#include "dicom/import/DicomInformation.h"
#include "planning/model/Model.h"
#include "planning/objects/Implant.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/widgets/Fonts.h"
#include "shell/widgets/WindowFlags.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/volume/VolumeData.h"

#include <QGraphicsLineItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr int canvasWidth = 494, canvasHeight = 233;
const QRect viewGeometry(181, 37, 459, 233);

QGraphicsLineItem* line(QGraphicsScene* scene, QLineF l, const QPen& pen, int z)
{
    auto* item = scene->addLine(l, pen);
    item->setZValue(z);
    return item;
}

QLabel* label(QWidget* parent, const QString& text, QRect geometry, Qt::Alignment alignment)
{
    auto* l = new QLabel(text, parent);
    l->setGeometry(geometry);
    l->setAlignment(alignment);
    return l;
}

// A one-line label of the diagram's axes. Its place was drawn for a smaller font than the one
// mapped here: the label grows around where its text sits (its centre line, and its anchored
// side), so that digits and descenders show whole.
QLabel* axisLabel(QWidget* parent, const QString& text, QRect geometry, Qt::Alignment alignment)
{
    QLabel* l = label(parent, text, geometry, alignment | Qt::AlignVCenter);
    const QSize need = l->fontMetrics().boundingRect(text).size() + QSize(2, 0);
    QRect grown = geometry;
    if (need.height() > grown.height())
        grown.adjust(0, -(need.height() - grown.height() + 1) / 2, 0, (need.height() - grown.height()) / 2);
    if (need.width() > grown.width()) {
        const int more = need.width() - grown.width();
        if (alignment & Qt::AlignRight)
            grown.adjust(-more, 0, 0, 0);
        else if (alignment & Qt::AlignHCenter)
            grown.adjust(-(more + 1) / 2, 0, more / 2, 0);
        else
            grown.adjust(0, 0, more, 0);
    }
    l->setGeometry(grown);
    return l;
}

}

BoneDensityDialog::BoneDensityDialog(std::shared_ptr<Implant> implant, std::shared_ptr<Model> model,
                                     int implantNumber, QWidget* parent) try
    : Dialog(parent, "BoneDensity", true, WindowFlags::titled), implant_(std::move(implant)),
      model_(std::move(model)), implantNumber_(implantNumber)
{
    setFixedSize(894, 290);
    setFont(Fonts::dialogFont());
    setWindowTitle(tr("Bone Density"));
    const auto data = model_ ? model_->getData() : nullptr;
    if (data && data->getInformation())
        device_ = data->getInformation()->getImageDevice();
    if (device_ == 1)
    {
        lowerFraction_ = 500.0 / 4096.0;
        upperFraction_ = 4000.0 / 4096.0;
    }
    calcMeanValues();
    drawImplantImage();
    drawImplantDescription();
    drawDensityGraph();
    auto* ok = new QPushButton("OK", this);
    ok->setGeometry(771, 235, 110, 37);
    connect(ok, &QPushButton::clicked, this, &BoneDensityDialog::accept);
}
VEXA_RETHROW

BoneDensityDialog::~BoneDensityDialog()
{
    delete canvas_;
}

int BoneDensityDialog::exec()
{
    if (!hasVolume_)
    {
        MessageDialog message(parentWidget(), tr("Bone Density"), tr("No image data is loaded."), MessageDialog::Ok);
        message.exec();
        return 0;
    }
    return Dialog::exec();
}

void BoneDensityDialog::calcMeanValues() try
{
    const auto volume = model_ ? model_->getVolumeData() : nullptr;
    hasVolume_ = volume && volume->getVoxelCount() > 0;
    if (!hasVolume_ || !implant_)
        return;
    const double sx = volume->getSpacingX(), sy = volume->getSpacingY(), sz = volume->getSpacingZ();
    const double h = std::min({sx, sy, sz}) / 2.0;
    const int n = int(30.0 / h);
    const double r = implant_->getDiameter() / 2.0;
    angleCount_ = r > 0.0 && h / r <= 1.0 ? int(2.0 * std::numbers::pi / std::asin(h / r)) : 0;
    const int m = angleCount_;
    const double length = implant_->getLength();
    const auto t = implant_->getTransform();
    const unsigned dim[3] = {volume->getDimX(), volume->getDimY(), volume->getDimZ()};
    ringDensities_.assign(std::size_t(std::max(n, 0)), 0.0);
    double meanSum = 0.0;
    for (int i = 0; i < n; ++i)
    {
        const double z = i * 30.0 / n - 10.0;
        double sum = 0.0;
        for (int j = 0; j < m; ++j)
        {
            const double a = 2.0 * std::numbers::pi * j / m;
            const double x = r * std::cos(a), y = r * std::sin(a);
            const Vexa::Vector3D p(t[0] * x + t[4] * y + t[8] * z + t[12], t[1] * x + t[5] * y + t[9] * z + t[13],
                                   t[2] * x + t[6] * y + t[10] * z + t[14]);
            if (volume->isOutside(p))
                continue;
            // p < n * s can still divide to n: the index is clamped to the last voxel.
            const unsigned ix = std::min(unsigned(p.x / sx), dim[0] - 1);
            const unsigned iy = std::min(unsigned(p.y / sy), dim[1] - 1);
            const unsigned iz = std::min(unsigned(p.z / sz), dim[2] - 1);
            const double v = volume->at(ix, iy, iz);
            sum += v;
            if (z >= 0.0 && z <= length)
            {
                meanSum += v;
                ++meanSamples_;
            }
        }
        ringDensities_[std::size_t(i)] = m > 0 ? sum / m : 0.0;
    }
    meanDensity_ = meanSamples_ > 0 ? meanSum / double(meanSamples_) : 0.0;
}
VEXA_RETHROW

int BoneDensityDialog::mapDensity(int value, int outMin, int outMax) const
{
    const int lo = int(valueBase_ + valueRange_ * lowerFraction_);
    const int hi = int(valueBase_ + valueRange_ * upperFraction_);
    if (value < lo)
        return outMin;
    if (value > hi)
        return outMax;
    return outMin + (value - lo) * (outMax - outMin) / (hi - lo);
}

void BoneDensityDialog::drawImplantImage() try
{
    implantPicture_ = new QLabel(this);
    implantPicture_->setGeometry(13, 20, 109, 175);
    implantPicture_->setScaledContents(true);
    implantPicture_->setFrameStyle(QFrame::Box | QFrame::Sunken);
    if (!implant_)
        return;
    QString file = QString::fromStdString(implant_->getFilename());
    file.replace(QRegularExpression("\\.implant", QRegularExpression::CaseInsensitiveOption), ".bmp");
    const QImage image(file);
    if (!image.isNull())
        implantPicture_->setPixmap(QPixmap::fromImage(
            image.scaled(implantPicture_->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
}
VEXA_RETHROW

void BoneDensityDialog::drawImplantDescription() try
{
    auto* box = new QGroupBox(tr("Implant ") + QString::number(implantNumber_), this);
    box->setGeometry(672, 35, 209, 181);
    if (!implant_)
        return;
    const Qt::Alignment left = Qt::AlignLeft | Qt::AlignTop;
    // 3 pixels lower than drawn for the original font: below the title of the box.
    auto* captions = label(box,
                           QString::fromStdString(implant_->getCompany()) + "\n" + tr("Diameter\n") +
                               tr("Shoulder\n") + tr("Length\n"),
                           QRect(10, 23, 179, 80), left);
    captions->setWordWrap(true);
    const auto number = [](double v) { return QString("%1").arg(v, 5, 'f', 2); };
    label(box,
          "\n" + number(implant_->getDiameter()) + "\n" + number(implant_->getShoulder()) + "\n" +
              number(implant_->getLength()) + "\n",
          QRect(90, 23, 50, 80), Qt::AlignRight | Qt::AlignTop); // wider than 40 and as high as the captions: our font is larger
    label(box, QString::fromStdString(implant_->getName()), QRect(10, 108, 179, 45), left)->setWordWrap(true);
    if (device_ == 1)
        label(box,
              tr("Mean:  ") + (hasMeanDensity() ? QString("%1").arg(meanDensity_ - 1000.0, 5, 'f', 1) : "n/a"),
              QRect(10, 157, 179, 20), left);
}
VEXA_RETHROW

void BoneDensityDialog::drawDensityGraph()
{
    drawDiagram();
    drawImplantData();
}

void BoneDensityDialog::drawDiagram() try
{
    canvas_ = new QGraphicsScene(0, 0, canvasWidth, canvasHeight);
    canvasView_ = new QGraphicsView(canvas_, this);
    canvasView_->setGeometry(viewGeometry);
    // The canvas is wider than the view, which would centre it: the view shows it from its left
    // and top edges, where the value and position labels expect it, and nothing of it scrolls.
    canvasView_->setSceneRect(0, 0, viewGeometry.width(), viewGeometry.height());
    canvasView_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    canvasView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    canvasView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    canvasView_->setFrameShape(QFrame::NoFrame);

    // The grey strip: fixed column values through the slice views' brightness window.
    const double low = model_ ? model_->getMinVoxelValue() : 0, high = model_ ? model_->getMaxVoxelValue() : 4095;
    for (int i = 0; i < 35; ++i)
    {
        const double v = 500.0 + i * 3596.0 / 35.0;
        const int g = v <= low ? 0 : v >= high ? 255 : int((v - low) * 255.0 / (high - low));
        auto* column = canvas_->addRect(QRectF(13 * i, -1, 14, 234), QPen(Qt::darkGray, 1), QColor(g, g, g));
        column->setZValue(i);
    }
    const QPen white(Qt::white, 1);
    for (int i = 5; i <= 30; i += 5)
        line(canvas_, QLineF(13 * i + 1, 0, 13 * i + 1, 234), white, 35);

    if (device_ == 1)
        for (int i = 0; i <= 35; i += 5)
            axisLabel(this, QString::number((i - 5) * 100),
                  QRect(viewGeometry.x() + 13 * i - 20, viewGeometry.y() - 23, 40, 15), Qt::AlignHCenter);
    else if (device_ == 2)
        axisLabel(this, "DVT density values", QRect(viewGeometry.x(), viewGeometry.y() - 23, 200, 15), Qt::AlignLeft);

    const double length = implant_ ? implant_->getLength() : 0.0;
    zeroLineY_ = viewGeometry.height() * 2.0 / 3.0;
    lengthLineY_ = zeroLineY_ - length * zeroLineY_ * 0.05;
    for (double row : {zeroLineY_, lengthLineY_})
        line(canvas_, QLineF(0, std::trunc(row), viewGeometry.width() - 1, std::trunc(row)), white, 35);

    // 40 pixels wide (not 30): "11.5" must fit in our font.
    const int x = viewGeometry.x() - 55;
    axisLabel(this, "20", QRect(x, viewGeometry.y() - 7, 40, 15), Qt::AlignRight);
    axisLabel(this, QString::number(length, 'g', 6), QRect(x, int(viewGeometry.y() + lengthLineY_ - 16), 40, 15),
          Qt::AlignRight);
    axisLabel(this, "0", QRect(x, int(viewGeometry.y() + zeroLineY_ - 16), 40, 15), Qt::AlignRight);
    axisLabel(this, "-10", QRect(x, viewGeometry.y() + viewGeometry.height() - 9, 40, 15), Qt::AlignRight);
}
VEXA_RETHROW

QPointF BoneDensityDialog::ringPoint(std::size_t i) const
{
    const std::size_t n = ringDensities_.size();
    return QPointF(mapDensity(int(ringDensities_[i]), 0, viewGeometry.width()),
                   std::trunc((double(n) - double(i) - 1.0 + 0.5) * canvasHeight / double(n)));
}

void BoneDensityDialog::drawImplantData() try
{
    const QPen red(Qt::red, 3, Qt::SolidLine);
    for (std::size_t i = 1; i < ringDensities_.size(); ++i)
        line(canvas_, QLineF(ringPoint(i - 1), ringPoint(i)), red, 36);
    if (!hasMeanDensity())
        return;
    const int x = mapDensity(int(meanDensity_), 0, viewGeometry.width());
    line(canvas_, QLineF(x, std::trunc(zeroLineY_), x, std::trunc(lengthLineY_)), QPen(QColor(255, 190, 50), 3), 35);
}
VEXA_RETHROW

void BoneDensityDialog::paintEvent(QPaintEvent* event)
{
    Dialog::paintEvent(event);
    QPainter painter(this);
    painter.setPen(Qt::white);
    for (double row : {zeroLineY_, lengthLineY_})
    {
        // The diagram's row as the view shows it (the view has no frame to step over).
        const QPoint inView = canvasView_->mapFromScene(QPointF(0, std::trunc(row)));
        const int y = canvasView_->viewport()->mapTo(this, inView).y();
        painter.drawLine(implantPicture_->width() - 1, y, viewGeometry.x(), y);
    }
}
