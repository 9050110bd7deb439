#include "PlanningTestSupport.h"
#include "common/TestSupport.h"

#include "planning/objects/Implant.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/mesh/MeshFiles.h"

#include <QDir>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>

using namespace PlanningTest;

namespace {

const char* const fullDescription = "[Implantdata]\n"
                                    "name=Type4 4.1x10\n"
                                    "company=Maker\n"
                                    "reference=REF-4410\n"
                                    "comment=bone level\n"
                                    "length=10.5\n"
                                    "diameter=4.1\n"
                                    "shoulder=0.8\n"
                                    "surfacefile=Type4.sff\n"
                                    "imagefile=Type4.bmp\n";

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    text.replace(text.find(from), from.size(), to);
    return text;
}

void writeSurface(const std::string& file)
{
    auto mesh = Vexa::createCylinderMesh(Vexa::Matrix44<double>(), 10.5, 4.1, 4.1, true, 12, 1);
    Vexa::writeSFFBinFile(*mesh, file);
}

// A binary STL with one facet: 80-byte header, count, normal, three corners, attribute.
void writeStl(const std::string& file)
{
    std::ofstream out(file, std::ios::binary);
    const std::string header(80, ' ');
    out.write(header.data(), 80);
    const std::uint32_t count = 1;
    out.write(reinterpret_cast<const char*>(&count), 4);
    const float values[12] = {0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0};
    out.write(reinterpret_cast<const char*>(values), sizeof values);
    const std::uint16_t attribute = 0;
    out.write(reinterpret_cast<const char*>(&attribute), 2);
}

std::string failure(const std::string& file)
{
    return TestSupport::errorText([&] { Implant::createFromFile(Vexa::Matrix44<double>(), 0, file); });
}

}

TEST(Implant, ReadsDescriptionFiles)
{
    TestSupport::ScratchDir dir;
    const std::string folder = dir.path() + "/ImplantDatabase/Maker/";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    writeSurface(folder + "Type4.sff");
    writeText(folder + "Type4.implant", fullDescription);

    const Vexa::Matrix44<double> pose(Vector3D(1, 2, 3));
    auto implant = Implant::createFromFile(pose, 3, folder + "Type4.implant");
    ASSERT_TRUE(implant);
    EXPECT_EQ("Type4 4.1x10", implant->getName());
    EXPECT_EQ("Maker", implant->getCompany());
    EXPECT_DOUBLE_EQ(10.5, implant->getLength());
    EXPECT_DOUBLE_EQ(4.1, implant->getDiameter());
    EXPECT_DOUBLE_EQ(0.8, implant->getShoulder());
    EXPECT_EQ(folder + "Type4.implant", implant->getFilename());
    EXPECT_EQ(3u, implant->getGroup());
    EXPECT_TRUE(Vexa::isEqual(pose, implant->getTransform(), 1e-12));
    ASSERT_TRUE(implant->getSurfaceModel());
    EXPECT_GT(implant->getSurfaceModel()->getTriangleCount(), 0u);

    // Numbers written with a plus sign or blanks around them are numbers.
    writeText(folder + "Signed.implant", replaced(fullDescription, "length=10.5", "length= +10.5 "));
    auto signedLength = Implant::createFromFile(pose, 0, folder + "Signed.implant");
    ASSERT_TRUE(signedLength);
    EXPECT_DOUBLE_EQ(10.5, signedLength->getLength());

    // A binary STL surface is taken when the file is no SFFBin mesh.
    writeStl(folder + "Flat.sff");
    writeText(folder + "Flat.implant", replaced(fullDescription, "Type4.sff", "Flat.sff"));
    auto flat = Implant::createFromFile(pose, 0, folder + "Flat.implant");
    ASSERT_TRUE(flat);
    EXPECT_EQ(1u, flat->getSurfaceModel()->getTriangleCount());

    // Another group name: no implant, no error.
    writeText(folder + "Other.implant", replaced(fullDescription, "[Implantdata]", "[Implant]"));
    EXPECT_FALSE(Implant::createFromFile(pose, 0, folder + "Other.implant"));

    // A path with backslashes only has no folder part: the surface is looked up as it is named.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(folder)));
    writeText("Maker\\Type4.implant", fullDescription);
    EXPECT_TRUE(Implant::createFromFile(pose, 0, "Maker\\Type4.implant"));
    QDir::setCurrent(previous);
}

