// The record and playback component's files on a real full file system: the configuration is
// saved whole or told with the old one kept, and a script, an enciphered recording or the
// output file that fills the disk is told and keeps every element or line it took.
#include "TapewrightTestSupport.h"

#include "common/SmallDisk.h"
#include "common/TestSupport.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/PlayBackOutput.h"
#include "tapewright/Recorder.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/ScriptReader.h"
#include "tapewright/ScriptWriter.h"
#include "tapewright/TapewrightConfig.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/io/EncFile.h"
#include "vexa/io/LogFileKey.h"

#include <QDomDocument>
#include <QFileInfo>
#include <QTest>

using TestSupport::readFile;

namespace {

class TapewrightFullDisk : public TapewrightTest::TapewrightFixture
{
protected:
    void SetUp() override
    {
        TapewrightFixture::SetUp();
        setErrorSink([this](bool, const QString& message) { reports << message; });
        TapewrightConfig::setWarningSink([this](const QString&, const QString& text) { reports << text; });
    }
    void TearDown() override
    {
        setErrorSink({});
        TapewrightConfig::setWarningSink({});
    }
    QStringList reports;
};

// The "Information" texts of a script; false when it cannot be read.
bool readScript(const QByteArray& bytes, QStringList& records)
{
    QDomDocument document;
    if (!ScriptReader::parse(bytes, "script", document))
        return false;
    for (const QDomElement& step : ScriptReader::steps(document))
        if (step.tagName() == "Information")
            records << step.attribute("text");
    return true;
}

}

// A script, an enciphered recording and the output file on a disk that fills: told, and every
// record taken before can be read.
TEST_F(TapewrightFullDisk, AFileThatFillsTheDiskIsToldAndKeepsWhatItTook)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    const Vexa::Rijndael cipher(128, Vexa::getLogFileKey());
    for (const char* kind : {"script", "enciphered", "output"}) {
        for (unsigned long long free : {0ull, 4096ull, 16384ull}) {
            SCOPED_TRACE(std::string(kind) + " with " + std::to_string(free) + " bytes free");
            const QString file = QString::fromStdString(SmallDisk::clear() + "/file");
            reports.clear();
            Recorder recorder;
            Vexa::EncFile encFile(file, cipher);
            PlayBackOutput output;
            if (kind == std::string("output"))
                output.open(file);
            else
                EXPECT_TRUE(kind == std::string("script") ? recorder.start(file) : recorder.start(&encFile));
            QDomDocument document;
            QStringList taken;
            // The script's bytes so far, as its own thread writes them.
            QDomElement version = ScriptElements::version(document);
            ScriptElements::setSleep(version, 0);
            qint64 handed = 9 + ScriptWriter::elementLine(version).toUtf8().size();
            for (int n = 1; reports.isEmpty() && taken.size() < 3000; ++n) {
                if (n == 4) { // three records with room, then a full disk
                    // Once on the disk: the enciphered file holds back only an unfinished block.
                    const qint64 onDisk = kind == std::string("enciphered") ? handed / 16 * 16 : handed;
                    EXPECT_TRUE(kind == std::string("output") ||
                                QTest::qWaitFor([&] { return QFileInfo(file).size() >= onDisk; }, 30000));
                    SmallDisk::leaveFree(free);
                }
                const QString text = QString("record %1 ").arg(n) + QString(n * 37 % 300, QChar('a' + n % 26));
                QDomElement element = document.createElement("Information");
                element.setAttribute("text", text);
                if (kind == std::string("output"))
                    output.write(text);
                else
                    recorder.addElement(element, 0);
                handed += ScriptWriter::elementLine(element).toUtf8().size();
                if (reports.isEmpty())
                    taken << text;
            }
            recorder.stop();
            output.close();
            ASSERT_FALSE(reports.isEmpty()) << "a full disk is told";
            EXPECT_TRUE(reports[0].startsWith("Could not write file")) << reports[0].toStdString();
            QStringList read;
            const QByteArray bytes = QByteArray::fromStdString(readFile(file.toStdString()));
            if (kind == std::string("output"))
                read = QString::fromUtf8(bytes).split('\n', Qt::SkipEmptyParts);
            EXPECT_TRUE(kind != std::string("output") || bytes.endsWith('\n')) << "whole lines";
            Vexa::EncFile reader(file, cipher);
            if (kind == std::string("script")) {
                EXPECT_TRUE(readScript(bytes, read));
            }
            if (kind == std::string("enciphered")) {
                EXPECT_TRUE(reader.open(QIODevice::ReadOnly) && readScript(reader.readAll(), read));
            }
            if (kind == std::string("output")) {
                EXPECT_EQ(read, taken) << read.size() << " records read, " << taken.size() << " taken";
            } else {
                // The script's own thread meets the full disk, told a little later: whole records,
                // in order, at least those that had room.
                EXPECT_GE(read.size(), 3);
                EXPECT_EQ(read, taken.mid(0, read.size())) << read.size() << " records read, " << taken.size() << " taken";
            }
        }
    }
}

TEST_F(TapewrightFullDisk, TheConfigurationIsSavedWholeOrToldWithTheOldOneKept)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    int argc = 1;
    char name[] = "prog";
    char* argv[] = {name, nullptr};
    TapewrightConfig config(argc, argv, false);
    TestSupport::ScratchDir big;
    config.saveConfig(QString::fromStdString(big.file("wanted.xml")));
    for (unsigned long long free : {0ull, 4096ull}) {
        SCOPED_TRACE(std::to_string(free) + " bytes free");
        const std::string file = SmallDisk::clear() + "/config.xml";
        Vexa::AtomicFile::writeFile(file, "<TapewrightConfig/>");
        SmallDisk::leaveFree(free);
        reports.clear();
        config.saveConfig(QString::fromStdString(file));
        EXPECT_EQ(readFile(file), reports.isEmpty() ? readFile(big.file("wanted.xml")) : "<TapewrightConfig/>");
        EXPECT_TRUE(free > 0 || !reports.isEmpty());
    }
}
