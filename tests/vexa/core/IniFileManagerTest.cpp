#include "vexa/core/IniFileManager.h"

#include "../CommaLocale.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using Vexa::IniFileManager;

void writeFile(const std::string& name, const std::string& content)
{
    std::ofstream out(name, std::ios::binary);
    out << content;
}

std::string readFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

TEST(IniFileManager, ReadsGroupsKeysBlanksEmptyValuesAndComments)
{
    TestSupport::ScratchDir dir;
    const std::string file = dir.file("dummy.srl");
    writeFile(file, "[Patient]\r\n"
                    "name = Morvanta Study Dummy\r\n"
                    "birthday = 18991230\n"
                    "sex = \n"
                    "  id=Dummy  \n"
                    "; comment = not a key\n"
                    "# neither = this\n"
                    "no equals sign here\n"
                    "\n"
                    "[Planningdata]\n"
                    "version = P100.0.0\n"
                    "lastModified = 01/01/2004 00:00:00\n"
                    "formula = a=b\n"
                    "twice = 1\n"
                    "twice = 2\n"
                    "[ Implant ]\n"
                    "implant = 0");

    const IniFileManager ini(file, IniFileManager::ReadOnly);
    EXPECT_EQ(ini.getValue("Patient", "name", "x"), "Morvanta Study Dummy");
    EXPECT_EQ(ini.getValue("Patient", "sex", "x"), "");
    EXPECT_EQ(ini.getValue("Patient", "id", "x"), "Dummy");
    EXPECT_EQ(ini.getValue("Patient", "; comment", "none"), "none");
    EXPECT_EQ(ini.getValue("Planningdata", "lastModified", ""), "01/01/2004 00:00:00");
    EXPECT_EQ(ini.getValue("Planningdata", "formula", ""), "a=b");
    EXPECT_EQ(ini.getValue("Planningdata", "twice", 0), 2);
    EXPECT_EQ(ini.getValue<int>("Patient", "birthday", 0), 18991230);
    // Keys are looked up in their own group only, and names are case-sensitive.
    EXPECT_EQ(ini.getValue("Planningdata", "name", "missing"), "missing");
    EXPECT_EQ(ini.getValue("patient", "name", "missing"), "missing");
    EXPECT_EQ(ini.getValue<double>("Nowhere", "x", 4.5), 4.5);

    EXPECT_TRUE(ini.isGroupExisting("Implant"));
    EXPECT_FALSE(ini.isGroupExisting("ImageData"));
}

