#pragma once
// What a view frame knows of the view it hosts. The view factory keeps one prototype of each
// view and clones it into frames by the prototype's object name ("Axial", ...).
class QWidget;

namespace Quorvane {

class IView
{
public:
    // A new view of the same class as a child of `parent`, with the same Model and object
    // name; owned by the caller. Null for a view class that is never registered.
    virtual IView* clone(QWidget* parent) const = 0;
    virtual ~IView() = default;
    // True while the view has nothing to show.
    virtual bool isEmpty() const = 0;
    virtual bool isAvailableInPlanning() const = 0;
    virtual bool isAvailableInNavigation() const = 0;
    // Back to the initial presentation.
    virtual void reset() = 0;
};

}
