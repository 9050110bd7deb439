#pragma once
// The check box of one recorder adapter on the configuration's Adapters page: the adapter's title
// as text, its description as what's-this help, checked when the adapter is on as a whole.
#include <QCheckBox>

class RecorderAdapter;

class AdapterBox : public QCheckBox
{
    Q_OBJECT
public:
    AdapterBox(RecorderAdapter* adapter, QWidget* parent);
    RecorderAdapter* adapter() const { return adapter_; }

private:
    RecorderAdapter* adapter_;
};
