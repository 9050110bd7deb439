#include "shell/main/Application.h"

#include "planning/model/Settings.h"
#include "planning/model/Utilities.h"
#include "platform/ApplicationFolder.h"
#include "platform/DebugOutput.h"
#include "platform/SpaceMouseLibrary.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <QDateTime>
#include <QMessageBox>
#include <QTimer>
#include <sstream>

namespace Quorvane {

Application::Application(int& argc, char** argv) : QApplication(argc, argv)
{
    qRegisterMetaType<Quorvane::Application::SpaceballButton>("Quorvane::Application::SpaceballButton");
    qRegisterMetaType<Vexa::Vector3D>("Vexa::Vector3D");
}

Application::~Application() = default;

void Application::setFailureHandler(std::function<void(const QString&, bool)> handler)
{
    failureHandler_ = std::move(handler);
}

bool Application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        fail(QString::fromLocal8Bit(e.what()), true);
    } catch (...) {
        fail(QString(), false);
    }
    return false;
}

void Application::fail(const QString& what, bool known)
{
    failed_ = true;
    failureText_ = what;
    // A second exception while the box of the first is open is recorded, not shown again.
    if (!reporting_) {
        reporting_ = true;
        if (failureHandler_)
            failureHandler_(what, known);
        else
            reportException(what, known);
        reporting_ = false;
    }
    exit(1);
}

namespace {

const char* const supportContact = "Morvanta Support\n"
                                   "Implant Planning Systems\n"
                                   "Hauptstrasse 1, 10115 Berlin\n\n"
                                   "Fon: +49 30 0000000\n"
                                   "Fax: +49 30 0000001";

// The first patient path + "/MorvantaStudyDummy/", created; the application folder without one.
std::string studyFolder()
{
    const Settings settings(Platform::applicationPath("Morvanta.ini"));
    const auto paths = settings.getPatientPaths();
    const std::string base = paths.empty() || paths.front().empty() ? Platform::applicationFolder() : paths.front();
    const std::string folder = base + "/MorvantaStudyDummy/";
    Utilities::makeAbsDir(folder);
    return folder;
}

}

void Application::reportException(const QString& what, bool known)
{
    std::ostringstream trail;
    Vexa::ExceptionStack::getInstance()->dump(trail);
    Platform::outputDebugString("\n--- exception stacktrace ---\n" + trail.str());
    const std::string folder = studyFolder() + "System/";
    Utilities::makeAbsDir(folder);
    const auto now = [] { return QDateTime::currentDateTime().toString("dd/MM/yyyy hh:mm:ss.z").toStdString(); };
    std::ostringstream record;
    record << "Application: Morvanta\n"
           << "trace begin date: " << now() << "\n"
           << trail.str() << "trace end date: " << now() << "\n\n";
    // Appended whole and synced (the program ends soon after), or told in the box.
    QString unsaved;
    try {
        Vexa::AtomicFile::appendFile(folder + "stacktrace.log", record.str());
    } catch (const std::exception& e) {
        Platform::outputDebugString(std::string(e.what()) + "\n");
        unsaved = tr("The exception trail was not saved:") + "\n" + QString::fromLocal8Bit(e.what()) + "\n\n";
    }
    const QString text = known ? tr("Known exception occured:") + "\n" + what + "\n\n"
                               : tr("Unknown exception occured!") + "\n\n";
    QMessageBox::critical(nullptr, tr("Morvanta Exception"),
                          text + unsaved + tr("Please contact:") + "\n" + QString::fromLatin1(supportContact));
}

int Application::initSpaceball(quintptr window)
{
    SiInitialize();
    SiOpenData data;
    SiOpenWinInit(&data, window);
    handle_ = SiOpen("Morvanta", -1, nullptr, 1, &data);
    if (!handle_) {
        SiTerminate();
        open_ = false;
        return 0;
    }
    SiSetUiMode(handle_, 0);
    open_ = true;
    // The daemon's events are polled: libspnav answers without blocking.
    poll_ = new QTimer(this);
    connect(poll_, &QTimer::timeout, this, &Application::pollSpaceball);
    poll_->start(10);
    return 0;
}

void Application::pollSpaceball()
{
    if (!open_)
        return;
    for (int i = 0; i < 64; ++i) {
        SiGetEventData data;
        SiSpwEvent event;
        SiGetEventWinInit(&data, 0, 0, 0);
        if (SiGetEvent(handle_, 0, &data, &event) != SI_IS_EVENT)
            return;
        handleSpaceballEvent(event);
    }
}

Application::SpaceballSignal Application::decode(int type, int deviceButton, const long* m)
{
    // The divisions are multiplications with single-precision constants.
    constexpr float translationScale = 1.0f / 1400.0f, depthScale = 1.0f / 700.0f, rotationScale = 1.0f / 7000.0f;
    SpaceballSignal out;
    switch (type) {
    case 1:
        if (deviceButton >= 1 && deviceButton <= 9)
            out.button = deviceButton;
        else if (deviceButton == 13)
            out.button = 12;
        else if (deviceButton == 14)
            out.button = 10;
        else if (deviceButton == 15)
            out.button = 11;
        out.kind = out.button ? SpaceballSignal::Button : SpaceballSignal::None;
        break;
    case 2:
        out.kind = SpaceballSignal::Motion;
        out.translation = Vexa::Vector3D(-double(m[2]) * double(depthScale), double(m[1]) * double(translationScale),
                                         -double(m[0]) * double(translationScale));
        out.rotation = Vexa::Vector3D(double(m[5]) * double(rotationScale), double(m[4]) * double(rotationScale),
                                      -double(m[3]) * double(rotationScale));
        break;
    case 4:
        out.kind = SpaceballSignal::Zero;
        break;
    default:
        break;
    }
    return out;
}

void Application::handleSpaceballEvent(const SiSpwEvent& event)
{
    SiSpwEvent copy = event;
    const SpaceballSignal s = decode(event.type, event.type == 1 ? SiButtonPressed(&copy) : 0, event.spwData.mData);
    if (s.kind == SpaceballSignal::Button)
        emit spaceballButtonPressed(SpaceballButton(s.button));
    else if (s.kind == SpaceballSignal::Motion)
        emit spaceballMotion(s.translation, s.rotation);
    else if (s.kind == SpaceballSignal::Zero)
        emit spaceballZero();
}

}
