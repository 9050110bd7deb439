#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <gtest/gtest.h>

namespace {

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QJsonObject readState(const QString& file)
{
    QFile in(file);
    EXPECT_TRUE(in.open(QIODevice::ReadOnly)) << file.toStdString();
    return QJsonDocument::fromJson(in.readAll()).object();
}

void finish(QProcess& process, int status = 0)
{
    EXPECT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), status) << process.readAllStandardError().toStdString();
}

}

TEST(RemoteLink, TwoInstancesEndInTheSameStateWhicheverSideListens)
{
    TestSupport::ScratchDir dir;
    for (const bool recorderListens : {false, true}) {
        SCOPED_TRACE(recorderListens);
        const QString port = QString::number(freePort());
        const QStringList player = {"-playback", "--dump-state", dir.qpath() + "/b.json"};
        const QStringList recorder = {"-record", "--drive", "session", "--dump-state", dir.qpath() + "/a.json"};
        const QStringList server = QStringList {"-server", "-port", port} + (recorderListens ? recorder : player);
        const QStringList client = QStringList {"-host", "127.0.0.1", "-port", port} + (recorderListens ? player : recorder);
        // Two windows on one display compete for activation, which shortcuts need: each
        // instance gets a screen of its own.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess listening, connecting;
        listening.setProcessEnvironment(environment);
        connecting.setProcessEnvironment(environment);
        listening.start(TWDEMO_PROGRAM, server);
        ASSERT_TRUE(TestSupport::eventually([&] {
            QProcess ss;
            ss.start("ss", {"-ltnH", "sport = :" + port});
            ss.waitForFinished();
            const QString out = QString::fromLocal8Bit(ss.readAllStandardOutput());
            if (out.isEmpty())
                return false;
            // One listening socket, bound to the loopback address only.
            const QStringList lines = out.trimmed().split('\n');
            EXPECT_EQ(lines.size(), 1) << out.toStdString();
            EXPECT_EQ(lines[0].split(' ', Qt::SkipEmptyParts).value(3), "127.0.0.1:" + port) << out.toStdString();
            return true;
        }, std::chrono::milliseconds(20000)));
        connecting.start(TWDEMO_PROGRAM, client);
        finish(connecting);
        finish(listening);
        const QJsonObject recorded = readState(dir.qpath() + "/a.json"), played = readState(dir.qpath() + "/b.json");
        for (const QString& name : recorded.keys())
            EXPECT_EQ(played[name], recorded[name]) << name.toStdString() << ": " << QJsonDocument(played[name].toObject()).toJson().toStdString()
                                                    << QJsonDocument(recorded[name].toObject()).toJson().toStdString();
        EXPECT_EQ(played.size(), recorded.size());
    }
    QProcess refused;
    refused.start(TWDEMO_PROGRAM, {"-record", "-host", "127.0.0.1", "-port", QString::number(freePort())});
    // Unattended: a line, and the status of a run that failed.
    finish(refused, 255);
    EXPECT_TRUE(refused.readAllStandardError().contains("Connection refused"));
}

TEST(RemoteLink, ThePlayerRefusesCommandsFilesAndFloodsFromThePeer)
{
    TestSupport::ScratchDir dir;
    QDir().mkpath(dir.qpath() + "/work");
    const QString port = QString::number(freePort());
    QProcess twdemo;
    twdemo.setWorkingDirectory(dir.qpath() + "/work");
    twdemo.start(TWDEMO_PROGRAM, {"-server", "-playback", "-allowcommands", "-port", port, "--dump-state", dir.qpath() + "/state.json"});
    QProcess peer;
    peer.start("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/tests/tapewright/link_peer.py", port, dir.qpath()});
    finish(peer);
    // The player goes on after each refusal, but its status tells that not all was played.
    finish(twdemo, 255);
    const QString errors = QString::fromLocal8Bit(twdemo.readAllStandardError());
    EXPECT_EQ(readState(dir.qpath() + "/state.json")["edit"].toObject()["text"], "ab") << errors.toStdString();
    for (const char* never : {"ran", "absolute.png", "dotdot.png"})
        EXPECT_FALSE(QFile::exists(dir.qpath() + "/" + never)) << never;
    EXPECT_TRUE(errors.contains("without an element separator")) << errors.toStdString();
    EXPECT_TRUE(errors.contains("does not parse"));
    // The recording side expands includes: one from the link is only warned about.
    EXPECT_TRUE(errors.contains("include should not be used when running over a socket - the recording side should expand the include statement."));
}

