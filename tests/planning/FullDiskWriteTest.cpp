// The planning library's writers on a real full file system: a copy is whole or told with the
// old file kept, and the treatment log keeps what it logged when the disk fills.
#include "common/SmallDisk.h"
#include "common/TestSupport.h"
#include "planning/log/TreatmentLog.h"
#include "planning/model/Utilities.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/io/EncFile.h"
#include "vexa/io/Rijndael.h"

#include <QDateTime>
#include <QDir>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

using TestSupport::readFile;

namespace {

// Whole lines only, each beginning with "DATE: ".
bool wholeLines(const std::string& text)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line) && line.rfind("DATE: ", 0) == 0) {
    }
    return in.eof() && (text.empty() || text.back() == '\n');
}

}

TEST(PlanningFullDisk, ACopyIsWholeOrToldWithTheOldFileKept)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    TestSupport::ScratchDir big;
    for (std::size_t bytes : {5000u, 12000u, 300000u}) {
        Vexa::AtomicFile::writeFile(big.file("source"), std::string(bytes, 'c'));
        for (unsigned long long free : {0ull, 4096ull, 16384ull, 65536ull}) {
            SCOPED_TRACE(std::to_string(bytes) + " bytes with " + std::to_string(free) + " bytes free");
            const std::string target = SmallDisk::clear() + "/target";
            Vexa::AtomicFile::writeFile(target, "the old file");
            SmallDisk::leaveFree(free);
            std::string why;
            const bool copied = Utilities::copyFile(big.file("source"), target, &why);
            EXPECT_EQ(readFile(target), copied ? readFile(big.file("source")) : "the old file") << why;
            EXPECT_TRUE(copied || bytes > free) << why;
            EXPECT_TRUE(!copied || bytes <= free + 4096) << "more than the free space cannot have been copied";
            EXPECT_EQ(TestSupport::filesIn(SmallDisk::path() + "/files"), std::vector<std::string>{target});
        }
    }
}

// The disk fills during a treatment: the journal and the accuracy file keep whole lines and say
// so once, storing is told; with room again the log is stored with every entry, and the next
// calibration line reads back.
TEST(PlanningFullDisk, TheTreatmentLogKeepsWhatItLoggedWhenTheDiskFills)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    // Every look at the clock a second later: every stored log has a name of its own.
    std::atomic<int> seconds{0};
    Utilities::setClock([&] { return QDateTime(QDate(2005, 3, 7), QTime(9, 0, 0)).addSecs(seconds++); });
    for (unsigned long long free : {0ull, 4096ull, 16384ull}) {
        SCOPED_TRACE(std::to_string(free) + " bytes free");
        SmallDisk::clear("home/Patients");
        const std::string home = SmallDisk::path() + "/home", planning = home + "/Plans/P.srl";
        std::filesystem::create_directory(home + "/Plans");
        TreatmentLog log(home);
        ASSERT_TRUE(log.start("Patient", planning, {}, Constants::Maxilla).empty());
        log.wait(); // the journal in the planning's folder
        ASSERT_TRUE(log.takeFailures().empty());
        SmallDisk::leaveFree(free);
        std::vector<std::string> told;
        int entries = 0;
        while (told.empty() && ++entries < 2000) {
            log.logCalibrationStart(false, Constants::Maxilla);
            log.flushJournal(); // its writer tells a failure once it met it
            told = log.takeFailures();
        }
        ASSERT_EQ(told.size(), 1u);
        EXPECT_NE(told[0].find("The disk is full"), std::string::npos) << told[0];
        std::vector<std::string> appended;
        for (int i = 0; appended.empty() && i < 2000; ++i)
            appended = log.logCalibration({1.0 + i, 0.1}, {0, 0.05}, {0.1, 0.02}, Constants::Maxilla);
        EXPECT_EQ(appended.size(), 1u);
        const std::string journal = home + "/Plans/Log/" + QDir(QString::fromStdString(home + "/Plans/Log"))
                                                               .entryList({"*.journal"})
                                                               .value(0)
                                                               .toStdString();
        EXPECT_TRUE(wholeLines(readFile(journal))) << readFile(journal);
        EXPECT_TRUE(wholeLines(readFile(log.accuracyFile(Constants::Maxilla))));
        log.store(planning, {home + "/Patients"}, {});
        log.wait();
        EXPECT_FALSE(log.takeFailures().empty()) << "storing on a full disk is told";

        std::remove((SmallDisk::path() + "/filler").c_str()); // room again
        EXPECT_TRUE(log.logCalibration({0.75, 0.25}, {0, 0.05}, {0.1, 0.02}, Constants::Maxilla).empty());
        log.store(planning, {home + "/Patients"}, {});
        log.wait();
        EXPECT_TRUE(log.takeFailures().empty());
        const QStringList logs = QDir(QString::fromStdString(home + "/Plans/Log")).entryList({"*.log"});
        ASSERT_EQ(logs.size(), 1);
        const std::string stored = readFile(home + "/Plans/Log/" + logs[0].toStdString());
        std::size_t starts = 0;
        for (std::size_t at = 0; (at = stored.find("OK STARTED\n", at)) != std::string::npos; ++at)
            ++starts;
        EXPECT_EQ(starts, std::size_t(entries)) << "also the entries the journal missed";
        const std::string dummy = readFile(home + "/Patients/MorvantaStudyDummy/MorvantaStudyDummy.srl");
        EXPECT_TRUE(dummy.size() > 100 && dummy.substr(dummy.size() - 12) == "implant = 0\n") << dummy;
        log.start("Patient", planning, {}, Constants::Maxilla);
        const std::string loaded = log.getCalibrationEntries().back().action.toStdString();
        EXPECT_EQ(loaded.rfind("CALIBRATION OK FROM DATE: 7/3/2005  TIME: 9:", 0), 0u) << loaded;
        EXPECT_NE(loaded.find("LOADED BC: u=0.75 s=0.25 "), std::string::npos) << loaded;
    }
    Utilities::setClock({});
}

