#include "tapewright/PropertyPicker.h"

#include "tapewright/ModalityOverride.h"
#include "tapewright/PropertyExtension.h"
#include "tapewright/PropertyPickerItem.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/TapewrightUtil.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QEventLoop>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaProperty>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QPushButton* iconButton(QWidget* parent, QStyle::StandardPixmap icon, const char* name)
{
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setIcon(parent->style()->standardIcon(icon));
    return button;
}

// The inner viewport of a scroll area stands for the scroll area itself.
QWidget* unwrapViewport(QWidget* widget)
{
    while (auto* area = qobject_cast<QAbstractScrollArea*>(widget->parentWidget())) {
        if (area->viewport() != widget)
            break;
        widget = area;
    }
    return widget;
}

}

PropertyPicker::PropertyPicker()
    : _listView(new QTreeWidget(this)), _fileName(new QLineEdit(this)),
      _writeToFile(new QCheckBox(tr("Write properties to separate file"), this)),
      _down(iconButton(this, QStyle::SP_ArrowDown, "_down")), _up(iconButton(this, QStyle::SP_ArrowUp, "_up")),
      _delete(iconButton(this, QStyle::SP_DialogDiscardButton, "_delete")), _description(new QTextEdit(this))
{
    setObjectName(QStringLiteral("PropertyPicker"));
    setWindowTitle(tr("Tapewright Property Picker"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(new QLabel(tr("Select using the left mouse button, properties to print out during test run."), this));

    auto* listRow = new QHBoxLayout;
    listRow->setSpacing(6);
    layout->addLayout(listRow);
    _listView->setObjectName(QStringLiteral("_listView"));
    _listView->setHeaderLabels({tr("Name"), tr("Attribute")});
    _listView->setSortingEnabled(false);
    _listView->setRootIsDecorated(false);
    listRow->addWidget(_listView, 1);
    auto* rowButtons = new QVBoxLayout;
    rowButtons->setSpacing(6);
    listRow->addLayout(rowButtons);
    for (QPushButton* button : {_delete, _up, _down}) {
        button->setEnabled(false);
        rowButtons->addWidget(button);
    }
    rowButtons->addStretch();

    layout->addWidget(new QLabel(tr("Description:"), this));
    _description->setObjectName(QStringLiteral("_description"));
    layout->addWidget(_description);
    _writeToFile->setObjectName(QStringLiteral("_writeToFile"));
    layout->addWidget(_writeToFile);

    auto* fileRow = new QHBoxLayout;
    layout->addLayout(fileRow);
    auto* fileLabel = new QLabel(tr("File Name:"), this);
    fileLabel->setObjectName(QStringLiteral("label"));
    _fileName->setObjectName(QStringLiteral("_fileName"));
    QPushButton* edit = iconButton(this, QStyle::SP_DirOpenIcon, "edit");
    fileRow->addWidget(fileLabel);
    fileRow->addWidget(_fileName, 1);
    fileRow->addWidget(edit);
    for (QWidget* widget : std::initializer_list<QWidget*> {fileLabel, _fileName, edit}) {
        widget->setEnabled(false);
        connect(_writeToFile, &QCheckBox::toggled, widget, &QWidget::setEnabled);
    }

    auto* okRow = new QHBoxLayout;
    layout->addLayout(okRow);
    okRow->addStretch();
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    okRow->addWidget(ok);
    okRow->addWidget(cancel);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    connect(_delete, &QPushButton::clicked, this, &PropertyPicker::delItem);
    connect(_up, &QPushButton::clicked, this, &PropertyPicker::moveUp);
    connect(_down, &QPushButton::clicked, this, &PropertyPicker::moveDown);
    connect(_listView, &QTreeWidget::currentItemChanged, this, &PropertyPicker::slotCurrentChanged);
    connect(edit, &QPushButton::clicked, this, &PropertyPicker::editFileName);
}

int PropertyPicker::exec()
{
    const ModalityOverride leaveModality;
    _listView->clear();
    slotCurrentChanged();
    setResult(QDialog::Rejected);
    show();
    QEventLoop loop;
    loop_ = &loop;
    if (isVisible())
        loop.exec();
    loop_ = nullptr;
    return result();
}

void PropertyPicker::setVisible(bool visible)
{
    QDialog::setVisible(visible);
    if (!visible && loop_)
        loop_->quit();
}

QString PropertyPicker::fileName() const { return _writeToFile->isChecked() ? _fileName->text() : QString(); }

void PropertyPicker::writePrintProperty(QDomElement parent)
{
    QDomDocument document = parent.ownerDocument();
    for (int row = 0; row < _listView->topLevelItemCount(); ++row) {
        const auto* item = static_cast<const PropertyPickerItem*>(_listView->topLevelItem(row));
        QDomElement element = document.createElement(QStringLiteral("PrintProperty"));
        element.setAttribute(QStringLiteral("name"), item->text(0));
        element.setAttribute(QStringLiteral("property"), item->text(1));
        for (auto it = item->attributes.cbegin(); it != item->attributes.cend(); ++it)
            element.setAttribute(it.key(), it.value());
        parent.appendChild(element);
    }
}

bool PropertyPicker::eventFilter(QObject* object, QEvent* event)
{
    // A key that is a shortcut reaches no widget as a press: Qt hands it to the action first. The
    // application's actions do not run while the picker is open, as none of its keys do (nothing
    // of that time is recorded, so a replay could not do them).
    if (event->type() == QEvent::Shortcut) {
        for (const QObject* owner = object; owner; owner = owner->parent())
            if (owner == this)
                return false;
        return true;
    }
    QPoint pos;
    const bool mouse = event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease
                       || event->type() == QEvent::MouseButtonDblClick || event->type() == QEvent::MouseMove;
    // The window system's mouse events are taken at the window, before Qt hands focus to the
    // widget pressed: a pick leaves focus, current items and selections as they were.
    QWidget* widget = mouse ? TapewrightUtil::mouseTarget(object, static_cast<QMouseEvent*>(event), &pos) : nullptr;
    if (!widget) {
        widget = qobject_cast<QWidget*>(object);
        if (widget && mouse)
            pos = static_cast<QMouseEvent*>(event)->position().toPoint();
    }
    if (!widget || widget->window() == this)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        pick(widget, pos);
        return true;
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ContextMenu:
        return true;
    default:
        return false;
    }
}

void PropertyPicker::pick(QWidget* receiver, const QPoint& pos)
{
    QWidget* target = unwrapViewport(receiver);
    QMenu menu(this);
    QHash<QString, QMenu*> submenus;
    const auto submenu = [&](const QString& title) {
        QMenu*& sub = submenus[title];
        if (!sub)
            sub = menu.addMenu(title);
        return sub;
    };
    for (const QMetaObject* meta = target->metaObject(); meta; meta = meta->superClass()) {
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            const QString name = QString::fromLatin1(meta->property(i).name());
            submenu(QString::fromLatin1(meta->className()))->addAction(name)->setData(name);
        }
    }
    struct Offer
    {
        PropertyExtension* extension;
        QWidget* asked;
    };
    QHash<QAction*, Offer> offers;
    for (PropertyExtension* extension : TapewrightSettings::instance().propertyExtensions()) {
        const QList<QWidget*> askedWidgets = receiver == target ? QList<QWidget*> {target} : QList<QWidget*> {target, receiver};
        for (QWidget* asked : askedWidgets) {
            for (const PropertyItem& item : extension->properties(asked)) {
                QMenu* sub = submenu(item.description());
                const QList<QAction*> present = sub->actions();
                if (std::any_of(present.begin(), present.end(), [&](QAction* a) { return a->data().toString() == item.name(); }))
                    continue;
                QAction* action = sub->addAction(item.name());
                action->setData(item.name());
                offers.insert(action, {extension, asked});
            }
        }
    }
    // The menu's own clicks are no picks.
    qApp->removeEventFilter(this);
    QAction* chosen = menu.exec(QCursor::pos());
    qApp->installEventFilter(this);
    if (!chosen)
        return;
    QString name = TapewrightUtil::objectName(target);
    const QString property = chosen->data().toString();
    QMap<QString, QString> attributes;
    if (offers.contains(chosen)) {
        const Offer offer = offers.value(chosen);
        attributes = offer.extension->attributesAt(offer.asked, property, pos);
        if (attributes.contains(QStringLiteral("name")))
            name = attributes.value(QStringLiteral("name"));
    }
    new PropertyPickerItem(_listView, name, property, attributes);
    slotCurrentChanged();
}

