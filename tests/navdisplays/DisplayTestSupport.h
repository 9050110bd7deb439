#pragma once
// Shared by the display tests: a scripted targeting data source, window grabs and colour checks,
// and screenshots for a person to look at.
#include "planning/model/ITargetingViewDataSource.h"
#include "planning/objects/Implant.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QWidget>
#include <QtTest/QTest>
#include <cstdlib>
#include <memory>

namespace DisplayTest {

struct FakeSource : ITargetingViewDataSource
{
    bool isNavigating() const override { return true; }
    bool isDrillRegistered() const override { return registered; }
    bool isHandpieceTrackerValid() const override { return tool; }
    bool isPatientLocTrackerValid() const override { return patient; }
    QString getPatientName() const override { return name; }
    std::shared_ptr<Implant> getNearestImplantToDrill() const override { return implant; }
    Vexa::Matrix44<double> getPatientTDrill() const override { return drill; }
    double getDrillLength() const override { return 25.0; }
    double getVisualizedDrillLength() const override { return 27.6; }
    double getDrillDepthAtImplant(const Vexa::Matrix44<double>&) const override { return depth; }
    Vexa::Vector4<float> getHandpieceColor() const override { return color; }

    bool registered = true, tool = true, patient = true;
    QString name = "Doe^John";
    std::shared_ptr<Implant> implant;
    Vexa::Matrix44<double> drill;
    double depth = 0.0;
    Vexa::Vector4<float> color{0, 1, 0, 1};
};

inline std::shared_ptr<Implant> implantAt(const Vexa::Matrix44<double>& pose, double length = 11.5, double diameter = 4.1)
{
    return std::make_shared<Implant>(nullptr, "Screw", "Acme", "R1", "", length, diameter, 4.8, "", 0, pose);
}

// The widget as it is on screen now, after pending events.
inline QImage grab(QWidget& widget)
{
    QApplication::processEvents();
    return widget.grab().toImage();
}

inline bool near(const QColor& a, const QColor& b, int tolerance = 40)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
           && std::abs(a.blue() - b.blue()) <= tolerance;
}

// Beside the test program in the build unless $MORVANTA_ARTIFACTS names a folder: never a shared
// folder, where runs at once or of other users would meet.
inline void save(const QImage& image, const QString& name)
{
    const char* folder = std::getenv("MORVANTA_ARTIFACTS");
    const QString dir =
        folder ? QString::fromLocal8Bit(folder) : QCoreApplication::applicationDirPath() + "/screenshots";
    QDir().mkpath(dir);
    image.save(dir + "/" + name + ".png");
}

}
