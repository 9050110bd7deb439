// The shell's own files on a real full file system: the implant short list and the exception
// trail are written whole, or the file stays as it was (and the trail's failure is told).
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/main/Application.h"

#include "common/SmallDisk.h"
#include "common/TestSupport.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

using TestSupport::readFile;

namespace {

struct Writer
{
    std::string file;
    std::function<void(std::size_t bytes)> prepare; // the file as it is, with room to spare
    std::function<std::string(std::size_t bytes)> write; // what the user was told
    std::function<bool(const std::string& before, const std::string& after)> whole;
};

// A short list that names its implant by the absolute path and keeps lines of implants that are
// gone: the dialog writes it back with the implant's relative name.
Writer shortList()
{
    const std::string db = SmallDisk::path() + "/files/", model = MORVANTA_BINARY_DIR "/app/ImplantDatabase/Quillon Medical/Q-Line/QM-L-D33-L080";
    return {db + "selection.db",
            [=](std::size_t bytes) {
                for (const char* extension : {".implant", ".sff", ".bmp"})
                    std::filesystem::copy_file(model + extension, db + "Q" + extension);
                std::string lines = db + "Q.implant\n";
                for (int i = 0; lines.size() < bytes; ++i)
                    lines += "Gone/implant-" + std::to_string(i) + ".implant\n";
                Vexa::AtomicFile::writeFile(db + "selection.db", lines);
            },
            [=](std::size_t) {
                HierachyImplantSelectionDialog::forgetDatabase(); // read once per process otherwise
                { HierachyImplantSelectionDialog dialog(QString::fromStdString(db), true, nullptr); }
                return std::string();
            },
            [=](const std::string& before, const std::string& after) {
                return after == "Q.implant\n" + before.substr(db.size() + 10);
            }};
}

// A trail of about `bytes` bytes reported as the event boundary does; the box is answered.
Writer exceptionTrail()
{
    const std::string home = SmallDisk::path() + "/files", file = home + "/patients/MorvantaStudyDummy/System/stacktrace.log";
    return {file,
            [=](std::size_t) {
                std::filesystem::create_directories(home + "/patients/MorvantaStudyDummy/System");
                Vexa::AtomicFile::writeFile(home + "/Morvanta.ini", "[Morvanta]\nPatientPath=" + home + "/patients\n");
                Vexa::AtomicFile::writeFile(file, "Application: Morvanta\ntrace begin date: earlier\n\n");
                setenv("MORVANTA_HOME", home.c_str(), 1);
            },
            [](std::size_t bytes) {
                const std::string signature = "void Thrower::fail(" + std::string(100, 'x') + ")";
                for (std::size_t i = 0; i * (signature.size() + 60) < bytes; ++i)
                    Vexa::ExceptionStack::getInstance()->push(signature.c_str(), __FILE__, int(i));
                std::string told;
                QTimer poll;
                QObject::connect(&poll, &QTimer::timeout, [&] {
                    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                        told = box->text().toStdString();
                        box->done(0);
                    }
                });
                poll.start(10);
                Quorvane::Application::reportException("a slot failed", true);
                Vexa::ExceptionStack::getInstance()->clear();
                return told.find("The exception trail was not saved") == std::string::npos ? std::string() : told;
            },
            [](const std::string& before, const std::string& after) {
                const std::string added = after.substr(std::min(before.size(), after.size()));
                return after.rfind(before, 0) == 0 && added.rfind("Application: Morvanta\ntrace begin date: ", 0) == 0 &&
                       added.find("\ntrace end date: ") != std::string::npos && added.substr(added.size() - 2) == "\n\n";
            }};
}

}

TEST(ShellFullDisk, AFileIsWholeOrStaysAsItWas)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    for (const auto& make : {shortList, exceptionTrail}) {
        for (std::size_t bytes : {5000u, 12000u, 300000u}) {
            for (unsigned long long free : {0ull, 4096ull, 16384ull, 65536ull}) {
                SCOPED_TRACE(std::to_string(bytes) + " bytes with " + std::to_string(free) + " bytes free");
                setenv("MORVANTA_HOME", MORVANTA_BINARY_DIR "/app", 1); // the dialog's pictures
                const std::string folder = SmallDisk::clear();
                const Writer writer = make();
                writer.prepare(bytes);
                const std::string before = readFile(writer.file);
                SmallDisk::leaveFree(free);
                const std::string told = writer.write(bytes);
                const std::string after = readFile(writer.file);
                if (after != before) {
                    EXPECT_TRUE(writer.whole(before, after)) << "a changed file is whole: " << after.size() << " bytes";
                } else if (make == exceptionTrail) {
                    EXPECT_NE(told.find("The disk is full"), std::string::npos) << "told: " << told;
                }
                EXPECT_TRUE(bytes <= free + 4096 || after == before) << "more than the free space was written";
                for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
                    EXPECT_NE(entry.path().filename().string().front(), '.') << "no temporary file is left";
            }
        }
    }
    unsetenv("MORVANTA_HOME");
}
