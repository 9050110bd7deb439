#pragma once
// A run mode: Surgical (1), Light (2) or Planning (3). It names itself, says whether navigation
// exists, fills the view factory with its prototypes and decides which view frames show.
#include <QList>
#include <QObject>
#include <QString>
#include <memory>

class Model;
class ViewFactory;

class IMorvantaComponent
{
public:
    virtual ~IMorvantaComponent() = default;
    virtual short getId() const = 0;
    virtual QString getName() const = 0;
    virtual QString getLetter() const = 0;
    virtual bool isNavigationAvailable() const = 0;
    virtual std::shared_ptr<ViewFactory> createViews(std::shared_ptr<Model> model) = 0;
    // Shows or hides each view frame of the list for planning (true) or navigation.
    virtual void showWidgets(bool planning, const QList<QObject*>& frames) = 0;
};

// 1 Surgical, 2 Light, 3 Planning; throws for any other id.
std::shared_ptr<IMorvantaComponent> createComponent(short id);
