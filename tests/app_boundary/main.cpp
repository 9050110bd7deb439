// Runs the program's start-up and shutdown (Program::run) with a slot that throws once the window
// is up. Prints "endRecording N" at the end; message boxes are closed as they appear.
#include "shell/main/IRecordPlayback.h"
#include "shell/main/MainWindow.h"
#include "shell/main/Program.h"
#include "vexa/core/ExceptionStack.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <stdexcept>

namespace {

struct CountingRecorder : IRecordPlayback
{
    explicit CountingRecorder(int& ends) : ends(ends) {}
    int mode() const override { return 1; }
    QString scriptFile() const override { return {}; }
    void startWithDevice(QWidget*, QIODevice*) override {}
    void startWithFile(QWidget*, std::function<void(int)>) override {}
    void endRecording() override { ++ends; }
    int& ends;
};

class Thrower : public QObject
{
public:
    void fail(bool known)
    try {
        if (known)
            throw std::runtime_error("a slot failed");
        throw 42;
    }
    VEXA_RETHROW
};

}

int main(int argc, char** argv)
{
    const bool known = argc < 2 || std::string(argv[1]) != "unknown";
    int ends = 0;
    RecordPlaybackHook hook;
    hook.create = [&ends](int&, char**, bool) { return std::make_unique<CountingRecorder>(ends); };
    Thrower thrower;
    const int status = Program::run(1, argv, hook, [&](MainWindow& window) {
        auto* closer = new QTimer(&window);
        QObject::connect(closer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                std::printf("box %s\n", qPrintable(box->text().section('\n', 0, 1)));
                box->done(0);
            }
        });
        closer->start(50);
        QTimer::singleShot(100, &window, [&thrower, known] { thrower.fail(known); });
    });
    std::printf("endRecording %d\n", ends);
    return status;
}