void PropertyPicker::slotCurrentChanged()
{
    QTreeWidgetItem* current = _listView->currentItem();
    const int row = current ? _listView->indexOfTopLevelItem(current) : -1;
    _down->setEnabled(current && row < _listView->topLevelItemCount() - 1);
    _up->setEnabled(current && row > 0);
    _delete->setEnabled(current != nullptr);
}

void PropertyPicker::delItem()
{
    delete _listView->currentItem();
    slotCurrentChanged();
}

void PropertyPicker::moveUp() { moveCurrent(-1); }

void PropertyPicker::moveDown() { moveCurrent(1); }

void PropertyPicker::moveCurrent(int by)
{
    QTreeWidgetItem* current = _listView->currentItem();
    const int row = current ? _listView->indexOfTopLevelItem(current) : -1;
    if (row >= 0 && row + by >= 0 && row + by < _listView->topLevelItemCount()) {
        _listView->takeTopLevelItem(row);
        _listView->insertTopLevelItem(row + by, current);
        _listView->setCurrentItem(current);
    }
    slotCurrentChanged();
}

void PropertyPicker::editFileName()
{
    qApp->removeEventFilter(this);
    const QString name = QFileDialog::getSaveFileName(nullptr, QString(), _fileName->text(),
                                                      tr("Script Files (*.tpw);;All Files (*)"), nullptr,
                                                      QFileDialog::DontUseNativeDialog);
    if (!name.isNull())
        _fileName->setText(name);
    qApp->installEventFilter(this);
}