// A record file (a journal, a session recording) is made only where its name is free, never
// through a link put there, and only where its disk takes its start: a full disk leaves no file.
// The recording opens only the very file made, whatever stands at its name by then, and makes
// nothing where a link put there points.
TEST(PlanningFullDisk, ARecordFileIsMadeOnlyWhereItsNameIsFreeAndItsDiskTakesItsStart)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    std::atomic<int> seconds{0};
    Utilities::setClock([&] { return QDateTime(QDate(2005, 3, 7), QTime(9, 0, 0)).addSecs(seconds++); });
    const struct
    {
        const char* name;
        unsigned long long free;
        bool linkAtFirstName;
        int error; // 0: made
        bool dangling = false; // the link put at its name points nowhere
    } rows[] = {
        {"room", 1ull << 19, false, 0},
        {"a link at the first name", 1ull << 19, true, 0},
        {"a link to nowhere at its name", 1ull << 19, true, 0, true},
        {"a full disk", 0, false, ENOSPC},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string folder = SmallDisk::clear("records"), outside = SmallDisk::path() + "/outside";
        Vexa::AtomicFile::writeFile(outside, "not the recording's");
        if (row.linkAtFirstName)
            std::filesystem::create_symlink(outside, folder + "/" + Utilities::getTimeStampName(
                                                                             QDateTime(QDate(2005, 3, 7), QTime(9, 0, 0)).addSecs(seconds)) + ".log");
        SmallDisk::leaveFree(row.free);
        std::string path;
        int error = 0;
        const int fd = Utilities::createRecordFile(folder, ".log", path, error, 1 << 16);
        EXPECT_EQ(row.error, fd < 0 ? error : 0) << std::strerror(error);
        if (fd < 0) {
            EXPECT_EQ(TestSupport::filesIn(folder), std::vector<std::string>{}) << "a record that cannot begin leaves no file";
            continue;
        }
        // Where a link takes its name before the recording opens it (the second row), the
        // recording does not open: nothing outside is cut or written.
        const std::string nowhere = SmallDisk::path() + "/nowhere";
        if (row.linkAtFirstName) {
            std::filesystem::rename(path, path + ".moved");
            std::filesystem::create_symlink(row.dangling ? nowhere : outside, path);
        }
        {
            Vexa::EncFile recording(QString::fromStdString(path), Vexa::Rijndael(128, std::vector<char>(16, 'k')));
            recording.adopt(fd);
            ASSERT_EQ(recording.open(QIODevice::WriteOnly), !row.linkAtFirstName);
            if (recording.isOpen()) {
                EXPECT_EQ(recording.write("<Events>"), 8);
            }
        }
        EXPECT_EQ(readFile(outside), "not the recording's");
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(nowhere))) << "made through the link";
        if (!row.linkAtFirstName) {
            EXPECT_EQ(std::filesystem::file_size(path), 16u) << "one enciphered block";
        }
    }
    Utilities::setClock({});
}