TEST(IniFileManager, StrictModeAndUnreadableFiles)
{
    TestSupport::ScratchDir dir;
    const std::string file = dir.file("implant.implant");
    writeFile(file, "[Implantdata]\nlength = 11.5\nname = Fixture\n");

    const IniFileManager strict(file, IniFileManager::ReadOnly | IniFileManager::Strict);
    EXPECT_DOUBLE_EQ(strict.getValue<double>("Implantdata", "length", 0.0), 11.5);
    const auto message = [&](auto read) -> std::string {
        try {
            read();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no exception";
    };
    EXPECT_EQ(message([&] { strict.getValue("Implantdata", "company", ""); }),
              "group and key not found Implantdata, company");
    EXPECT_EQ(message([&] { strict.getValue<double>("Implantdata", "diameter", 0.0); }),
              "group and key not found Implantdata, diameter");

    const std::string missing = dir.file("missing.ini");
    EXPECT_EQ(message([&] { IniFileManager(missing, IniFileManager::ReadOnly | IniFileManager::Strict); }),
              "The file " + missing + " cannot be read: No such file or directory.");
    EXPECT_THROW(IniFileManager(dir.path(), IniFileManager::ReadOnly | IniFileManager::Strict), std::runtime_error);
    // Read-only alone, or strict alone: the file counts as empty.
    const IniFileManager empty(missing, IniFileManager::ReadOnly);
    EXPECT_FALSE(empty.isGroupExisting("Implantdata"));
    EXPECT_EQ(empty.getValue("Implantdata", "name", "default"), "default");
    const IniFileManager strictOnly(missing, IniFileManager::Strict);
    EXPECT_THROW(strictOnly.getValue("Implantdata", "name", ""), std::runtime_error);

    EXPECT_THROW(IniFileManager(file, 4), std::runtime_error);
    EXPECT_NO_THROW(IniFileManager(file, IniFileManager::ReadOnly | IniFileManager::PeriodicSync));
}

TEST(IniFileManager, WritesBackOnlyWhenWritableAndChanged)
{
    TestSupport::ScratchDir dir;
    const std::string file = dir.file("settings.ini");
    const std::string original = "; settings\n[Morvanta]\nPatientPath = /data/patients\n\n[Other]\nx=1\n";
    writeFile(file, original);

    // Unchanged, or set to the value it has: the file is not written (a removed file stays
    // removed).
    {
        IniFileManager ini(file, 0);
        ini.setValue("Morvanta", "PatientPath", "/data/patients");
        std::filesystem::remove(file);
    }
    EXPECT_FALSE(std::filesystem::exists(file));

    writeFile(file, original);
    {
        IniFileManager ini(file, IniFileManager::ReadOnly);
        EXPECT_THROW(ini.setValue("Morvanta", "PatientPath", "/elsewhere"), std::runtime_error);
        EXPECT_THROW(ini.write(), std::runtime_error);
    }
    EXPECT_EQ(readFile(file), original);

    // Changed: written back on destruction, keeping comments, the unchanged lines as they
    // were, new keys at the end of their group and new groups set apart.
    {
        IniFileManager ini(file, 0);
        ini.setValue("Morvanta", "PatientPath", "/elsewhere");
        ini.setValue("Morvanta", "Language", "de");
        ini.setValue("New", "count", 3);
    }
    EXPECT_EQ(readFile(file), "; settings\n[Morvanta]\nPatientPath = /elsewhere\nLanguage = de\n\n[Other]\nx=1\n"
                              "\n[New]\ncount = 3\n");
    const IniFileManager reread(file, IniFileManager::ReadOnly | IniFileManager::Strict);
    EXPECT_EQ(reread.getValue("Morvanta", "PatientPath", ""), "/elsewhere");
    EXPECT_EQ(reread.getValue("New", "count", 0), 3);

    // A new file is created by the explicit write, which reports failures.
    const std::string planning = dir.file("new.srl");
    {
        IniFileManager ini(planning, 0);
        ini.setValue("Patient", "sex", "");
        ini.setValue("Planningdata", "version", "2.0.3");
        ini.write();
        EXPECT_EQ(readFile(planning), "[Patient]\nsex = \n\n[Planningdata]\nversion = 2.0.3\n");
        std::filesystem::remove(planning);
    }
    EXPECT_FALSE(std::filesystem::exists(planning)) << "written again although unchanged since write()";
    IniFileManager nowhere(dir.file("no/such/folder/x.ini"), 0);
    nowhere.setValue("G", "k", "v");
    EXPECT_THROW(nowhere.write(), std::runtime_error);
}

TEST(IniFileManager, RejectsWhatCouldNotBeReadBackAndNeverOverwritesAnUnreadableFile)
{
    TestSupport::ScratchDir dir;
    IniFileManager ini(dir.file("x.ini"), 0);
    const char* unreadable[][3] = {{"G", "key", "two\nlines"}, {"G", "a=b", "v"}, {"G", "", "v"},  {"G", " padded", "v"},
                                   {"G", "[x]", "v"},          {"G", ";x", "v"},  {"G]", "k", "v"}, {"G\n", "k", "v"},
                                   {"G", "k", " lead"},        {"G", "k", "trail\t"}};
    for (const auto& [group, key, value] : unreadable)
        EXPECT_THROW(ini.setValue(group, key, value), std::runtime_error) << group << " " << key;
    EXPECT_FALSE(ini.isGroupExisting("G"));

    // A path that exists but is no readable file (here a folder) is not replaced.
    const std::string folder = dir.file("folder.ini");
    std::filesystem::create_directory(folder);
    {
        IniFileManager unreadable(folder, 0);
        unreadable.setValue("G", "k", "v");
        EXPECT_THROW(unreadable.write(), std::runtime_error);
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(IniFileManager, NumbersUseTheCLocaleWhateverTheProcessLocale)
{
    TestSupport::ScratchDir dir;
    const std::string file = dir.file("numbers.ini");
    writeFile(file, "[N]\nlength = 1234.5\nsmall = -0.125\ncount = 1234\nnoise = abc\ncomma = 2,5\n");
    {
        CommaLocale::Global comma;
        std::ostringstream check;
        check << 1234.5;
        ASSERT_NE(check.str(), "1234.5") << "the test locale is not a comma-decimal one";

        {
            IniFileManager ini(file, 0);
            EXPECT_DOUBLE_EQ(ini.getValue<double>("N", "length", 0.0), 1234.5);
            EXPECT_DOUBLE_EQ(ini.getValue("N", "small", 0.0), -0.125);
            EXPECT_EQ(ini.getValue<int>("N", "count", 0), 1234);
            EXPECT_EQ(ini.getValue<double>("N", "noise", 7.0), 0.0);
            EXPECT_DOUBLE_EQ(ini.getValue<double>("N", "comma", 0.0), 2.0);
            ini.setValue("N", "written", 98765.4321);
            ini.setValue("N", "third", 1.0 / 3.0);
            ini.setValue("N", "big", 1234567);
            ini.setValue("N", "flag", true);
        }
        const std::string text = readFile(file);
        EXPECT_NE(text.find("written = 98765.4321\n"), std::string::npos) << text;
        EXPECT_NE(text.find("big = 1234567\n"), std::string::npos) << text;
        EXPECT_NE(text.find("flag = 1\n"), std::string::npos) << text;
        const IniFileManager reread(file, IniFileManager::ReadOnly);
        EXPECT_EQ(reread.getValue<double>("N", "third", 0.0), 1.0 / 3.0) << "not written exactly";
        EXPECT_EQ(reread.getValue<int>("N", "big", 0), 1234567);
        EXPECT_TRUE(reread.getValue<bool>("N", "flag", false));
    }
}

TEST(IniFileManager, PathIsTheFolderPartUpToTheLastSlash)
{
    TestSupport::ScratchDir dir;
    EXPECT_EQ(IniFileManager("/a/b/c.srl", IniFileManager::ReadOnly).getPath(), "/a/b/");
    EXPECT_EQ(IniFileManager("c.srl", IniFileManager::ReadOnly).getPath(), "");
    EXPECT_EQ(IniFileManager("C:\\data\\c.srl", IniFileManager::ReadOnly).getPath(), "");
    EXPECT_EQ(IniFileManager("a\\b/c\\d.srl", IniFileManager::ReadOnly).getPath(), "a\\b/");
}

}
