// Configuration files are given by the user: any bytes must load with warnings at most, or be
// refused as a whole with a report, and what a load leaves behind must save and load again to the
// same file.
#include "ScratchFile.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/TapewrightConfig.h"
#include "tapewright/TapewrightSettings.h"

#include <QApplication>
#include <QFile>
#include <cstdint>
#include <cstdlib>

namespace {

TapewrightConfig* config()
{
    static int argc = 1;
    static char name[] = "fuzz_tapewright_config";
    static char* argv[] = {name, nullptr};
    static TapewrightConfig* instance = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        new QApplication(argc, argv);
        TapewrightSettings::instance().setShowConfigDialog(false);
        TapewrightConfig::setWarningSink([](const QString&, const QString&) {});
        setErrorSink([](bool, const QString&) {});
        return new TapewrightConfig(argc, argv, false);
    }();
    return instance;
}

QByteArray readAll(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TapewrightConfig* dialog = config();
    const QString base = QString::fromStdString(fuzzScratchFile("twconfig"));
    {
        QFile out(base + ".in");
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        out.write(reinterpret_cast<const char*>(data), qsizetype(size));
    }
    dialog->loadConfig(base + ".in");
    dialog->saveConfig(base + ".a");
    dialog->loadConfig(base + ".a");
    dialog->saveConfig(base + ".b");
    const bool same = readAll(base + ".a") == readAll(base + ".b");
    for (const char* written : {".in", ".a", ".b"})
        QFile::remove(base + written);
    if (!same)
        std::abort();
    return 0;
}
