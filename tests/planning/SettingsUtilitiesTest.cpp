#include "planning/model/Settings.h"
#include "planning/model/Utilities.h"

#include "PlanningTestSupport.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QWidget>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

using PlanningTest::writeText;

namespace {

// Puts the system clock back whatever a test did.
struct ClockGuard
{
    ~ClockGuard() { Utilities::setClock({}); }
};

// Records where the mouse events it receives lie.
class MouseRecorder : public QWidget
{
public:
    std::vector<QPointF> positions;

protected:
    void mousePressEvent(QMouseEvent* event) override { positions.push_back(event->position()); }
    void mouseMoveEvent(QMouseEvent* event) override { positions.push_back(event->position()); }
    void mouseReleaseEvent(QMouseEvent* event) override { positions.push_back(event->position()); }
};

void sendMouse(QWidget& widget, QEvent::Type type, QPointF position)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, position, widget.mapTo(widget.window(), position), widget.mapToGlobal(position), button,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

}

TEST(Settings, IniValuesAreReadOnEveryRequestWithDefaultsWhenMissing)
{
    TestSupport::ScratchDir dir;
    const std::string ini = dir.file("Morvanta.ini");

    // No file at all: every value at its default.
    Settings settings(ini);
    EXPECT_FALSE(settings.getCaptureSupport());
    EXPECT_EQ("", settings.getCdpath());
    EXPECT_TRUE(settings.getPatientPaths().empty());

    // Values in another group do not count.
    writeText(ini, "[Other]\nCdpath=/media/cdrom\nPatientPath=/x\n");
    EXPECT_EQ("", settings.getCdpath());
    EXPECT_TRUE(settings.getPatientPaths().empty());

    // The file is read afresh: a later edit counts at once.
    writeText(ini, "[Morvanta]\nCdpath = /media/cdrom\nPatientPath=/data/a; /data/b ;;\nCaptureSupport=1\n");
    EXPECT_EQ("/media/cdrom", settings.getCdpath());
    EXPECT_EQ((std::vector<std::string>{"/data/a", "/data/b"}), settings.getPatientPaths());
    EXPECT_TRUE(settings.getCaptureSupport());

    for (const auto& [text, paths] : {std::pair<const char*, std::vector<std::string>>{"/only", {"/only"}}, {"", {}}, {";", {}}}) {
        writeText(ini, std::string("[Morvanta]\nPatientPath=") + text + "\n");
        EXPECT_EQ(paths, settings.getPatientPaths()) << text;
    }

    // Bool spellings.
    for (const char* text : {"1", "true", "TRUE", "yes", "On"}) {
        writeText(ini, std::string("[Morvanta]\nCaptureSupport=") + text + "\n");
        EXPECT_TRUE(settings.getCaptureSupport()) << text;
    }
    for (const char* text : {"0", "false", "no", "off", "", "2", "enabled"}) {
        writeText(ini, std::string("[Morvanta]\nCaptureSupport=") + text + "\n");
        EXPECT_FALSE(settings.getCaptureSupport()) << text;
    }
}

TEST(Settings, RunTimeFieldsResetAndSurviveConcurrentUse)
{
    TestSupport::ScratchDir dir;
    Settings settings(dir.file("Morvanta.ini"));
    settings.setPlanningState(2);
    settings.setPlanningFile("/p/2024/2024.srl");
    settings.setMarkerDetectionDone(true);
    settings.reset();
    EXPECT_EQ(0, settings.getPlanningState());
    EXPECT_EQ("", settings.getPlanningFile());
    EXPECT_FALSE(settings.isMarkerDetectionDone());

    // A worker writes while the GUI reads: every file name read is one that was written whole.
    const std::string a(200, 'a');
    const std::string b(300, 'b');
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            settings.setPlanningFile(i % 2 ? a : b);
        stop = true;
    });
    bool torn = false;
    while (!stop) {
        const std::string file = settings.getPlanningFile();
        torn = torn || !(file.empty() || file == a || file == b);
    }
    writer.join();
    EXPECT_FALSE(torn);
}

TEST(Utilities, TextHelpers)
{
    EXPECT_EQ(QString("u=1.00 s=0.25"), Utilities::getAsString({1.0, 0.25}));
    EXPECT_EQ(QString("u=-3.46 s=1200.00"), Utilities::getAsString({-3.456, 1200.0}));

    using Parts = std::vector<std::string>;
    EXPECT_EQ((Parts{"a", "b", ""}), Utilities::splitEnumeration("a;b;", ";"));
    EXPECT_EQ((Parts{"", "a", "", "b"}), Utilities::splitEnumeration(";a;;b", ";"));
    EXPECT_EQ((Parts{""}), Utilities::splitEnumeration("", ";"));
    EXPECT_EQ((Parts{"x", "y"}), Utilities::splitEnumeration("x::y", "::"));
    EXPECT_EQ((Parts{"a;b"}), Utilities::splitEnumeration("a;b", ""));
}

