#include "TapewrightTestSupport.h"

#include "DemoWindow.h"
#include "common/TestSupport.h"
#include "tapewright/ChildListener.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>

namespace {

QJsonObject runTwdemo(const QStringList& arguments, const QString& output)
{
    QProcess process;
    process.start(TWDEMO_PROGRAM, arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << process.readAllStandardError().toStdString();
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    QFile file(output);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << output.toStdString();
    return QJsonDocument::fromJson(file.readAll()).object();
}

}

TEST(Twdemo, FreshProcessesAtOtherFontsAndSizesReportTheSamePaths)
{
    TestSupport::ScratchDir dir;
    QList<QSet<QString>> pathSets;
    for (const auto& [font, size] : {std::pair {"9", QSize(800, 600)}, std::pair {"14", QSize(1024, 768)}}) {
        const QString file = dir.qpath() + QStringLiteral("/rects%1.json").arg(font);
        const QJsonObject rects = runTwdemo({"--font", font, "--size", QStringLiteral("%1x%2").arg(size.width()).arg(size.height()),
                                             "--widget-rects", file, "--drive", "quit"}, file);
        ASSERT_EQ(rects.size(), DemoWindow::widgetNames().size() + 1);
        const QJsonArray window = rects["twdemo"].toObject()["rect"].toArray();
        EXPECT_EQ(QSize(window[2].toInt(), window[3].toInt()), size);
        QSet<QString> paths;
        for (const QJsonValue& entry : rects) {
            const QJsonArray rect = entry.toObject()["rect"].toArray();
            EXPECT_GT(rect[2].toInt(), 0);
            EXPECT_LE(rect[0].toInt() + rect[2].toInt(), window[0].toInt() + size.width());
            paths.insert(entry.toObject()["path"].toString());
        }
        EXPECT_EQ(paths.size(), rects.size()) << "unique";
        pathSets << paths;
    }
    EXPECT_EQ(pathSets[0], pathSets[1]);
    EXPECT_TRUE(pathSets[0].contains("/twdemo/central/tree"));
}

TEST(Twdemo, EveryPathInTheWindowFindsItsWidget)
{
    DemoWindow window;
    window.resize(800, 600);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.grab().save(QStringLiteral(MORVANTA_BINARY_DIR "/tests/tapewright/twdemo.png"));
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    widgets << &window;
    QSet<QString> paths;
    for (QWidget* widget : widgets) {
        const QString path = ChildListener::instance()->childName(widget);
        ASSERT_FALSE(path.isEmpty());
        paths.insert(path);
        EXPECT_EQ(ChildListener::instance()->findChild(path), widget) << path.toStdString();
    }
    EXPECT_EQ(paths.size(), widgets.size());
}

TEST(Twdemo, SessionScenarioReachesItsState)
{
    TestSupport::ScratchDir dir;
    const QString file = dir.qpath() + "/state.json";
    const QJsonObject state = runTwdemo({"--drive", "session", "--dump-state", file}, file);
    EXPECT_EQ(state["edit"].toObject()["text"], "Hello, twdemo");
    EXPECT_EQ(state["check"].toObject()["checked"], true);
    EXPECT_EQ(state["combo"].toObject()["text"], "gamma");
    EXPECT_EQ(state["mark"].toObject()["triggered"], 1);
    EXPECT_EQ(state["save"].toObject()["triggered"], 2);
    EXPECT_EQ(state["dialog"].toObject(),
              QJsonObject({{"accepts", 1}, {"rejects", 1}, {"lastText", "in the dialog"}}));
    EXPECT_EQ(state["list"].toObject()["selected"], QJsonArray {"entry 2"});
}

TEST(Twdemo, ASessionRecordedInOneProcessReplaysInAFreshOneToTheSameState)
{
    TestSupport::ScratchDir dir;
    const QString script = dir.qpath() + "/session.tws";
    const QJsonObject recorded = runTwdemo({"-record", "-script", script, "--drive", "session", "--dump-state",
                                            dir.qpath() + "/a.json"}, dir.qpath() + "/a.json");
    const QJsonObject replayed =
        runTwdemo({"-playback", "-script", script, "--dump-state", dir.qpath() + "/b.json"}, dir.qpath() + "/b.json");
    EXPECT_EQ(recorded["save"].toObject()["triggered"], 2);
    EXPECT_EQ(recorded["mark"].toObject()["triggered"], 1);
    EXPECT_EQ(replayed, recorded);

    QProcess python;
    python.start("/usr/bin/python3", {"-c", "import sys, xml.etree.ElementTree as E\n"
                                            "r = E.parse(sys.argv[1]).getroot()\n"
                                            "print(r.tag, r[0].tag, r[0].get('id'), r[0].get('sleep'), len(r))",
                                      script});
    ASSERT_TRUE(python.waitForFinished(30000));
    const QStringList fields = QString(python.readAllStandardOutput()).split(' ');
    ASSERT_EQ(fields.size(), 5) << python.readAllStandardError().toStdString();
    EXPECT_EQ(fields.mid(0, 4), QStringList({"Events", "Version", "3", "0"}));
    EXPECT_GT(fields[4].toInt(), 50);
}
