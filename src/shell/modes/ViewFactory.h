#pragma once
// The view prototypes of one mode, by object name ("Axial", ...). Frames ask for a fresh clone
// whenever they show a view; the factory owns the prototypes and deletes each once.
#include <QString>
#include <QStringList>
#include <map>
#include <memory>

class QWidget;
namespace Quorvane {
class IView;
}

class ViewFactory
{
public:
    static std::shared_ptr<ViewFactory> create(bool viewSelectionEnabled);
    explicit ViewFactory(bool viewSelectionEnabled) : viewSelectionEnabled_(viewSelectionEnabled) {}
    ~ViewFactory();

    ViewFactory(const ViewFactory&) = delete;
    ViewFactory& operator=(const ViewFactory&) = delete;

    // Takes ownership. A name already taken keeps its first prototype; the second is deleted.
    // Throws when the view is no widget.
    void registerView(Quorvane::IView* view);
    // A new hidden clone owned by `parent`'s tree, or null for a name never registered.
    Quorvane::IView* getView(const QString& name, QWidget* parent) const;
    bool isViewSelectionEnabled() const { return viewSelectionEnabled_; }
    // The registered names in key order.
    QStringList names() const;
    // The prototype of a name (still owned by the factory), or null.
    const Quorvane::IView* prototype(const QString& name) const;

private:
    bool viewSelectionEnabled_;
    std::map<QString, Quorvane::IView*> prototypes_;
};
