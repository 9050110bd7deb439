// Scripts come from files and the remote link: any bytes played as a script into a widget tree
// must end in reports, never in a crash or a hang. Reports go to a sink instead of ending the
// process; boxes the script opens are closed at once.
#include "tapewright/ChildListener.h"
#include "ScratchFile.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/PlayBack.h"
#include "tapewright/TapewrightSettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTableWidget>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

QApplication* application()
{
    static int argc = 1;
    static char name[] = "fuzz_tapewright_script";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        auto* a = new QApplication(argc, argv);
        auto& settings = TapewrightSettings::instance();
        settings.setErrorMessageLocation(0);
        settings.setCompressTime(true);
        settings.setCreationTimeOut(-1);
        settings.setMissingWidget(0);
        setErrorSink([](bool, const QString&) {});
        ChildListener::instance();
        // Boxes and menus a played element opens are closed as soon as they show.
        auto* closer = new QTimer(a);
        QObject::connect(closer, &QTimer::timeout, [] {
            if (QWidget* popup = QApplication::activePopupWidget())
                popup->close();
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        closer->start(5);
        return a;
    }();
    return app;
}

std::unique_ptr<QWidget> buildTree()
{
    auto top = std::make_unique<QWidget>();
    top->setObjectName("top");
    auto* layout = new QVBoxLayout(top.get());
    auto* edit = new QLineEdit;
    edit->setObjectName("edit");
    auto* check = new QCheckBox("check");
    check->setObjectName("check");
    auto* combo = new QComboBox;
    combo->setObjectName("combo");
    combo->addItems({"a", "b", "c"});
    auto* list = new QListWidget;
    list->setObjectName("list");
    list->addItems({"x", "y", "z"});
    auto* button = new QPushButton("dialog");
    button->setObjectName("button");
    QObject::connect(button, &QPushButton::clicked, top.get(), [parent = top.get()] {
        QDialog dialog(parent);
        dialog.setObjectName("dialog");
        dialog.exec();
    });
    // One widget of every kind the adapters play into.
    auto* tree = new QTreeWidget;
    tree->setObjectName("tree");
    tree->setColumnCount(2);
    for (const char* text : {"p", "q", "q"})
        new QTreeWidgetItem(new QTreeWidgetItem(tree, {text, "1"}), {"leaf", "2"});
    auto* table = new QTableWidget(20, 5);
    table->setObjectName("table");
    auto* tabs = new QTabBar;
    tabs->setObjectName("tabs");
    tabs->addTab("one");
    tabs->addTab("two");
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName("slider");
    auto* spin = new QSpinBox;
    spin->setObjectName("spin");
    auto* time = new QTimeEdit;
    time->setObjectName("time");
    auto* bar = new QScrollBar(Qt::Horizontal);
    bar->setObjectName("bar");
    auto* menu = new QMenu(top.get());
    menu->setObjectName("menu");
    menu->addAction("a");
    menu->addSeparator();
    menu->addAction("b");
    for (QWidget* w : {static_cast<QWidget*>(edit), static_cast<QWidget*>(check), static_cast<QWidget*>(combo),
                       static_cast<QWidget*>(list), static_cast<QWidget*>(button), static_cast<QWidget*>(tree),
                       static_cast<QWidget*>(table), static_cast<QWidget*>(tabs), static_cast<QWidget*>(slider),
                       static_cast<QWidget*>(spin), static_cast<QWidget*>(time), static_cast<QWidget*>(bar)})
        layout->addWidget(w);
    top->show();
    QCoreApplication::processEvents();
    return top;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    application();
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // Screen dumps write where the script says: not from arbitrary input.
    if (bytes.toLower().contains("screendump"))
        return 0;
    const QString file = QString::fromStdString(fuzzScratchFile("tapewright")) + ".tws";
    {
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        out.write(bytes);
    }
    std::unique_ptr<QWidget> tree = buildTree();
    {
        PlayBack player;
        QEventLoop loop;
        QObject::connect(&player, &PlayBack::playbackDone, &loop, &QEventLoop::quit);
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        if (player.start(file))
            loop.exec();
        player.endPlayBack();
    }
    tree.reset();
    QCoreApplication::processEvents();
    QFile::remove(file);
    return 0;
}
