// Reading scripts: an element with 100,000 attributes refused from a file and skipped as a piece
// of the remote link (the XML reader's check of attributes against each other would take the
// square of their number), 10,000 elements of the largest number of attributes read, and a
// recorded-like script of 16 MiB read from a plain and from an enciphered file (in a thread of
// its own, so in real time).
#include "tapewright/ErrorReport.h"
#include "tapewright/Script.h"
#include "vexa/io/EncFile.h"
#include "vexa/io/LogFileKey.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

QByteArray withAttributes(int n)
{
    QByteArray element = "<KeyPress name=\"/twdemo/central/edit\"";
    for (int i = 1; i < n; ++i)
        element += " a" + QByteArray::number(i) + "=\"\"";
    return element + "/>";
}

QByteArray script(const QByteArray& steps) { return "<Events>\n<Version id=\"3\"/>\n" + steps + "\n</Events>"; }

void ManyAttributesRefusedFromAFile(benchmark::State& state)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("many.tws"));
    file.open(QIODevice::WriteOnly);
    file.write(script(withAttributes(100000)));
    file.close();
    for (auto _ : state) {
        Script read;
        if (read.load(file.fileName()))
            state.SkipWithError("read");
    }
}

void ManyAttributesSkippedFromTheLink(benchmark::State& state)
{
    const QByteArray piece = withAttributes(100000);
    for (auto _ : state) {
        Script read;
        QString problem;
        if (read.readPiece(piece, &problem))
            state.SkipWithError("read");
    }
    state.SetBytesProcessed(state.iterations() * piece.size());
}

void ElementsOfTheLargestNumberOfAttributes(benchmark::State& state)
{
    const QByteArray text = script((withAttributes(Script::maxAttributes) + "\n").repeated(10000));
    for (auto _ : state) {
        Script read;
        if (!read.read(text, "largest.tws"))
            state.SkipWithError("not read");
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}

// Mouse moves over a tree, as recorded.
QByteArray recordedLike(qint64 bytes)
{
    const QByteArray move = "    <QListView..mouseEvent offsetX=\"66\" sleep=\"1\" type=\"MouseMove\" name=\"/twdemo/central/tree\" "
                            "column=\"0\" offsetY=\"3\">\n        <ChildPath>\n            <Child col0=\"group 7\" "
                            "col2=\"group\" index=\"7\" col1=\"70\"/>\n        </ChildPath>\n    </QListView..mouseEvent>\n";
    return script(move.repeated(bytes / move.size()));
}

void RecordedScriptRead(benchmark::State& state)
{
    const bool enciphered = state.range(0) != 0;
    QTemporaryDir dir;
    const QByteArray text = recordedLike(16 * 1024 * 1024);
    const Vexa::Rijndael cipher(128, Vexa::getLogFileKey());
    const QString name = dir.filePath("recorded");
    if (enciphered) {
        Vexa::EncFile file(name, cipher);
        file.open(QIODevice::WriteOnly);
        file.write(text);
    } else {
        QFile file(name);
        file.open(QIODevice::WriteOnly);
        file.write(text);
    }
    for (auto _ : state) {
        Script read;
        bool ok = false;
        if (enciphered) {
            Vexa::EncFile file(name, cipher);
            ok = file.open(QIODevice::ReadOnly) && read.read(&file, name);
        } else {
            ok = read.load(name);
        }
        if (!ok)
            state.SkipWithError("not read");
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}

}

BENCHMARK(ManyAttributesRefusedFromAFile)->Unit(benchmark::kMillisecond);
BENCHMARK(ManyAttributesSkippedFromTheLink)->Unit(benchmark::kMillisecond);
BENCHMARK(ElementsOfTheLargestNumberOfAttributes)->Unit(benchmark::kMillisecond);
BENCHMARK(RecordedScriptRead)->Arg(0)->Arg(1)->ArgName("enciphered")->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The refusals are what is measured, not their report.
    setErrorSink([](bool, const QString&) {});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
