#pragma once
// Planning and navigation with every view.
#include "shell/modes/IMorvantaComponent.h"

class MorvantaSurgical : public IMorvantaComponent
{
public:
    short getId() const override { return 1; }
    QString getName() const override { return "Surgical"; }
    QString getLetter() const override { return "S"; }
    bool isNavigationAvailable() const override { return true; }
    std::shared_ptr<ViewFactory> createViews(std::shared_ptr<Model> model) override;
    void showWidgets(bool planning, const QList<QObject*>& frames) override;

protected:
    // Registers the named views in this order (names without a view class yet are skipped).
    static void registerViews(ViewFactory& factory, const std::shared_ptr<Model>& model, const QStringList& names);
};
