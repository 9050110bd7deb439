// The planning file format: values survive a write and a read exactly, old files keep their
// DICOM names where old programs put them, and damage is reported with file, group and key.
#include "planning/io/PlanningFile.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/PlanningFolderUpdate.h"

#include "PlanningTestSupport.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace PlanningTest;

namespace {

std::string errorOf(const std::string& file)
{
    return TestSupport::errorText([&] { PlanningFile::read(file); });
}

const char* const minimalFile = "[Planningdata]\nversion = 2.0.3\n[ImageData]\ndicomFile0 = dicom/a\n";

}

TEST(PlanningFile, WritesAndReadsEveryValueExactly)
{
    TestSupport::ScratchDir dir;
    PlanningFile planning;
    planning.patientName = "Doe^John";
    planning.birthday = "19650412";
    planning.sex = "M";
    planning.patientId = "4711";
    planning.version = Vexa::getProgramVersion();
    planning.lastModified = "12/31/2004 10:00:00";
    planning.jaw = 2;
    planning.imageDevice = "CT";
    planning.dicomFiles = {"dicom/IM1", "dicom/IM2", "dicom/IM3"};
    planning.minVoxelValue = 980;
    planning.midVoxelValue = 1650;
    planning.maxVoxelValue = 2320;
    planning.surfaceFile = "surface/model.sff";
    Vexa::Matrix44<double> transform(Vector3D(0.1, 0.2, 0.3), Vector3D(0.1 / 3.0, 1e-17, -2.5));
    transform[3] = 0.25; // an element outside the rotation and translation parts still round-trips
    planning.implants = {{"implant/0/A.implant", 1, transform}, {"implant/1/B.implant", 0, Vexa::Matrix44<double>(Vector3D(1, 2, 3))}};
    planning.corners = {Vector3D(1.0 / 3.0, 2, 0), Vector3D(-4.5, 1e300, 7)};
    planning.dividePlane = Vexa::Plane<double>(Vector3D(1, 2, 3), Vector3D(0, 1, 0));
    planning.nerveElements = {{1, {{Vector3D(1, 2, 3), 3.0, 0.5}, {Vector3D(4, 5, 6), 2.5, 7.25}}}, {0, {}}};
    planning.markers = {Vector3D(1, 1, 1), Vector3D(2.0 / 7.0, 3, 4)};
    planning.markersDetected = true;
    planning.markerDetectionMethod = 2;
    planning.markerDetectionDone = true;
    planning.transversalPosition = 41.25;
    planning.coronalPosition = 0.1;
    planning.sagittalPosition = 33.0;
    const std::string file = dir.file("p/p.srl");
    fs::create_directories(dir.file("p"));
    planning.write(file);

    // Read and written again, the file comes out byte for byte: no value is lost or changed
    // on the way in. The values that need every digit are checked where they land.
    const PlanningFile read = PlanningFile::read(file);
    read.write(dir.file("p/again.srl"));
    EXPECT_EQ(readBytes(file), readBytes(dir.file("p/again.srl")));
    EXPECT_EQ(read.version.toString("."), "2.0.3");
    EXPECT_EQ(read.maxVoxelValue, 2320);
    ASSERT_EQ(read.implants.size(), 2u);
    EXPECT_EQ(read.implants[0].group, 1u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(read.implants[0].transform[i], transform[i]) << i;
    ASSERT_EQ(read.corners.size(), 2u);
    EXPECT_EQ(read.corners[0].x, 1.0 / 3.0);
    EXPECT_EQ(read.corners[1].y, 1e300);
    ASSERT_TRUE(read.dividePlane);
    EXPECT_EQ(read.dividePlane->getPoint().z, 3.0);
    ASSERT_EQ(read.nerveElements.size(), 2u);
    ASSERT_EQ(read.nerveElements[0].points.size(), 2u);
    EXPECT_EQ(read.nerveElements[0].points[1].offset, 7.25);
    EXPECT_TRUE(read.nerveElements[1].points.empty());
    ASSERT_EQ(read.markers.size(), 2u);
    EXPECT_EQ(read.markers[1].x, 2.0 / 7.0);
    EXPECT_EQ(read.coronalPosition, 0.1);

    // Every value is in the text; matrices are written row by row.
    const std::string text = readBytes(file);
    for (const char* value : {"Doe^John", "19650412", "= M\n", "4711", "12/31/2004 10:00:00", "= CT\n", "dicom/IM3",
                              "980", "1650", "surface/model.sff", "implant/1/B.implant", "41.25", "= 33\n"})
        EXPECT_NE(text.find(value), std::string::npos) << value;
    EXPECT_NE(text.find("transform1 = 1 0 0 1 0 1 0 2 0 0 1 3 0 0 0 1\n"), std::string::npos) << text;
}

TEST(PlanningFile, TakesTheDicomNamesFromTheGroupOfItsVersion)
{
    TestSupport::ScratchDir dir;
    const std::string both = "[ImageData]\ndicomFile0 = new/a\ndicomFile1 = new/b\n"
                             "[Patient]\nname = X\n";
    const auto withVersion = [&](const std::string& version) {
        const std::string file = dir.file(version + ".srl");
        writeText(file, "[Planningdata]\nversion = " + version + "\ndicomFile0 = old/a\n" + both);
        return PlanningFile::read(file).dicomFiles;
    };
    EXPECT_EQ(withVersion("1.8.0"), std::vector<std::string>{"old/a"});
    EXPECT_EQ(withVersion("1.8.9"), std::vector<std::string>{"old/a"});
    EXPECT_EQ(withVersion("1.9.0"), (std::vector<std::string>{"new/a", "new/b"}));
    EXPECT_EQ(withVersion("1.9.5"), (std::vector<std::string>{"new/a", "new/b"}));
    EXPECT_EQ(withVersion("2.0.3"), (std::vector<std::string>{"new/a", "new/b"}));
    // Without a count the names run up to the first gap; with one, every counted name is required.
    const std::string gap = dir.file("gap.srl");
    writeText(gap, "[Planningdata]\nversion=2.0.0\n[ImageData]\ndicomFile0=a\ndicomFile1=b\ndicomFile3=d\n");
    EXPECT_EQ(PlanningFile::read(gap).dicomFiles, (std::vector<std::string>{"a", "b"}));
    const std::string counted = dir.file("counted.srl");
    writeText(counted, "[Planningdata]\nversion=2.0.0\n[ImageData]\nnumberOfDicomFiles=3\ndicomFile0=a\n"
                       "dicomFile1=b\ndicomFile3=d\n");
    EXPECT_EQ(errorOf(counted), "The planning file " + counted + " misses the key \"dicomFile2\" in [ImageData].");
    // A hand-written minimal file (blanks around "=") reads with defaults for the rest.
    const std::string minimal = dir.file("minimal.srl");
    writeText(minimal, minimalFile);
    const PlanningFile read = PlanningFile::read(minimal);
    EXPECT_EQ(read.jaw, 0);
    EXPECT_TRUE(read.implants.empty());
    EXPECT_FALSE(read.minVoxelValue);
    EXPECT_FALSE(read.transversalPosition);
}

// Patient texts are UTF-8 in a planning: a file written before that held a name's raw Latin-1
// bytes reads with the name right, and such bytes are written out as UTF-8.
TEST(PlanningFile, PatientTextsAreUtf8WhateverTheFileHeld)
{
    TestSupport::ScratchDir dir;
    const struct
    {
        std::string stored, name;
    } cases[] = {
        {"M\xFCller^J\xFCrgen", "M\xC3\xBCller^J\xC3\xBCrgen"},           // raw Latin-1
        {"M\xC3\xBCller^J\xC3\xBCrgen", "M\xC3\xBCller^J\xC3\xBCrgen"}, // UTF-8 stays
        {"\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD", "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"},
        {"Ren\xC3", "Ren\xC3\x83"},                                     // UTF-8 cut short
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                                // an overlong form
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},                     // a surrogate
        {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},          // past U+10FFFF
    };
    for (const auto& c : cases) {
        const std::string file = dir.file("p.srl");
        writeText(file, minimalFile + std::string("[Patient]\nname = ") + c.stored + "\nid = " + c.stored + "\n");
        const PlanningFile read = PlanningFile::read(file);
        EXPECT_EQ(read.patientName, c.name) << c.stored;
        EXPECT_EQ(read.patientId, c.name) << c.stored;

        PlanningFile written = read;
        written.patientName = c.stored;
        written.write(file);
        EXPECT_NE(readBytes(file).find("name = " + c.name + "\n"), std::string::npos) << readBytes(file);
        EXPECT_EQ(PlanningFile::read(file).patientName, c.name) << c.stored;
    }
}

