// The implant database the build writes loads completely, and broken descriptions fail with
// an error that says which file (and, where the description is at fault, which key).
#include "PlanningIoTestSupport.h"

#include "planning/io/PlanningReader.h"
#include "planning/objects/Implant.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace PlanningIoTest;

namespace {

const std::string family = "/Altavis Dental/Conical Pro";
const std::string base = "AV-CP-D40-L100";

std::string errorOf(const std::string& file)
{
    return TestSupport::errorText([&] { PlanningReader::loadImplant(file, 0, Vexa::Matrix44<double>()); });
}

}

TEST(ImplantDatabase, LoadsCompletely)
{
    std::size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(implantDatabaseFolder())) {
        if (entry.path().extension() != ".implant")
            continue;
        ++count;
        const std::string file = entry.path().string();
        const auto implant = Implant::createFromFile(Vexa::Matrix44<double>(), 3, file);
        ASSERT_TRUE(implant) << file;
        EXPECT_EQ(implant->getFilename(), file);
        EXPECT_EQ(implant->getGroup(), 3u);
        EXPECT_EQ(implant->getCompany(), entry.path().parent_path().parent_path().filename().string()) << file;
        EXPECT_EQ(implant->getName(), entry.path().parent_path().filename().string()) << file;
        EXPECT_GT(implant->getLength(), 0.0) << file;
        EXPECT_GT(implant->getShoulder(), implant->getDiameter() - 1e-9) << file;
        ASSERT_TRUE(implant->getSurfaceModel()) << file;
        EXPECT_GT(implant->getSurfaceModel()->getTriangleCount(), 100u) << file;
        // The surface spans the implant's length from the apex at the origin.
        const auto& box = implant->getSurfaceModel()->getBoundingBox();
        EXPECT_NEAR(box[5] - box[2], implant->getLength(), 1e-3) << file;
    }
    // The catalogue's 61 articles.
    EXPECT_EQ(count, 61u);
}

TEST(ImplantDatabase, BrokenDescriptionsFailNamingFileAndKey)
{
    TestSupport::ScratchDir dir;
    fs::copy(implantDatabaseFolder() + family, dir.path());
    const std::string file = dir.file(base + ".implant");
    const std::string original = readBytes(file);
    const auto withDescription = [&](const std::string& from, const std::string& to) {
        std::string text = original;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
        writeText(file, text);
    };
    ASSERT_EQ(errorOf(file), "");

    // Missing key.
    withDescription("length=10\n", "");
    std::string error = errorOf(file);
    EXPECT_NE(error.find(file), std::string::npos) << error;
    EXPECT_NE(error.find("length"), std::string::npos) << error;

    // Wrong group: no implant description at all.
    withDescription("[Implantdata]", "[Implant]");
    error = errorOf(file);
    EXPECT_NE(error.find(file), std::string::npos) << error;
    EXPECT_NE(error.find("[Implantdata]"), std::string::npos) << error;

    // Whatever the description's fault, the message leads with the description file.
    withDescription("surfacefile=" + base + ".sff", "surfacefile=gone.sff");
    EXPECT_EQ(errorOf(file).rfind("Could not load the implant description " + file + ":\nError loading implant surface", 0),
              0u);
}