TEST(Implant, BrokenDescriptionsFailWithTheirReason)
{
    TestSupport::ScratchDir dir;
    const std::string folder = dir.path() + "/";
    writeSurface(folder + "Type4.sff");

    EXPECT_NE("", failure(folder + "Missing.implant"));

    writeText(folder + "NoShoulder.implant", replaced(fullDescription, "shoulder=0.8\n", ""));
    EXPECT_NE(std::string::npos, failure(folder + "NoShoulder.implant").find("shoulder"));

    // A surface that gives nothing: the message says whether the file is missing or damaged.
    writeText(folder + "Empty.sff", "");
    writeText(folder + "Garbage.sff", std::string(300, 'x'));
    std::filesystem::create_directory(folder + "Folder.sff");
    const struct
    {
        const char* surface;
        const char* reason;
    } surfaces[] = {{"Gone.sff", "The file is missing."},
                    {"Empty.sff", "The file is damaged: it holds no SFF or STL surface."},
                    {"Garbage.sff", "The file is damaged: it holds no SFF or STL surface."},
                    {"Folder.sff", "The file cannot be read."}};
    for (const auto& s : surfaces)
    {
        writeText(folder + "Surface.implant", replaced(fullDescription, "Type4.sff", s.surface));
        EXPECT_EQ("Error loading implant surface\n" + folder + s.surface + "\n" + s.reason,
                  failure(folder + "Surface.implant"));
    }

    for (const char* value : {"abc", "-10", "0", "nan", "inf", "10,5", "+-10", "++10"})
    {
        writeText(folder + "BadLength.implant", replaced(fullDescription, "10.5", value));
        EXPECT_EQ("invalid value of \"length\" in implant description " + folder + "BadLength.implant",
                  failure(folder + "BadLength.implant"))
            << value;
    }
    for (const char* value : {"../Type4.sff", "/etc/Type4.sff", "sub/../../Type4.sff"})
    {
        writeText(folder + "Escape.implant", replaced(fullDescription, "Type4.sff", value));
        EXPECT_EQ("invalid value of \"surfacefile\" in implant description " + folder + "Escape.implant",
                  failure(folder + "Escape.implant"))
            << value;
    }
}

TEST(Implant, AxisGeometry)
{
    auto mesh = std::make_shared<Vexa::IndexedTriangleMesh>();
    Vexa::Matrix44<double> pose(Vector3D(5, 5, 5));
    Implant implant(mesh, "n", "c", "r", "m", 10.0, 4.0, 0.5, "f.implant", 0, pose);

    EXPECT_EQ(Vector3D(5, 5, 15), implant.getRotationPoint());
    EXPECT_DOUBLE_EQ(0.0, implant.getDistance(Vector3D(5, 5, 100)));
    EXPECT_DOUBLE_EQ(3.0, implant.getDistance(Vector3D(8, 5, 5)));
    EXPECT_DOUBLE_EQ(0.0, implant.getAngleBetween(Vector3D(0, 0, 1)));
    EXPECT_DOUBLE_EQ(180.0, implant.getAngleBetween(Vector3D(0, 0, -1)));
    EXPECT_DOUBLE_EQ(90.0, implant.getAngleBetween(Vector3D(1, 0, 0)));

    // A rotation that drifted off unit length: no NaN, distances still in mm.
    Vexa::Matrix44<double> drifted = pose;
    drifted[10] = 1.0000001;
    implant.setTransform(drifted);
    EXPECT_DOUBLE_EQ(0.0, implant.getAngleBetween(Vector3D(0, 0, 1)));
    EXPECT_NEAR(3.0, implant.getDistance(Vector3D(8, 5, 7)), 1e-12);

}
