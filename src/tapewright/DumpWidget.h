#pragma once
// A yellow "Please select a widget" label near the cursor that waits for one mouse press and
// gives the widget pressed, for the recorder's screen dumps. A press on the label itself is no
// answer (its path could never be played): the label goes and the wait goes on.
#include <QLabel>
#include <QPointer>

class QEventLoop;
class QTimer;

class DumpWidget : public QLabel
{
    Q_OBJECT
public:
    // The widget that receives the next mouse press.
    static QObject* pickWidget();

    bool eventFilter(QObject* object, QEvent* event) override;

private:
    DumpWidget();

    QPointer<QObject> picked_;
    QEventLoop* loop_ = nullptr;
    QTimer* hideTimer_;
};
