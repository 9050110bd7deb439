// Widget naming of the recorder: registering 10,000 widgets and looking each up by its path,
// against Qt's recursive QObject::findChild by name over the same tree.
#include "tapewright/ChildListener.h"

#include <QApplication>
#include <QWidget>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int containers = 100;
constexpr int perContainer = 100;

struct Tree
{
    std::unique_ptr<QWidget> root;
    std::vector<QWidget*> widgets;
};

Tree buildTree(const QString& rootName)
{
    Tree tree;
    tree.root = std::make_unique<QWidget>();
    tree.root->setObjectName(rootName);
    for (int c = 0; c < containers; ++c) {
        auto* container = new QWidget(tree.root.get());
        container->setObjectName(QStringLiteral("c%1").arg(c));
        for (int w = 0; w < perContainer; ++w) {
            auto* widget = new QWidget(container);
            widget->setObjectName(QStringLiteral("w%1_%2").arg(c).arg(w));
            tree.widgets.push_back(widget);
        }
    }
    QCoreApplication::processEvents();
    return tree;
}

void RegisterWidgets(benchmark::State& state)
{
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Tree tree = buildTree(QStringLiteral("register%1").arg(round++));
        state.ResumeTiming();
        for (QWidget* widget : tree.widgets)
            benchmark::DoNotOptimize(ChildListener::instance()->childName(widget));
        state.PauseTiming();
        tree.root.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * containers * perContainer);
}

void LookupByPath(benchmark::State& state)
{
    Tree tree = buildTree(QStringLiteral("lookup"));
    std::vector<QString> paths;
    for (QWidget* widget : tree.widgets)
        paths.push_back(ChildListener::instance()->childName(widget));
    for (auto _ : state)
        for (size_t i = 0; i < paths.size(); ++i)
            if (ChildListener::instance()->findChild(paths[i]) != tree.widgets[i])
                state.SkipWithError("wrong widget");
    state.SetItemsProcessed(state.iterations() * paths.size());
}

void QtFindChildByName(benchmark::State& state)
{
    Tree tree = buildTree(QStringLiteral("qt"));
    std::vector<QString> names;
    for (QWidget* widget : tree.widgets)
        names.push_back(widget->objectName());
    for (auto _ : state)
        for (size_t i = 0; i < names.size(); ++i)
            if (tree.root->findChild<QWidget*>(names[i]) != tree.widgets[i])
                state.SkipWithError("wrong widget");
    state.SetItemsProcessed(state.iterations() * names.size());
}

}

BENCHMARK(RegisterWidgets)->Unit(benchmark::kMillisecond);
BENCHMARK(LookupByPath)->Unit(benchmark::kMillisecond);
BENCHMARK(QtFindChildByName)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (!std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ChildListener::instance();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
