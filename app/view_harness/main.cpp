// view_harness --view NAME [--patient DIR | --planning FILE] [--state N] [--window LOW,HIGH]
//              [--slice MM] [--zoom STEPS] [--implant FILE@X,Y,Z]... [--corners X,Y;X,Y;...]
//              [--size WxH] [--quit-after MS] [--surface ISO] [--frames N]
//
// NAME: Axial, Coronal, Sagittal, Cross-sectional, Panoramic or 3D. --slice puts an ortho view's
// own slice there; --corners makes the panoramic curve of world points on its plane (z = 0).
//
// Imports the series (default: the sample patient in the application folder) or loads the
// planning, sets the Model up as asked and shows the view frameless at the screen's top-left.
// After the view's first complete paint it prints "view X Y W H" (screen position and size).
// Bad arguments or data: one line on standard error, exit status 2, no window.
//
// The 3D view (--view 3D): --surface makes the whole volume's surface at the iso value the
// Model's 3D model, reduced as a generated model is, and prints "surface TRIANGLES REDUCED";
// with the view it prints "camera" and the eye, centre and up of the camera of its first
// picture. --frames then paints N full pictures, each finished before the next, prints
// "fps F" and quits.
#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/DicomImport.h"
#include "planning/io/PlanningReader.h"
#include "planning/model/IPlanningUi.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "platform/ApplicationFolder.h"
#include "vexa/core/IAlgorithmProgressState.h"
#include "views/CrossSectionalView.h"
#include "views/OpenGL3DView.h"
#include "views/OrthoView.h"
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MeshReduction.h"
#include "vexa/volume/VolumeData.h"
#include "views/PanoramicView.h"
#include "planning/objects/PanoramicLine.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Questions and messages as plain message boxes; jobs run at once.
class HarnessUi : public IPlanningUi
{
public:
    bool askYesNo(const QString& caption, const QString& text) override
    {
        return QMessageBox::question(nullptr, caption, text) == QMessageBox::Yes;
    }
    bool askBeforeDeleting(QWidget* view, const QString& caption, const QString& text) override
    {
        return QMessageBox::question(view, caption, text, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) ==
               QMessageBox::Yes;
    }
    void showMessage(const QString& caption, const QString& text) override
    {
        QMessageBox::information(nullptr, caption, text);
    }
    bool runJob(Vexa::IAlgorithmProgressState& job, const QString&) override { return job.start(); }
    std::optional<ImplantChoice> chooseImplant(const std::string&, bool) override { return std::nullopt; }
    std::optional<int> chooseSegmentationThreshold(std::shared_ptr<const Vexa::VolumeData<unsigned short>>, QWidget*,
                                                   int) override
    {
        return std::nullopt;
    }
};

struct Options
{
    QString view;
    QString patient;
    QString planning;
    std::optional<int> state;
    std::optional<std::pair<int, int>> window;
    std::optional<double> slice;
    int zoom = 0;
    std::vector<std::pair<QString, Vexa::Vector3D>> implants;
    std::optional<QSize> size;
    std::optional<std::vector<Vexa::Vector3D>> corners;
    int quitAfter = -1;
    std::optional<int> surface;
    int frames = 0;
};

std::vector<double> numbers(const QString& text, QChar separator, int count, const QString& option)
{
    const QStringList parts = text.split(separator);
    std::vector<double> values;
    for (const QString& part : parts) {
        bool ok = false;
        const double v = QLocale::c().toDouble(part.trimmed(), &ok);
        if (!ok || !std::isfinite(v))
            break;
        values.push_back(v);
    }
    if (int(values.size()) != count || parts.size() != count)
        throw std::runtime_error("bad value for " + option.toStdString() + ": " + text.toStdString());
    return values;
}

