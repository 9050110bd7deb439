// twdemo: the demo window of the record and playback tests.
//   --font PT            application font size in points
//   --size WxH           window size
//   --widget-rects FILE  once shown: JSON {name: {"path": P, "rect": [x, y, w, h]}}, global
//   --dump-state FILE    at quit: JSON of the widgets' state, keyed by object name
//   --drive NAME         drive the window with QTest input (see DemoDriver.h)
//   -record -script FILE     record the session into FILE (ended before the state dump)
//   -playback -script FILE   play FILE back, then quit
//   -output FILE             where playback output goes (standard output without it)
//   -allowcommands           let played scripts run external commands
#include "DemoDriver.h"
#include "DemoWindow.h"
#include "tapewright/PlayBack.h"
#include "tapewright/Recorder.h"
#include "tapewright/TapewrightSettings.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>
#include <cstdio>

namespace {

bool writeJson(const QString& fileName, const QJsonObject& object)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(QJsonDocument(object).toJson()) < 0) {
        std::fprintf(stderr, "twdemo: cannot write %s\n", qPrintable(fileName));
        return false;
    }
    return true;
}

int usage(const char* problem)
{
    std::fprintf(stderr,
                 "twdemo: %s\nusage: twdemo [--font PT] [--size WxH] [--widget-rects FILE] "
                 "[--dump-state FILE] [--drive quit|typing|session|adapters]\n",
                 problem);
    return 2;
}

}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QString rectsFile, stateFile, scenario, scriptFile, outputFile;
    bool record = false, playback = false;
    int fontSize = 0;
    QSize size(800, 600);
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString option = args[i];
        if (option == QLatin1String("-record") || option == QLatin1String("-playback")) {
            (option == QLatin1String("-record") ? record : playback) = true;
            continue;
        }
        if (option == QLatin1String("-allowcommands")) {
            TapewrightSettings::instance().setAllowCommands(true);
            continue;
        }
        if (i + 1 >= args.size())
            return usage("missing value of an option");
        const QString value = args[++i];
        bool ok = true;
        if (option == QLatin1String("--font")) {
            fontSize = value.toInt(&ok);
            ok = ok && fontSize > 0 && fontSize < 200;
        } else if (option == QLatin1String("--size")) {
            const QStringList parts = value.split(QLatin1Char('x'));
            bool okW = false, okH = false;
            size = parts.size() == 2 ? QSize(parts[0].toInt(&okW), parts[1].toInt(&okH)) : QSize();
            ok = okW && okH && size.width() > 0 && size.height() > 0;
        } else if (option == QLatin1String("--widget-rects")) {
            rectsFile = value;
        } else if (option == QLatin1String("--dump-state")) {
            stateFile = value;
        } else if (option == QLatin1String("-script")) {
            scriptFile = value;
        } else if (option == QLatin1String("-output")) {
            outputFile = value;
        } else if (option == QLatin1String("--drive")) {
            scenario = value;
            ok = DemoDriver::scenarios().contains(scenario);
        } else {
            return usage("unknown option");
        }
        if (!ok)
            return usage("bad option value");
    }
    if ((record || playback) && scriptFile.isEmpty())
        return usage("-record and -playback need -script FILE");
    if (record && playback)
        return usage("-record and -playback exclude each other");
    if (fontSize > 0) {
        QFont font = QApplication::font();
        font.setPointSize(fontSize);
        QApplication::setFont(font);
    }

    // Recording starts before the window is shown, playback after.
    Recorder recorder;
    if (record)
        recorder.start(scriptFile);
    DemoWindow window;
    window.resize(size);
    window.show();
    PlayBack player;
    QObject::connect(&player, &PlayBack::playbackDone, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    // Report the layout and start driving once the window is really on screen.
    DemoDriver driver(&window);
    QTimer::singleShot(0, &window, [&] {
        (void)QTest::qWaitForWindowExposed(&window);
        if (!rectsFile.isEmpty() && !writeJson(rectsFile, window.widgetRects())) {
            QApplication::exit(1);
            return;
        }
        if (!scenario.isEmpty())
            driver.start(scenario);
        if (playback && !player.start(scriptFile, outputFile.isEmpty() ? QString() : outputFile))
            QApplication::exit(1);
    });
    const int status = app.exec();
    recorder.stop();
    if (!stateFile.isEmpty() && !writeJson(stateFile, window.state()))
        return 1;
    return status;
}
