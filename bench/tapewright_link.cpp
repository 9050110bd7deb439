// The remote link between two processes: a Python peer sends PrintProperty elements to a player
// fed by the link, which answers each with one line over the same link. Reported: the median
// round trip of single elements (an upper bound of the one-way latency) and the elements per
// second of a burst. And the framer alone: 1-byte reads of 64 KiB and of 1 MiB of elements, whose
// times must grow linearly.
#include "tapewright/ChildListener.h"
#include "tapewright/LinkFramer.h"
#include "tapewright/PlayBack.h"
#include "tapewright/TapewrightSettings.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

QApplication& application()
{
    static int argc = 1;
    static char name[] = "bench_tapewright_link";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        auto* a = new QApplication(argc, argv);
        TapewrightSettings::instance().setErrorMessageLocation(0);
        TapewrightSettings::instance().setEndPlayBackDialog(false);
        return a;
    }();
    return *app;
}

void BM_LinkBetweenProcesses(benchmark::State& state)
{
    application();
    QWidget top;
    top.setObjectName("bench");
    auto* edit = new QLineEdit(QStringLiteral("text"), &top);
    edit->setObjectName("edit");
    top.show();
    ChildListener::instance()->childName(edit);
    double median = 0, rate = 0;
    for (auto _ : state) {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        QProcess peer;
        peer.start("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/bench/tapewright_link_peer.py",
                                        QString::number(server.serverPort()), "500", "5000"});
        if (!server.waitForNewConnection(10000)) {
            state.SkipWithError("the peer did not connect");
            return;
        }
        QTcpSocket* socket = server.nextPendingConnection();
        PlayBack player;
        player.setSocket(socket);
        QEventLoop loop;
        QObject::connect(&player, &PlayBack::playbackDone, &loop, &QEventLoop::quit);
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        loop.exec();
        peer.waitForFinished(10000);
        const QList<QByteArray> figures = peer.readAllStandardOutput().trimmed().split(' ');
        if (figures.size() != 2) {
            state.SkipWithError("the peer reported nothing");
            return;
        }
        median = figures[0].toDouble();
        rate = figures[1].toDouble();
    }
    state.counters["median_roundtrip_ms"] = median;
    state.counters["elements_per_s"] = rate;
}
BENCHMARK(BM_LinkBetweenProcesses)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FramerOneByteReads(benchmark::State& state)
{
    const QByteArray element = LinkFramer::frame("<KeyPress name=\"/twdemo/central/edit\" key=\"A\" text=\"a\" sleep=\"0\"/>");
    QByteArray stream;
    while (stream.size() < state.range(0))
        stream += element;
    for (auto _ : state) {
        LinkFramer framer;
        qsizetype pieces = 0;
        for (qsizetype i = 0; i < stream.size(); ++i)
            pieces += framer.feed(QByteArray::fromRawData(stream.constData() + i, 1)).size();
        benchmark::DoNotOptimize(pieces);
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_FramerOneByteReads)->Arg(64 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMillisecond);

}
