#pragma once
// Planning only: the Surgical views, no navigation.
#include "shell/modes/MorvantaSurgical.h"

class MorvantaPlanning : public MorvantaSurgical
{
public:
    short getId() const override { return 3; }
    QString getName() const override { return "Planning"; }
    QString getLetter() const override { return "P"; }
    bool isNavigationAvailable() const override { return false; }
};
