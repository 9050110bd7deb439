// Speed of the data-browsing dialogs, each against its target or an outside reader in one run:
//   implantDatabase   1,000 implant descriptions read and listed        target < 300 ms
//   planningList      200 plannings of 300 files each scanned and listed target < 1 s
//   headerReads       DICOM headers of a 2,000-file tree; counter "vs_pydicom" is our rate over
//                     pydicom's dcmread(stop_before_pixels=True) on the same files (>= 1 wanted)
//   boneDensity       the ring sampling on a 512 x 512 x 400 volume; counter "vs_numpy" is the
//                     numpy oracle's sampling time over ours
// Fixtures are written once into a temporary folder by the tests' generators.
#include "BenchApplication.h"

#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomInformation.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "shell/dialogs/BoneDensityDialog.h"
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/dialogs/LoadPlanningDialog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <chrono>
#include <fstream>
#include <sstream>

namespace {

const QTemporaryDir& scratch()
{
    static QTemporaryDir dir;
    return dir;
}

// Runs a tests/tools generator; its standard error (the oracles' timings) as text.
std::string python(const QString& arguments)
{
    const QString err = scratch().path() + "/python.err";
    const QString command = "/usr/bin/python3 " MORVANTA_SOURCE_DIR "/tests/tools/" + arguments + " > /dev/null 2> " + err;
    if (std::system(command.toLocal8Bit().constData()) != 0)
        throw std::runtime_error("failed: " + command.toStdString());
    std::ifstream in(err.toStdString());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const QString& file, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile f(file);
    f.open(QIODevice::WriteOnly);
    f.write(text);
}

std::unique_ptr<Vexa::DicomIOManager> manager()
{
    auto m = std::make_unique<Vexa::DicomIOManager>();
    m->insertImporter(new Vexa::DVT9000Importer());
    m->insertImporter(new Vexa::UniversalImporter());
    return m;
}

void implantDatabase(benchmark::State& state)
{
    benchApplication();
    const QString db = scratch().path() + "/implants";
    for (int i = 0; i < 1000 && !QFile::exists(db + "/selection.db"); ++i)
    {
        const QString base = db + QString("/Company %1/Family %2/I%3").arg(i % 7).arg(i % 40).arg(i);
        write(base + ".implant", QString("[Implantdata]\nname=Family %1\ncompany=Company %2\nreference=R%3\ncomment=c\n"
                                         "length=%4\ndiameter=%5\nshoulder=5\nsurfacefile=I%3.sff\n")
                                     .arg(i % 40).arg(i % 7).arg(i).arg(8 + i % 9).arg(3 + (i % 13) * 0.1)
                                     .toUtf8());
        write(base + ".bmp", "");
        write(base + ".sff", "");
    }
    for (auto _ : state)
    {
        HierachyImplantSelectionDialog::forgetDatabase();
        HierachyImplantSelectionDialog dialog(db, true, nullptr);
    }
    state.counters["descriptions"] = 1000;
}

void planningList(benchmark::State& state)
{
    benchApplication();
    const QString root = scratch().path() + "/plannings";
    if (!QFile::exists(root))
    {
        python("dicom_tree.py many " + scratch().path() + "/one 1");
        for (int p = 0; p < 200; ++p)
        {
            const QString folder = root + QString("/Patient%1").arg(p);
            QDir().mkpath(folder);
            QFile::copy(scratch().path() + "/one/Many/00000.dcm", folder + "/image.dcm");
            for (int f = 0; f < 298; ++f)
                write(folder + QString("/slice%1.dcm").arg(f), "");
            write(folder + "/plan.srl",
                  QString("[Patient]\nname=P%1\nbirthday=19650412\n[Planningdata]\nversion=2.0.3\n"
                          "lastModified=01/02/2005 09:%2:00\nimplantregion=1\n[Implant]\nimplant=0\n"
                          "[ImageData]\ndicomFile0=image.dcm\n")
                      .arg(p).arg(p % 60, 2, 10, QChar('0'))
                      .toUtf8());
        }
    }
    const auto m = manager();
    for (auto _ : state)
    {
        LoadPlanningDialog dialog(nullptr, m.get());
        dialog.setBasePaths({root.toStdString()});
        QTimer::singleShot(0, &dialog, [&] { dialog.reject(); });
        dialog.exec();
    }
    state.counters["files"] = 200 * 300;
}

void headerReads(benchmark::State& state)
{
    const QString root = scratch().path() + "/headers";
    std::istringstream pydicom(python("dicom_tree.py rate " + root + " 2000"));
    std::string word;
    double pydicomRate = 0;
    pydicom >> word >> pydicomRate;
    QStringList files = QDir(root + "/Many").entryList(QDir::Files);
    const auto m = manager();
    std::size_t reads = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        for (const QString& file : files)
            reads += m->readInformation((root + "/Many/" + file).toStdString()) != nullptr;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["reads_per_s"] = double(reads) / seconds;
    state.counters["pydicom_per_s"] = pydicomRate;
    state.counters["vs_pydicom"] = double(reads) / seconds / pydicomRate;
}

void boneDensity(benchmark::State& state)
{
    benchApplication();
    const unsigned nx = 512, ny = 512, nz = 400;
    auto volume = std::make_shared<Vexa::VolumeData<unsigned short>>(nx, ny, nz, 0.3, 0.3, 0.3);
    for (std::size_t i = 0; i < volume->getVoxelCount(); ++i)
        const_cast<unsigned short*>(volume->getVoxels())[i] = static_cast<unsigned short>((i * 2654435761u) % 4096);
    const QString raw = scratch().path() + "/volume.raw";
    std::ofstream(raw.toStdString(), std::ios::binary)
        .write(reinterpret_cast<const char*>(volume->getVoxels()), std::streamsize(volume->getVoxelCount() * 2));
    Vexa::Matrix44<double> t;
    t.setRotation(Vexa::Vector3D(1, 1, 0), 0.3);
    t.setTranslation(Vexa::Vector3D(70, 80, 60));
    QString arguments = "bone_density_oracle.py " + raw + " 512 512 400 0.3 0.3 0.3 4.1 11.5";
    for (int i = 0; i < 16; ++i)
        arguments += " " + QString::number(t[i], 'g', 17);
    std::istringstream oracle(python(arguments));
    std::string a, b;
    double numpySeconds = 0;
    oracle >> a >> b >> numpySeconds;

    auto model = std::make_shared<Model>(std::make_shared<Settings>((scratch().path() + "/none.ini").toStdString()));
    model->setData(std::make_shared<Vexa::DicomVolume>(
        std::make_shared<Vexa::DicomInformation>(std::map<uint32_t, std::string>{}, 1), volume, std::vector<std::string>{}));
    const auto implant = std::make_shared<Implant>(nullptr, "I", "C", "R", "", 11.5, 4.1, 4.8, "", 0, t);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        BoneDensityDialog dialog(implant, model, 1, nullptr);
    const double ours = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                        double(state.iterations());
    state.counters["numpy_s"] = numpySeconds;
    state.counters["vs_numpy"] = numpySeconds / ours;
}

}

BENCHMARK(implantDatabase)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(planningList)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(headerReads)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(boneDensity)->Unit(benchmark::kMillisecond)->UseRealTime();
