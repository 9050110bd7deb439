#include "WidgetStateDump.h"

#include "vexa/io/AtomicFile.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QMetaProperty>
#include <QPointer>
#include <QTreeWidget>
#include <QWidget>
#include <cstdio>

namespace {

// Unnamed widgets are told apart by class and place among their siblings.
QString pathOf(const QWidget& widget, const QWidget& root)
{
    QString path;
    for (const QObject* object = &widget; object; object = object->parent()) {
        QString name = object->objectName();
        if (name.isEmpty() && object->parent()) {
            const QObjectList siblings = object->parent()->children();
            name = QString("%1#%2").arg(object->metaObject()->className()).arg(siblings.indexOf(const_cast<QObject*>(object)));
        }
        path.prepend("/" + name);
        if (object == &root)
            break;
    }
    return path;
}

QJsonObject stateOf(const QWidget& widget, const QWidget& root)
{
    QJsonObject state{{"class", widget.metaObject()->className()},
                      {"visible", widget.isVisibleTo(&root)},
                      {"enabled", widget.isEnabled()},
                      {"geometry", QJsonArray{widget.x(), widget.y(), widget.width(), widget.height()}}};
    // The properties a person reads off a widget, where the class has them.
    for (const char* property : {"text", "plainText", "title", "value", "currentIndex"}) {
        const int index = widget.metaObject()->indexOfProperty(property);
        if (index >= 0)
            state.insert(property, QJsonValue::fromVariant(widget.metaObject()->property(index).read(&widget)));
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(&widget); button && button->isCheckable())
        state.insert("checked", button->isChecked());
    QJsonArray items;
    if (const auto* list = qobject_cast<const QListWidget*>(&widget))
        for (int row = 0; row < list->count(); ++row)
            items.append(list->item(row)->text());
    if (const auto* tree = qobject_cast<const QTreeWidget*>(&widget))
        for (int row = 0; row < tree->topLevelItemCount(); ++row) {
            QJsonArray columns;
            for (int column = 0; column < tree->columnCount(); ++column)
                columns.append(tree->topLevelItem(row)->text(column));
            items.append(columns);
        }
    if (!items.isEmpty())
        state.insert("items", items);
    return state;
}

} // namespace

void WidgetStateDump::installFromEnvironment(QWidget& window)
{
    const QString file = qEnvironmentVariable("MORVANTA_WIDGET_DUMP");
    if (file.isEmpty())
        return;
    QPointer<QWidget> root(&window);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [root, file] {
        if (!root)
            return;
        QJsonObject dump;
        dump.insert(pathOf(*root, *root), stateOf(*root, *root));
        for (const QWidget* widget : root->findChildren<QWidget*>())
            dump.insert(pathOf(*widget, *root), stateOf(*widget, *root));
        try {
            Vexa::AtomicFile::writeFile(QFile::encodeName(file).toStdString(), QJsonDocument(dump).toJson().toStdString());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Cannot write the widget dump: %s\n", e.what());
        }
    });
}