TEST(PlanningFile, NamesFileGroupAndKeyOfDamage)
{
    TestSupport::ScratchDir dir;
    const std::string file = dir.file("d.srl");
    const std::string prefix = "The planning file " + file + " ";
    struct Case
    {
        std::string extra;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"[Implant]\nimplant=1\ngroup0=1\ntransform0=1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n",
         "misses the key \"file0\" in [Implant]."},
        {"[Implant]\nimplant=1\nfile0=x.implant\ngroup0=-1\ntransform0=1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n",
         "holds an invalid value of \"group0\" in [Implant]."},
        {"[Implant]\nimplant=1\nfile0=x.implant\ngroup0=1\ntransform0=1 0 0 0 0 1 0 0 0 0 1 0 0 0 0\n",
         "holds an invalid value of \"transform0\" in [Implant]."},
        {"[Implant]\nimplant=1\nfile0=x.implant\ngroup0=1\ntransform0=1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 nan\n",
         "holds an invalid value of \"transform0\" in [Implant]."},
        {"[Implant]\nimplant=two\n", "holds an invalid value of \"implant\" in [Implant]."},
        {"[PanoramicLine]\ncorners=2\ncorner0=1 2 3\ncorner1=1,5 2 3\n",
         "holds an invalid value of \"corner1\" in [PanoramicLine]."},
        {"[Nerve]\nelements=1\nelement0type=1\nelement0points=1\nelement0point0=1 2 3 0 4\n",
         "holds an invalid value of \"element0point0\" in [Nerve]."},
        {"[Nerve]\nelements=1\nelement0type=1\n", "misses the key \"element0points\" in [Nerve]."},
        {"[Marker]\nmarkers=1\n", "misses the key \"marker0\" in [Marker]."},
        {"[Slices]\ncoronal=12mm\n", "holds an invalid value of \"coronal\" in [Slices]."},
        {"[ImageData]\nminVoxelValue=\n", "holds an invalid value of \"minVoxelValue\" in [ImageData]."},
        // Files outside the planning folder, and groups the ini reader would pass over.
        {"[Implant]\nimplant=1\nfile0=../other/x.implant\ngroup0=1\ntransform0=1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n",
         "holds an invalid value of \"file0\" in [Implant]."},
        {"[Surface]\nsurfaceFile=/etc/model.sff\n", "holds an invalid value of \"surfaceFile\" in [Surface]."},
        {"[ImageData]\ndicomFile1=dicom/../../b\n", "holds an invalid value of \"dicomFile1\" in [ImageData]."},
        {"[implant]\nimplant=1\n", "names the group [implant]; it must be [Implant]."},
    };
    for (const Case& c : cases) {
        writeText(file, minimalFile + c.extra);
        EXPECT_EQ(errorOf(file), prefix + c.error) << c.extra;
    }
    // A leading "+" is read as in implant descriptions.
    writeText(file, minimalFile + std::string("[Marker]\nmarkers=+1\nmarker0=+1.5 -2 +.5\n"));
    EXPECT_EQ(PlanningFile::read(file).markers, std::vector<Vector3D>{Vector3D(1.5, -2, 0.5)});
    // Line breaks in patient values are written as blanks.
    PlanningFile planning = PlanningFile::read(file);
    planning.patientName = "Doe^John\r\nJr.\nII";
    planning.write(file);
    EXPECT_EQ(PlanningFile::read(file).patientName, "Doe^John Jr. II");
    writeText(file, "[Planningdata]\nversion = 2.0.3\n");
    EXPECT_EQ(errorOf(file), prefix + "names no DICOM files (key \"dicomFile0\" in [ImageData]).");
    writeText(file, "[Planningdata]\nversion = 2.1.0\n[ImageData]\ndicomFile0 = a\n");
    EXPECT_EQ(errorOf(file), prefix + "was saved by a newer program version (2.1.0).");
    EXPECT_EQ(errorOf(dir.file("missing.srl")), "The planning file " + dir.file("missing.srl") + " cannot be read.");
    EXPECT_EQ(errorOf(dir.path()), "The planning file " + dir.path() + " cannot be read.");
}

