// twdemo: the demo window of the record and playback tests.
//   --font PT            application font size in points
//   --size WxH           window size
//   --widget-rects FILE  once shown: JSON {name: {"path": P, "rect": [x, y, w, h]}}, global
//   --dump-state FILE    at quit: JSON of the widgets' state, keyed by object name
//   --drive NAME         drive the window with QTest input (see DemoDriver.h)
#include "DemoDriver.h"
#include "DemoWindow.h"

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
                 "[--dump-state FILE] [--drive quit|typing|session]\n",
                 problem);
    return 2;
}

}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QString rectsFile, stateFile, scenario;
    int fontSize = 0;
    QSize size(800, 600);
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString option = args[i];
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

    DemoWindow window;
    window.resize(size);
    window.show();
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
    });
    const int status = app.exec();
    if (!stateFile.isEmpty() && !writeJson(stateFile, window.state()))
        return 1;
    return status;
}