Options parse(const QStringList& args)
{
    Options o;
    for (int i = 1; i < args.size(); ++i) {
        const QString name = args[i];
        if (i + 1 >= args.size())
            throw std::runtime_error("missing value for " + name.toStdString());
        const QString value = args[++i];
        if (name == "--view")
            o.view = value;
        else if (name == "--patient")
            o.patient = value;
        else if (name == "--planning")
            o.planning = value;
        else if (name == "--state")
            o.state = int(numbers(value, ',', 1, name)[0]);
        else if (name == "--window") {
            const auto v = numbers(value, ',', 2, name);
            o.window = {int(v[0]), int(v[1])};
        } else if (name == "--slice")
            o.slice = numbers(value, ',', 1, name)[0];
        else if (name == "--zoom")
            o.zoom = int(numbers(value, ',', 1, name)[0]);
        else if (name == "--implant") {
            const int at = value.lastIndexOf('@');
            if (at <= 0)
                throw std::runtime_error("bad value for --implant: " + value.toStdString());
            const auto v = numbers(value.mid(at + 1), ',', 3, name);
            o.implants.push_back({value.left(at), Vexa::Vector3D(v[0], v[1], v[2])});
        } else if (name == "--size") {
            const auto v = numbers(value, 'x', 2, name);
            if (v[0] < 1 || v[1] < 1 || v[0] > 16384 || v[1] > 16384)
                throw std::runtime_error("bad value for --size: " + value.toStdString());
            o.size = QSize(int(v[0]), int(v[1]));
        } else if (name == "--corners") {
            std::vector<Vexa::Vector3D> corners;
            for (const QString& corner : value.split(';')) {
                const auto v = numbers(corner, ',', 2, name);
                corners.emplace_back(v[0], v[1], 0.0);
            }
            o.corners = corners;
        } else if (name == "--quit-after")
            o.quitAfter = int(numbers(value, ',', 1, name)[0]);
        else if (name == "--surface")
            o.surface = int(numbers(value, ',', 1, name)[0]);
        else if (name == "--frames")
            o.frames = int(numbers(value, ',', 1, name)[0]);
        else
            throw std::runtime_error("unknown option " + name.toStdString());
    }
    if (o.view.isEmpty())
        throw std::runtime_error("--view is required");
    if (!o.patient.isEmpty() && !o.planning.isEmpty())
        throw std::runtime_error("--patient and --planning exclude each other");
    if (o.state && (*o.state < 0 || *o.state > 7))
        throw std::runtime_error("--state must be 0 to 7");
    if (o.zoom < -6 || o.zoom > 6)
        throw std::runtime_error("--zoom must be -6 to 6");
    if (o.surface && (*o.surface < 0 || *o.surface > 65535))
        throw std::runtime_error("--surface must be 0 to 65535");
    if (o.frames < 0 || o.frames > 100000)
        throw std::runtime_error("--frames must be 0 to 100000");
    if ((o.surface || o.frames) && o.view != "3D")
        throw std::runtime_error("--surface and --frames need --view 3D");
    return o;
}

void load(const Options& o, const std::shared_ptr<Model>& model, const std::shared_ptr<Settings>& settings)
{
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::DVT9000Importer());
    manager.insertImporter(new Vexa::UniversalImporter());
    if (!o.planning.isEmpty()) {
        PlanningReader reader(o.planning.toStdString(), model, settings, manager);
        if (!reader.start())
            throw std::runtime_error("cannot load the planning: " + reader.getErrorMessage());
        return;
    }
    const QString folder =
        o.patient.isEmpty() ? QString::fromStdString(Platform::applicationPath("SamplePatient")) : o.patient;
    std::vector<std::string> files;
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files, QDir::Name))
        files.push_back(info.absoluteFilePath().toStdString());
    if (files.empty())
        throw std::runtime_error("no series in " + folder.toStdString());
    DicomImport import(files, model, settings, manager);
    if (!import.start())
        throw std::runtime_error("cannot import the series: " + import.getErrorMessage());
}

// ---- the 3D view --------------------------------------------------------------------------

void generateSurface(const std::shared_ptr<Model>& model, int iso)
{
    const auto volume = model->getVolumeData();
    if (!volume)
        throw std::runtime_error("no volume for --surface");
    Vexa::MarchingCubes surface(volume, static_cast<unsigned short>(iso));
    if (!surface.start() || !surface.getResult() || surface.getResult()->getTriangleCount() == 0)
        throw std::runtime_error("no surface at " + std::to_string(iso));
    Vexa::MeshReduction reduction(surface.getResult());
    if (!reduction.start() || !reduction.getResult())
        throw std::runtime_error("the surface could not be reduced");
    const auto mesh = reduction.getResult();
    mesh->setUseFloatArrays(true);
    model->set3DModel(mesh);
    std::printf("surface %zu %zu\n", surface.getResult()->getTriangleCount(), mesh->getTriangleCount());
}

