// Selection snapshots of the tree and list selection adapters: recording and replaying the
// snapshot of a 10,000-item tree and of a 10,000-item list (target 50 ms each), against a plain
// depth-first QModelIndex walk of the same tree that reads the same texts.
#include "tapewright/plugins/QListBoxSelect/QListBoxSelectAD.h"
#include "tapewright/plugins/QListViewSelect/QListViewSelectAD.h"

#include <QApplication>
#include <QListWidget>
#include <QTreeWidget>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <memory>

namespace {

constexpr int groups = 100;
constexpr int perGroup = 99; // groups + groups * perGroup = 10,000 items

std::unique_ptr<QTreeWidget> buildTree()
{
    auto tree = std::make_unique<QTreeWidget>();
    tree->setColumnCount(2);
    tree->setSelectionMode(QAbstractItemView::MultiSelection);
    for (int g = 0; g < groups; ++g) {
        auto* group = new QTreeWidgetItem(tree.get(), {QStringLiteral("group %1").arg(g), QString::number(g)});
        for (int i = 0; i < perGroup; ++i)
            new QTreeWidgetItem(group, {QStringLiteral("item %1.%2").arg(g).arg(i), QString::number(i)});
    }
    for (int g = 0; g < groups; g += 3)
        tree->topLevelItem(g)->child(g % perGroup)->setSelected(true);
    tree->setCurrentItem(tree->topLevelItem(groups / 2), 0, QItemSelectionModel::NoUpdate);
    return tree;
}

std::unique_ptr<QListWidget> buildList()
{
    auto list = std::make_unique<QListWidget>();
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    for (int i = 0; i < groups * (perGroup + 1); ++i)
        list->addItem(QStringLiteral("entry %1").arg(i));
    for (int i = 0; i < list->count(); i += 7)
        list->item(i)->setSelected(true);
    return list;
}

// Recording: the snapshot element of the whole view.
template<class View>
void Record(benchmark::State& state, View* view, QDomElement (*snapshot)(QDomDocument&, const View*))
{
    for (auto _ : state) {
        QDomDocument document;
        benchmark::DoNotOptimize(snapshot(document, view));
    }
    state.SetItemsProcessed(state.iterations() * groups * (perGroup + 1));
}

// Replaying: the snapshot imposed on the view with nothing selected.
template<class View>
void Replay(benchmark::State& state, View* view, const QDomElement& snapshot, void (*play)(const QDomElement&, View*))
{
    const qsizetype selected = view->selectionModel()->selectedRows().size();
    for (auto _ : state) {
        state.PauseTiming();
        view->clearSelection();
        state.ResumeTiming();
        play(snapshot, view);
    }
    if (view->selectionModel()->selectedRows().size() != selected)
        state.SkipWithError("snapshot not replayed");
    state.SetItemsProcessed(state.iterations() * groups * (perGroup + 1));
}

QDomElement listSnapshot(QDomDocument& document, const QListWidget* list)
{
    return QListBoxSelectAD::ensureSelectedElement(document, list, 0);
}

QDomElement treeSnapshot(QDomDocument& document, const QTreeWidget* tree)
{
    return QListViewSelectAD::ensureSelectedElement(document, tree);
}

void playTree(const QDomElement& e, QTreeWidget* tree) { QListViewSelectAD::playEnsureSelected(e, tree); }
void playList(const QDomElement& e, QListWidget* list) { QListBoxSelectAD::playEnsureSelected(e, list); }

void TreeSnapshotRecord(benchmark::State& state)
{
    auto tree = buildTree();
    Record(state, tree.get(), &treeSnapshot);
}

void TreeSnapshotReplay(benchmark::State& state)
{
    auto tree = buildTree();
    QDomDocument document;
    Replay(state, tree.get(), treeSnapshot(document, tree.get()), &playTree);
}

void ListSnapshotRecord(benchmark::State& state)
{
    auto list = buildList();
    Record(state, list.get(), &listSnapshot);
}

void ListSnapshotReplay(benchmark::State& state)
{
    auto list = buildList();
    QDomDocument document;
    Replay(state, list.get(), listSnapshot(document, list.get()), &playList);
}

int walk(const QAbstractItemModel* model, const QModelIndex& parent, const QItemSelectionModel* selection)
{
    int seen = 0;
    for (int r = 0; r < model->rowCount(parent); ++r) {
        const QModelIndex index = model->index(r, 0, parent);
        seen += int(selection->isSelected(index)) + int(!index.data().toString().isEmpty())
                + int(!index.sibling(r, 1).data().toString().isEmpty());
        seen += walk(model, index, selection);
    }
    return seen;
}

void PlainDepthFirstWalk(benchmark::State& state)
{
    auto tree = buildTree();
    for (auto _ : state)
        benchmark::DoNotOptimize(walk(tree->model(), QModelIndex(), tree->selectionModel()));
    state.SetItemsProcessed(state.iterations() * groups * (perGroup + 1));
}

}

BENCHMARK(TreeSnapshotRecord)->Unit(benchmark::kMillisecond);
BENCHMARK(TreeSnapshotReplay)->Unit(benchmark::kMillisecond);
BENCHMARK(ListSnapshotRecord)->Unit(benchmark::kMillisecond);
BENCHMARK(ListSnapshotReplay)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainDepthFirstWalk)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (!std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
