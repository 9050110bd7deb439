#pragma once
// Navigation with a reduced set of views and no view selection.
#include "shell/modes/MorvantaSurgical.h"

class MorvantaLight : public MorvantaSurgical
{
public:
    short getId() const override { return 2; }
    QString getName() const override { return "Light"; }
    QString getLetter() const override { return "L"; }
    bool isNavigationAvailable() const override { return true; }
    std::shared_ptr<ViewFactory> createViews(std::shared_ptr<Model> model) override;
    void showWidgets(bool planning, const QList<QObject*>& frames) override;
};
