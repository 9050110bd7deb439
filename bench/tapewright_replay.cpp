// Recording and playback speed: 100,000 mouse moves recorded into a script file (and the event
// filter's cost per event against no recorder), and a 10,000-element compressed key script
// played into a line edit against QTest::keyClick of the same keys (letters, each taken back with
// Backspace, so that the edit's text stays short and its layout cost does not grow).
#include "tapewright/ChildListener.h"
#include "tapewright/PlayBack.h"
#include "tapewright/Recorder.h"
#include "tapewright/TapewrightSettings.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QKeySequence>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QtTest/qtestspontaneevent.h>
#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

constexpr int moves = 100000;
constexpr int keys = 10000;

struct Target
{
    Target()
    {
        top.setObjectName("bench");
        edit = new QLineEdit(&top);
        edit->setObjectName("edit");
        edit->setMouseTracking(true);
        edit->installEventFilter(&counter);
        top.show();
        QCoreApplication::processEvents();
    }
    struct KeyCounter : QObject
    {
        int presses = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            presses += e->type() == QEvent::KeyPress;
            return false;
        }
    } counter;
    QWidget top;
    QLineEdit* edit;
};

int keyAt(int i) { return i % 2 ? int(Qt::Key_Backspace) : int(Qt::Key_A + (i / 2) % 26); }

void sendMoves(QWidget* widget)
{
    for (int i = 0; i < moves; ++i) {
        QMouseEvent move(QEvent::MouseMove, QPointF(i % 50, i % 20), QPointF(i % 50, i % 20), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        // As the window system delivers it (sendEvent would clear the spontaneous flag).
        QSpontaneKeyEvent::setSpontaneous(&move);
        qApp->notify(widget, &move);
    }
}

void MouseMovesWithoutRecorder(benchmark::State& state)
{
    Target target;
    for (auto _ : state)
        sendMoves(target.edit);
    state.SetItemsProcessed(state.iterations() * moves);
}

void MouseMovesRecordedToFile(benchmark::State& state)
{
    Target target;
    QTemporaryDir dir;
    for (auto _ : state) {
        Recorder recorder;
        recorder.start(dir.filePath("moves.tws"));
        sendMoves(target.edit);
        recorder.stop();
    }
    state.SetItemsProcessed(state.iterations() * moves);
    state.counters["bytes"] = double(QFile(dir.filePath("moves.tws")).size());
}

void KeyScriptPlayedCompressed(benchmark::State& state)
{
    Target target;
    QTemporaryDir dir;
    const QString file = dir.filePath("keys.tws");
    {
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        out.write("<Events>\n");
        for (int i = 0; i < keys; ++i) {
            const int key = keyAt(i);
            const QString text = key == Qt::Key_Backspace ? QString() : QString(QChar(key).toLower());
            out.write(QStringLiteral("    <KeyPress name=\"/bench/edit\" key=\"%1\" text=\"%2\"/>\n")
                          .arg(QKeySequence(key).toString(QKeySequence::PortableText), text)
                          .toUtf8());
        }
        out.write("</Events>");
    }
    TapewrightSettings::instance().setCompressTime(true);
    for (auto _ : state) {
        target.counter.presses = 0;
        PlayBack player;
        QEventLoop loop;
        QObject::connect(&player, &PlayBack::playbackDone, &loop, &QEventLoop::quit);
        player.start(file);
        loop.exec();
        if (target.counter.presses != keys || !target.edit->text().isEmpty())
            state.SkipWithError("keys lost");
    }
    state.SetItemsProcessed(state.iterations() * keys);
}

void KeysByQTestKeyClick(benchmark::State& state)
{
    Target target;
    for (auto _ : state) {
        for (int i = 0; i < keys; ++i)
            QTest::keyClick(target.edit, Qt::Key(keyAt(i)));
        if (!target.edit->text().isEmpty())
            state.SkipWithError("keys lost");
    }
    state.SetItemsProcessed(state.iterations() * keys);
}

}

BENCHMARK(MouseMovesWithoutRecorder)->Unit(benchmark::kMillisecond);
BENCHMARK(MouseMovesRecordedToFile)->Unit(benchmark::kMillisecond);
BENCHMARK(KeyScriptPlayedCompressed)->Unit(benchmark::kMillisecond);
BENCHMARK(KeysByQTestKeyClick)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (!std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ChildListener::instance();
    TapewrightSettings::instance().setErrorMessageLocation(0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