void printCamera(const OpenGL3DView& view)
{
    const Vexa::Matrix44<double>& c = view.getCameraTransform();
    const Vexa::Vector3D eye = c.getTranslation(), centre = eye + c.getColumn(2), up = c.getColumn(1);
    std::printf("camera %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g\n", eye.x, eye.y, eye.z, centre.x, centre.y,
                centre.z, up.x, up.y, up.z);
}

// Full pictures painted one after the other, each read back (which waits for it to finish);
// prints the rate.
void paintFrames(OpenGL3DView& view, int frames)
{
    view.grabFramebuffer();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < frames; ++i)
        view.grabFramebuffer();
    const double seconds = clock.nsecsElapsed() * 1e-9;
    std::printf("fps %.3f\n", seconds > 0.0 ? frames / seconds : 0.0);
}

}

int main(int argc, char** argv)
{
    OpenGLView::setDefaultSurfaceFormat();
    QApplication app(argc, argv);
    Options options;
    auto settings = std::make_shared<Settings>(Platform::applicationPath("Morvanta.ini"));
    auto model = std::make_shared<Model>(settings);
    IPlanningUi::install(std::make_shared<HarnessUi>());
    OpenGL2DView* view2D = nullptr;
    OpenGL3DView* view3D = nullptr;
    QOpenGLWidget* view = nullptr;
    try {
        options = parse(app.arguments());
        const QByteArray name = options.view.toUtf8();
        if (options.view == "Cross-sectional")
            view = view2D = new CrossSectionalView(model, nullptr, name.constData());
        else if (options.view == "Panoramic")
            view = view2D = new PanoramicView(model, nullptr, name.constData());
        else if (options.view == "3D")
            view = view3D = new OpenGL3DView(model, nullptr, "3D");
        else
            view = view2D = OrthoView::createNamed(model, options.view, nullptr);
        if (!view)
            throw std::runtime_error("unknown view " + options.view.toStdString());
        load(options, model, settings);
        if (options.surface)
            generateSurface(model, *options.surface);
        for (const auto& [file, position] : options.implants)
            if (const auto implant =
                    Implant::createFromFile(Vexa::Matrix44<double>(position), 0, file.toStdString()))
                model->getImplantManager()->addImplant(implant);
            else
                throw std::runtime_error("no implant in " + file.toStdString());
        if (options.window) {
            model->setMinVoxelValue(options.window->first);
            model->setMaxVoxelValue(options.window->second);
        }
        if (options.corners)
            model->getPanoramicLine()->setPoints(*options.corners);
        if (options.slice) {
            auto* ortho = dynamic_cast<OrthoView*>(view2D);
            if (!ortho)
                throw std::runtime_error("--slice needs an ortho view");
            ortho->getSlicePositioner()->setSlicePosition(*options.slice);
        }
        if (options.state)
            model->setStateAndUpdate(unsigned(*options.state));
    } catch (const std::exception& e) {
        std::cerr << "view_harness: " << e.what() << std::endl;
        delete view;
        return 2;
    }
    for (int i = 0; view2D && i < options.zoom; ++i)
        view2D->zoomIn();
    for (int i = 0; view2D && i > options.zoom; --i)
        view2D->zoomOut();

    view->setWindowFlags(Qt::FramelessWindowHint);
    view->resize(options.size ? *options.size : (view3D ? QSize(800, 600) : view->sizeHint()));
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry() : QRect();
    view->move(screen.topLeft());
    bool reported = false;
    QObject::connect(view, &QOpenGLWidget::frameSwapped, view, [&] {
        if (reported)
            return;
        reported = true;
        const QPoint at = view->mapToGlobal(QPoint(0, 0));
        std::printf("view %d %d %d %d\n", at.x(), at.y(), view->width(), view->height());
        if (view3D) {
            printCamera(*view3D);
            if (options.frames > 0)
                QTimer::singleShot(0, &app, [&] {
                    paintFrames(*view3D, options.frames);
                    std::fflush(stdout);
                    app.quit();
                });
        }
        std::fflush(stdout);
    });
    view->show();
    model->notify();
    if (options.quitAfter >= 0)
        QTimer::singleShot(options.quitAfter, &app, &QApplication::quit);
    const int status = app.exec();
    delete view;
    return status;
}
