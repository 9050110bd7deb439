#include "tapewright/AdapterBox.h"

#include "tapewright/RecorderAdapter.h"

AdapterBox::AdapterBox(RecorderAdapter* adapter, QWidget* parent) : QCheckBox(QString(), parent), adapter_(adapter)
{
    setText(adapter->info().title);
    setWhatsThis(adapter->info().description);
    setChecked(adapter->isEnabled(nullptr));
}
