// twdemo: the demo window of the record and playback tests.
//   --font PT            application font size in points
//   --size WxH           window size
//   --widget-rects FILE  once shown: JSON {name: {"path": P, "rect": [x, y, w, h]}}, global
//   --dump-state FILE    at quit: JSON of the widgets' state, keyed by object name
//   --drive NAME         drive the window with QTest input (see DemoDriver.h), once it is shown
// Every record and playback option (-record, -playback, -script, -output, -server, -host, -port,
// -configfile, -allowcommands, -help, ...) goes to TapewrightConfig, which starts the window as a
// host application does; the configuration dialog is not shown unless -config is given.
// The exit status is 255 once the component has reported an error (a script or configuration
// file that could not be read or was cut short, an include refused, an element that could not be
// played, a thread that could not be started), as in the host's test mode: such a run did not do
// all its script asked.
#include "DemoDriver.h"
#include "DemoWindow.h"
#include "platform/WindowSystemStart.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/PlayBack.h"
#include "tapewright/TapewrightConfig.h"
#include "tapewright/TapewrightSettings.h"
#include "vexa/io/AtomicFile.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>
#include <cstdio>

namespace {

bool writeJson(const QString& fileName, const QJsonObject& object)
{
    try {
        Vexa::AtomicFile::writeFile(QFile::encodeName(fileName).toStdString(), QJsonDocument(object).toJson().toStdString());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "twdemo: %s\n", e.what());
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
    // The application object starts threads of its own already (the window system's events).
    watchThreadStarts();
    // Its runs are the tests': one without a display ends with a line and 255, not a signal.
    Platform::watchWindowSystemStart(255);
    QApplication app(argc, argv);
    Platform::endWatchingWindowSystemStart();
    // A platform without a screen (a framebuffer that cannot be opened) cannot make the window.
    if (!QGuiApplication::primaryScreen()) {
        std::fprintf(stderr, "No usable display: the platform '%s' has no screen; twdemo ends\n", qPrintable(QGuiApplication::platformName()));
        return 255;
    }
    // The host's overrides, made before the configuration reads the settings.
    TapewrightSettings& settings = TapewrightSettings::instance();
    settings.setShowRecorderDialog(false);
    settings.setShowConfigDialog(false);
    settings.setErrorMessageLocation(0);
    // Its runs are the tests': nothing may wait for a person.
    settings.setUnattended(true);
    TapewrightConfig config(argc, argv, true);

    QString rectsFile, stateFile, scenario;
    int fontSize = 0;
    QSize size(800, 600);
    for (int i = 1; i < argc; ++i) {
        const QString option = QString::fromLocal8Bit(argv[i]);
        if (i + 1 >= argc)
            return usage("unknown option or missing value");
        const QString value = QString::fromLocal8Bit(argv[++i]);
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
        } else if (option == QLatin1String("--drive")) {
            scenario = value;
            ok = DemoDriver::scenarios().contains(scenario);
        } else {
            return usage("unknown option");
        }
        if (!ok)
            return usage("bad option value");
    }
    if (fontSize > 0) {
        QFont font = QApplication::font();
        font.setPointSize(fontSize);
        QApplication::setFont(font);
    }

    config.exec();
    DemoWindow window;
    window.resize(size);
    if (PlayBack* player = config.playBackUnit())
        QObject::connect(player, &PlayBack::playbackDone, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    // Report the layout and start driving once the window is really on screen: over the remote
    // link that is only when the peer has connected.
    DemoDriver driver(&window);
    QTimer shown;
    shown.setInterval(20);
    QObject::connect(&shown, &QTimer::timeout, &window, [&] {
        if (!window.isVisible())
            return;
        shown.stop();
        (void)QTest::qWaitForWindowExposed(&window);
        if (!rectsFile.isEmpty() && !writeJson(rectsFile, window.widgetRects())) {
            QApplication::exit(1);
            return;
        }
        if (!scenario.isEmpty())
            driver.start(scenario);
    });
    shown.start();
    // Recording starts before the window is shown, playback after.
    QTimer::singleShot(0, &window, [&] {
        config.startWithFile(&window);
        // A script that cannot be read has been reported; nothing will ever end the run.
        PlayBack* player = config.playBackUnit();
        if (player && !player->isPlaying() && !config.isRemoteControl())
            QApplication::exit(-1);
    });
    int status = app.exec();
    config.endRecording();
    if (!stateFile.isEmpty() && !writeJson(stateFile, window.state()))
        return 1;
    if (status == 0 && reportedErrors() > 0)
        status = -1;
    return status;
}