TEST(Utilities, FilesAndFolders)
{
    TestSupport::ScratchDir dir;
    const std::string deep = dir.file("a/b/c");
    EXPECT_TRUE(Utilities::makeAbsDir(deep));
    EXPECT_TRUE(QFileInfo(QString::fromStdString(deep)).isDir());
    EXPECT_TRUE(Utilities::makeAbsDir(deep)); // already there
    EXPECT_FALSE(Utilities::makeAbsDir(""));

    writeText(dir.file("from.bin"), std::string("one\0two", 7));
    writeText(dir.file("to.bin"), "old contents that are longer");
    EXPECT_TRUE(Utilities::copyFile(dir.file("from.bin"), dir.file("to.bin")));
    QFile copied(QString::fromStdString(dir.file("to.bin")));
    ASSERT_TRUE(copied.open(QIODevice::ReadOnly));
    EXPECT_EQ(QByteArray("one\0two", 7), copied.readAll());
    // Onto itself: the file stays.
    EXPECT_TRUE(Utilities::copyFile(dir.file("from.bin"), dir.file("from.bin")));
    EXPECT_EQ(7, QFileInfo(QString::fromStdString(dir.file("from.bin"))).size());
    EXPECT_FALSE(Utilities::copyFile(dir.file("missing"), dir.file("x")));
    EXPECT_FALSE(Utilities::copyFile(dir.file("from.bin"), dir.file("no/such/folder/x")));
    EXPECT_FALSE(Utilities::copyFile(dir.path(), dir.file("x"))); // a folder is no file
}

TEST(Utilities, UniqueNames)
{
    ClockGuard guard;
    TestSupport::ScratchDir dir;

    const QDateTime instant(QDate(2024, 3, 7), QTime(9, 5, 4, 7));
    EXPECT_EQ("2024-03-07__09-05-04-7", Utilities::getTimeStampName(instant));
    EXPECT_EQ("2024-03-07__09-05-04-123",
              Utilities::getTimeStampName(QDateTime(QDate(2024, 3, 7), QTime(9, 5, 4, 123))));

    // Two folders in a row: different names, both made, below a base that is created.
    const std::string base = dir.file("patients/new");
    const std::string first = Utilities::getUniqueSubpath(base, true);
    const std::string second = Utilities::getUniqueSubpath(base, true);
    EXPECT_NE(first, second);
    EXPECT_TRUE(QFileInfo(QString::fromStdString(base + "/" + first)).isDir());
    EXPECT_TRUE(QFileInfo(QString::fromStdString(base + "/" + second)).isDir());
    // Without create nothing is made.
    const std::string third = Utilities::getUniqueSubpath(base, false);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(base + "/" + third)));

    const std::string logs = dir.file("log");
    const std::string file = Utilities::getUniqueFilename(logs);
    EXPECT_TRUE(QFileInfo(QString::fromStdString(logs)).isDir());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(logs + "/" + file)));

    // A clock standing still at an instant whose name is taken: the tries run out.
    Utilities::setClock([instant] { return instant; });
    const std::string taken = Utilities::getTimeStampName(instant);
    EXPECT_EQ(taken, Utilities::getUniqueSubpath(base, true));
    EXPECT_EQ("could not create unique subpath in " + base + ": every name tried was taken",
              TestSupport::errorText([&] { Utilities::getUniqueSubpath(base, true); }));
    writeText(logs + "/" + taken, "");
    EXPECT_EQ("could not determine unique file", TestSupport::errorText([&] { Utilities::getUniqueFilename(logs); }));
    // A clock that moves on finds a free name after the taken one.
    int calls = 0;
    Utilities::setClock([&] { return instant.addMSecs(calls++ < 3 ? 0 : 1); });
    EXPECT_EQ(Utilities::getTimeStampName(instant.addMSecs(1)), Utilities::getUniqueFilename(logs));

    // A folder that cannot be made is named, with the system's reason.
    writeText(dir.file("plain"), "");
    EXPECT_EQ("The folder " + dir.file("plain/patients") + " cannot be created: Not a directory.",
              TestSupport::errorText([&] { Utilities::getUniqueSubpath(dir.file("plain/patients"), true); }));
    if (geteuid() != 0) {
        const QString locked = QString::fromStdString(dir.file("locked"));
        QDir().mkpath(locked);
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
        const std::string text = TestSupport::errorText([&] { Utilities::getUniqueSubpath(dir.file("locked"), true); });
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        EXPECT_EQ(0u, text.find("The folder " + dir.file("locked") + "/")) << text;
        EXPECT_NE(std::string::npos, text.find(" cannot be created: Permission denied.")) << text;
    }
}

TEST(Utilities, MouseCursorClipping)
{
    MouseRecorder widget;
    widget.resize(200, 100);
    widget.show();
    EXPECT_FALSE(Utilities::isMouseCursorClipped());
    Utilities::clipMouseCursor(&widget, QRect(10, 10, 50, 50));
    EXPECT_TRUE(Utilities::isMouseCursorClipped());
    // Wherever the window system puts the cursor, the view only sees positions inside.
    sendMouse(widget, QEvent::MouseMove, QPointF(100, 5));
    sendMouse(widget, QEvent::MouseMove, QPointF(20, 30));
    sendMouse(widget, QEvent::MouseMove, QPointF(59.5, 30));
    sendMouse(widget, QEvent::MouseButtonRelease, QPointF(0, 80));
    EXPECT_EQ((std::vector<QPointF>{{59, 10}, {20, 30}, {59, 30}, {10, 59}}), widget.positions);
    Utilities::unclipMouseCursor();
    EXPECT_FALSE(Utilities::isMouseCursorClipped());
    widget.positions.clear();
    sendMouse(widget, QEvent::MouseButtonPress, QPointF(100, 5));
    EXPECT_EQ((std::vector<QPointF>{{100, 5}}), widget.positions);
    Utilities::unclipMouseCursor(); // twice: harmless
    Utilities::clipMouseCursor(nullptr, QRect(0, 0, 5, 5));
    EXPECT_FALSE(Utilities::isMouseCursorClipped());
}