TEST(PlanningFolderUpdate, PublishesOnlyAtCommitIntoANewFolderAndKeepsWhatIsNotThePlanning)
{
    TestSupport::ScratchDir dir;
    const std::string folder = dir.file("patients/2024-01-01__10-00-00-1");
    writeText(folder + "/dicom/IM1", "old dicom");
    PlanningFile old;
    old.version = Vexa::getProgramVersion();
    old.dicomFiles = {"dicom/IM1"};
    old.implants = {{"implant/0/A.implant", 0, {}}};
    old.write(folder + "/2024-01-01__10-00-00-1.srl");
    writeText(folder + "/implant/0/A.implant", "old implant");
    writeText(folder + "/images/shot.png", "screenshot");
    writeText(folder + "/Log/1.log", "treatment");
    const auto before = snapshot(dir.file("patients"));

    {
        // Abandoned: nothing changes, nothing is left behind.
        PlanningFolderUpdate update(dir.file("patients/2024-02-02__10-00-00-2"), folder);
        writeText(update.getStagingFolder() + "/x.srl", "half");
        EXPECT_EQ(fs::path(update.getStagingFolder()).parent_path(), fs::path(dir.file("patients")));
    }
    EXPECT_EQ(snapshot(dir.file("patients")), before);

    // Saved again under a new name: the old folder's extras move along, its planning and the
    // files that planning names go, and so does the folder.
    const std::string renamed = dir.file("patients/2024-02-02__10-00-00-2");
    {
        PlanningFolderUpdate update(renamed, folder + "/");
        writeText(update.getStagingFolder() + "/2024-02-02__10-00-00-2.srl", "newer planning");
        writeText(update.getStagingFolder() + "/dicom/IM1", "new dicom");
        update.commit();
        EXPECT_EQ(update.getNotes(), std::vector<std::string>{});
    }
    const std::map<std::string, std::string> moved = {
        {"2024-02-02__10-00-00-2", "/"},
        {"2024-02-02__10-00-00-2/2024-02-02__10-00-00-2.srl", "newer planning"},
        {"2024-02-02__10-00-00-2/dicom", "/"},
        {"2024-02-02__10-00-00-2/dicom/IM1", "new dicom"},
        {"2024-02-02__10-00-00-2/images", "/"},
        {"2024-02-02__10-00-00-2/images/shot.png", "screenshot"},
        {"2024-02-02__10-00-00-2/Log", "/"},
        {"2024-02-02__10-00-00-2/Log/1.log", "treatment"}};
    EXPECT_EQ(snapshot(dir.file("patients")), moved);

    // A planning takes a folder reserved for it (empty), never one that holds anything (also the
    // folder of the planning it replaces); the refused one stays as it was, with nothing beside it.
    fs::create_directories(dir.file("patients/reserved"));
    for (const auto& [name, previous] : {std::pair<std::string, std::string>{"reserved", ""},
                                         {"2024-02-02__10-00-00-2", ""},
                                         {"2024-02-02__10-00-00-2", renamed}}) {
        const auto state = snapshot(dir.file("patients"));
        std::string error;
        try {
            PlanningFolderUpdate update(dir.file("patients/" + name), previous);
            writeText(update.getStagingFolder() + "/" + name + ".srl", "another planning");
            update.commit();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (name == "reserved") {
            EXPECT_EQ(error, "");
            EXPECT_EQ(readBytes(dir.file("patients/reserved/reserved.srl")), "another planning");
        } else {
            EXPECT_EQ(error, "The folder " + dir.file("patients/" + name) + " exists already; the planning is not saved over it.");
            EXPECT_EQ(snapshot(dir.file("patients")), state);
        }
    }

    // The planning a folder holds: the file known, else the one named after the folder, else its
    // only planning file (all after the first dot is the extension).
    const std::string renamedByUser = dir.file("patients/Renamed");
    writeText(renamedByUser + "/plan.old.srl", "not listed");
    EXPECT_EQ(PlanningFinder::planningIn(renamedByUser), "");
    writeText(renamedByUser + "/A.srl", "planning A");
    EXPECT_EQ(PlanningFinder::planningIn(renamedByUser), "A.srl");
    writeText(renamedByUser + "/B.srl", "planning B");
    EXPECT_EQ(PlanningFinder::planningIn(renamedByUser), "");
    EXPECT_EQ(PlanningFinder::planningIn(renamedByUser, "B.srl"), "B.srl");
    EXPECT_EQ(PlanningFinder::planningIn(renamedByUser, "C.srl"), "");
    writeText(renamedByUser + "/.previous-x-2/x.srl", "an earlier version's");
    EXPECT_EQ(PlanningFinder::planningIn(renamedByUser + "/.previous-x-2"), "x.srl");
}
