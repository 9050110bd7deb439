// The base library's writers on a real full file system: a write that did not reach the disk
// is an error, and the file it was to replace stays as it was.
#include "common/SmallDisk.h"
#include "common/TestSupport.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/io/EncFile.h"
#include "vexa/io/LogFileKey.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/mesh/MeshFiles.h"

#include <filesystem>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>

namespace {

struct Writer
{
    const char* name;
    // Writes a version of the file of about `bytes` bytes.
    std::function<void(const std::string& file, std::size_t bytes)> write;
};

std::vector<Writer> writers()
{
    static TestSupport::ScratchDir elsewhere; // on the big disk
    return {
        {"AtomicFile::writeFile",
         [](const std::string& file, std::size_t bytes) { Vexa::AtomicFile::writeFile(file, std::string(bytes, 'v')); }},
        {"AtomicFile::copyFile",
         [](const std::string& file, std::size_t bytes) {
             const std::string source = elsewhere.file("source-" + std::to_string(bytes));
             Vexa::AtomicFile::writeFile(source, std::string(bytes, 'c'));
             Vexa::AtomicFile::copyFile(source, file);
         }},
        {"IniFileManager::write",
         [](const std::string& file, std::size_t bytes) {
             Vexa::IniFileManager ini(file, 0);
             ini.setValue("Planning", "notes", std::string(bytes, 'i'));
             ini.write();
         }},
        {"writeSFFBinFile",
         [](const std::string& file, std::size_t bytes) {
             // About 100 bytes a vertex.
             const unsigned n = std::max(3u, unsigned(std::sqrt(double(bytes) / 100.0)));
             Vexa::writeSFFBinFile(*Vexa::createEllipsoidMesh(Vexa::Matrix44<double>(), {5, 5, 5}, n, n), file);
         }},
    };
}

}

// Small files are the dangerous ones: they fit a writer's buffer, and a buffer that is only
// written out at the close can fail there unseen.
TEST(FullDiskWrite, AWriteIsWholeOrReportedWithTheOldFileKept)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    TestSupport::ScratchDir reference;
    for (const Writer& writer : writers()) {
        for (std::size_t bytes : {5000u, 12000u, 300000u}) {
            const std::string whole = reference.file("whole");
            std::filesystem::remove(whole);
            writer.write(whole, bytes);
            const std::string wanted = TestSupport::readFile(whole);
            for (unsigned long long free : {0ull, 4096ull, 16384ull, 65536ull}) {
                SCOPED_TRACE(std::string(writer.name) + ": " + std::to_string(wanted.size()) + " bytes with " +
                             std::to_string(free) + " bytes free");
                const std::string folder = SmallDisk::path() + "/files";
                std::filesystem::remove_all(folder);
                std::filesystem::remove(SmallDisk::path() + "/filler");
                std::filesystem::create_directories(folder);
                const std::string file = folder + "/target";
                writer.write(file, 100);
                const std::string before = TestSupport::readFile(file);
                ASSERT_FALSE(before.empty());

                SmallDisk::leaveFree(free);
                const std::string error = TestSupport::errorText([&] { writer.write(file, bytes); });
                const std::string after = TestSupport::readFile(file);
                if (error.empty())
                    EXPECT_TRUE(after == wanted) << "a write that says it succeeded is whole: " << after.size() << " bytes";
                else
                    EXPECT_TRUE(after == before) << "the old file is as it was: " << after.size() << " bytes; " << error;
                if (wanted.size() > free + 4096) {
                    EXPECT_NE(error, "") << "a file larger than the free space cannot have been written";
                }
                EXPECT_EQ(TestSupport::filesIn(folder), std::vector<std::string>{file}) << "no temporary file is left";
            }
        }
    }
}

// No byte or no file left: every writer throws a WriteError that carries the cause, so that a
// caller can say "The disk is full" without reading the text.
TEST(FullDiskWrite, EveryWriterCarriesTheCauseOfAFullDisk)
{
    if (!SmallDisk::rerunInside(1 << 20, {}, "nr_inodes=200"))
        return;
    for (const Writer& writer : writers())
        for (const bool inodes : {false, true}) {
            SCOPED_TRACE(std::string(writer.name) + (inodes ? ": no file left" : ": no byte left"));
            const std::string file = SmallDisk::clear() + "/target";
            inodes ? SmallDisk::leaveInodes(0) : SmallDisk::leaveFree(0);
            try {
                writer.write(file, 300000);
                ADD_FAILURE() << "written on a full disk";
            } catch (const Vexa::WriteError& e) {
                EXPECT_TRUE(e.isDiskFull()) << e.error();
                EXPECT_EQ(e.path(), file);
                const std::string text = e.what();
                EXPECT_TRUE(text.find("The disk is full: " + file + " could not be written.") != std::string::npos ||
                            text == "could not write SFFBin file " + file) << text;
            }
        }
}

// The disk fills while a file grows: the record that does not fit is refused and told, and
// every record taken before stays readable (the enciphered file too, padding and all).
TEST(FullDiskWrite, AGrowingFileKeepsWhatItTookWhenTheDiskFills)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    const Vexa::Rijndael cipher(128, Vexa::getLogFileKey());
    for (bool enciphered : {true, false}) {
        for (unsigned long long free : {0ull, 4096ull, 16384ull}) {
            SCOPED_TRACE(std::string(enciphered ? "EncFile" : "AtomicFile::appendFile") + " with " +
                         std::to_string(free) + " bytes free");
            const std::string file = SmallDisk::clear() + "/log";
            Vexa::EncFile encFile(QString::fromStdString(file), cipher);
            ASSERT_TRUE(!enciphered || encFile.open(QIODevice::WriteOnly));
            auto append = [&](const std::string& r) {
                if (!enciphered)
                    return TestSupport::errorText([&] { Vexa::AtomicFile::appendFile(file, r); });
                return encFile.write(r.data(), qint64(r.size())) == qint64(r.size()) ? std::string()
                                                                                      : encFile.errorString().toStdString();
            };
            std::string taken, refused;
            for (int n = 1; refused.empty() && taken.size() < free + (1 << 17); ++n) {
                if (n == 4) // three records with room, then a full disk
                    SmallDisk::leaveFree(free);
                const std::string r = "record " + std::to_string(n) + std::string(std::size_t(n * 37 % 300), 'x') + "\n";
                if ((refused = append(r)).empty())
                    taken += r;
            }
            encFile.close();
            EXPECT_NE(refused.find("The disk is full"), std::string::npos) << refused;
            EXPECT_EQ(encFile.writeFailed(), enciphered) << "still told after the close";
            Vexa::EncFile reader(QString::fromStdString(file), cipher);
            ASSERT_TRUE(!enciphered || reader.open(QIODevice::ReadOnly)) << "the file can still be read";
            const std::string read = enciphered ? reader.readAll().toStdString() : TestSupport::readFile(file);
            EXPECT_TRUE(read == taken) << read.size() << " bytes read, " << taken.size() << " taken";
        }
    }
}
