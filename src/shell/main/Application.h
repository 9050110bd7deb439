#pragma once
// The application object: turns the 3D mouse's events into three Qt signals, and is the event
// boundary where an exception thrown by a handler is caught, recorded and reported (it never
// crosses the event loop), after which the loop ends with a non-zero exit code.
#include "vexa/math/Vector3.h"

#include <QApplication>
#include <functional>

struct SiSpwEvent;
class QTimer;

namespace Quorvane {

class Application : public QApplication
{
    Q_OBJECT

public:
    enum SpaceballButton
    {
        Button1 = 1, Button2, Button3, Button4, Button5, Button6,
        Button7, Button8, Button9, Button10, Button11, Button12
    };
    Q_ENUM(SpaceballButton)

    Application(int& argc, char** argv);
    ~Application() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // The exception caught at the event boundary, if any ("" for one of unknown type).
    bool hasFailed() const { return failed_; }
    QString failureText() const { return failureText_; }
    // Called with the text of each exception caught at the boundary (default: a critical box
    // and the trail file; main replaces nothing, tests may).
    void setFailureHandler(std::function<void(const QString& what, bool known)> handler);

    // What one device event means: a logical button (0 for none), or a motion, or the zero event.
    struct SpaceballSignal
    {
        enum Kind { None, Button, Motion, Zero } kind = None;
        int button = 0;
        Vexa::Vector3D translation, rotation;
    };
    // type and deviceButton as the library reports them; axes TX, TY, TZ, RX, RY, RZ.
    static SpaceballSignal decode(int type, int deviceButton, const long* axes);
    // Turns one device event into one of the signals.
    virtual void handleSpaceballEvent(const SiSpwEvent& event);
    // Reports the caught exception as main does: trail, box, "stacktrace.log".
    static void reportException(const QString& what, bool known);

public slots:
    // Opens the 3D mouse; always 0.
    int initSpaceball(quintptr window);

signals:
    void spaceballButtonPressed(Quorvane::Application::SpaceballButton button);
    void spaceballMotion(const Vexa::Vector3D& translation, const Vexa::Vector3D& rotation);
    void spaceballZero();

private:
    void pollSpaceball();
    void fail(const QString& what, bool known);

    void* handle_ = nullptr;
    bool open_ = false;
    QTimer* poll_ = nullptr;
    bool failed_ = false;
    bool reporting_ = false;
    QString failureText_;
    std::function<void(const QString&, bool)> failureHandler_;
};

}