TEST(RemoteLink, ElementsThePlayerCannotPlayFromThePeerAreSkippedAndTheLinkGoesOn)
{
    TestSupport::ScratchDir dir;
    // The missing-widget policy says whether a missing widget is told; even the strictest ("Warn
    // and quit application") does not let the peer end the player.
    for (const auto& [policy, told] : {std::pair {"5", true}, std::pair {"0", false}}) {
        SCOPED_TRACE(policy);
        QFile config(dir.qpath() + "/policy.twc");
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(QByteArray("<TapewrightConfig missingWidget=\"") + policy + "\"/>");
        config.close();
        const QString port = QString::number(freePort());
        QProcess twdemo;
        twdemo.start(TWDEMO_PROGRAM, {"-configfile", config.fileName(), "-server", "-playback", "-port", port,
                                      "--dump-state", dir.qpath() + "/linked.json"});
        QProcess peer;
        peer.start("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/tests/tapewright/link_peer.py", port, dir.qpath(), "odd"});
        finish(peer);
        finish(twdemo, 255);
        const QString errors = QString::fromLocal8Bit(twdemo.readAllStandardError());
        for (const char* reported : {"Unknown tag from the remote link: frobnicate", "Not a mouse event type in element 'QTabBar..mouseEvent'",
                                     "nests deeper than 128 levels; it is skipped", "has an element with more than 64 attributes; it is skipped",
                                     "is not encoded in UTF-8 (it holds the byte 0xff on line 1); it is skipped",
                                     "has a document type declaration; it is skipped"})
            EXPECT_TRUE(errors.contains(reported)) << reported << "\n" << errors.left(2000).toStdString();
        for (const char* missing : {"Unable to find widget with name /twdemo/central/nothing", "Unable to find widget with name /twdemo/nnnnnnnn"})
            EXPECT_EQ(errors.contains(missing), told) << missing << "\n" << errors.left(2000).toStdString();
        // Each echo of the peer's 100 KiB name is cut to a readable line.
        for (const QString& line : errors.split('\n'))
            EXPECT_LT(line.size(), 600) << line.left(200).toStdString();
        const QJsonObject linked = readState(dir.qpath() + "/linked.json");
        // Each good key stroke once, none of the odd ones.
        EXPECT_EQ(linked["edit"].toObject()["text"], "xyz");

        QProcess local;
        local.start(TWDEMO_PROGRAM, {"-playback", "-script", dir.qpath() + "/good.tws", "--dump-state", dir.qpath() + "/local.json"});
        finish(local);
        EXPECT_EQ(readState(dir.qpath() + "/local.json"), linked);
    }
}

TEST(RemoteLink, APeerThatClosesRightAfterItsLastElementsHasThemAllPlayed)
{
    TestSupport::ScratchDir dir;
    for (int run = 0; run < 3; ++run) {
        const QString port = QString::number(freePort());
        QProcess twdemo;
        twdemo.start(TWDEMO_PROGRAM, {"-server", "-playback", "-port", port, "--dump-state", dir.qpath() + "/burst.json"});
        QProcess peer;
        peer.start("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/tests/tapewright/link_peer.py", port, dir.qpath(), "burst"});
        finish(peer);
        // The half element after them is told, not played, and the run did not play all it was sent.
        finish(twdemo, 255);
        EXPECT_EQ(readState(dir.qpath() + "/burst.json")["edit"].toObject()["text"], "abcdefgh") << run;
        EXPECT_TRUE(twdemo.readAllStandardError().contains("The remote link closed in the middle of an element")) << run;
    }
}

TEST(RemoteLink, ElementsThatArrivedWholeBeforeAnOverflowArePlayedAndTheOverflowIsToldOnce)
{
    TestSupport::ScratchDir dir;
    for (int run = 0; run < 3; ++run) {
        const QString port = QString::number(freePort());
        QProcess twdemo;
        twdemo.start(TWDEMO_PROGRAM, {"-server", "-playback", "-port", port, "--dump-state", dir.qpath() + "/overflow.json"});
        QProcess peer;
        peer.start("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/tests/tapewright/link_peer.py", port, dir.qpath(), "overflow"});
        finish(peer);
        finish(twdemo, 255);
        const QString errors = QString::fromLocal8Bit(twdemo.readAllStandardError());
        EXPECT_EQ(readState(dir.qpath() + "/overflow.json")["edit"].toObject()["text"].toString(), "ab") << run << errors.toStdString();
        EXPECT_EQ(errors.count("without an element separator"), 1) << run << errors.toStdString();
        EXPECT_FALSE(errors.contains("QIODevice")) << run << errors.toStdString();
    }
}
