#pragma once
// Slice views in real windows: a Model over a phantom volume, views shown frameless and read
// back from their framebuffer, and the fake user interface of the planning tests.
#include "../planning/ModelTestSupport.h"

#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/DicomImport.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "vexa/core/CommandProcessor.h"
#include "views/OrthoView.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace ViewTest {

using Volume = Vexa::VolumeData<unsigned short>;

// Where the tests' own windows go: away from the screen's top-left, which the harness's
// screen readback needs to itself while other test programs run at the same time.
constexpr QPoint windowPlace(1100, 500);

inline bool hasDisplay()
{
    return QGuiApplication::platformName() != QLatin1String("offscreen");
}

#define REQUIRE_DISPLAY()                                                          \
    do {                                                                           \
        if (!ViewTest::hasDisplay())                                               \
            GTEST_SKIP() << "slice views need an X display (scripts/test starts Xvfb)"; \
    } while (false)

template <class M = Model>
std::shared_ptr<M> makeModel(std::shared_ptr<Volume> volume)
{
    auto model = std::make_shared<M>(std::make_shared<Settings>("/nonexistent/Morvanta.ini"));
    if (volume)
        model->setData(PlanningTest::makeData(volume));
    model->setMinVoxelValue(0);
    model->setMaxVoxelValue(4095);
    model->setStateAndUpdate(Model::NormalInput);
    return model;
}

// The generated sample patient, imported into the Model; false when that fails.
inline bool importSamplePatient(const std::shared_ptr<Model>& model)
{
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::UniversalImporter());
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(MORVANTA_BINARY_DIR "/app/SamplePatient").entryInfoList(QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    DicomImport import(files, model, std::make_shared<Settings>("/nonexistent/Morvanta.ini"), manager);
    return import.start();
}

// A uniform volume of `background`.
inline std::shared_ptr<Volume> makeVolume(unsigned nx, unsigned ny, unsigned nz, double s, unsigned short background)
{
    auto volume = std::make_shared<Volume>(nx, ny, nz, s, s, s);
    std::fill(volume->getVoxels(), volume->getVoxels() + volume->getVoxelCount(), background);
    return volume;
}

// The named ortho view, frameless at the screen's top-left, shown and painted once.
inline std::unique_ptr<OrthoView> showView(std::shared_ptr<Model> model, const QString& name, QSize size = QSize())
{
    std::unique_ptr<OrthoView> view(OrthoView::createNamed(model, name, nullptr));
    view->setWindowFlags(Qt::FramelessWindowHint);
    view->resize(size.isValid() ? size : view->sizeHint());
    view->move(windowPlace);
    QSignalSpy painted(view.get(), &QOpenGLWidget::frameSwapped);
    view->show();
    model->notify();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    if (painted.isEmpty())
        painted.wait(3000);
    return view;
}

// The view's picture, rendered anew, in device pixels.
inline QImage frame(OrthoView& view)
{
    return view.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
}

// Keeps a picture for a person to look at beside the test program in the build, whatever the
// working folder.
inline void keep(const QImage& image, const QString& name)
{
    image.save(QCoreApplication::applicationDirPath() + "/" + name);
}

// Mouse actions at widget positions.
inline void press(QWidget* w, QPointF p, Qt::MouseButton b = Qt::LeftButton)
{
    QTest::mousePress(w, b, {}, p.toPoint());
}
inline void moveTo(QWidget* w, QPointF p)
{
    QMouseEvent e(QEvent::MouseMove, p, w->mapToGlobal(p), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}
inline void release(QWidget* w, QPointF p)
{
    QTest::mouseRelease(w, Qt::LeftButton, {}, p.toPoint());
}

// One test's commands stay its own.
struct CleanCommands
{
    CleanCommands() { Vexa::CommandProcessor::getInstance()->clear(); }
    ~CleanCommands() { Vexa::CommandProcessor::getInstance()->clear(); }
};

}
