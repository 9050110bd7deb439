#pragma once
// Small helpers shared by the test programs.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QCoreApplication>
#include <QProcessEnvironment>
#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

// Polls until the condition holds or a generous time has passed (machines under load are slow;
// the limit only bounds a hang).
template<class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What is wrong with a timer that ticked `ticks` times at the given period in `elapsed` ("" when
// nothing): no timer ticks ahead of its schedule, however loaded the machine; and one that ticks
// at a tenth of its rate or slower cannot get past a tenth of the periods of a long window, which
// a loaded machine that delays ticks still reaches (it would have to hold back nine in ten).
inline std::string tickRateFault(long long ticks, std::chrono::steady_clock::duration elapsed,
                                 std::chrono::milliseconds period)
{
    const long long periods = elapsed / period;
    const std::string counts = std::to_string(ticks) + " ticks in " + std::to_string(periods) + " periods";
    if (ticks > periods)
        return counts + ": ahead of the period";
    if (ticks <= periods / 10 + 1)
        return counts + ": at a tenth of the rate or slower";
    return "";
}

// The bytes of a file ("" when it cannot be read).
inline std::string readFile(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The message of the exception the call throws; "" when it throws none.
template<class Call>
std::string errorText(Call&& call)
{
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// A fresh folder removed at the end of the test.
class ScratchDir
{
public:
    ScratchDir() { dir_.setAutoRemove(true); }
    std::string path() const { return dir_.path().toStdString(); }
    std::string file(const std::string& name) const { return path() + "/" + name; }
    QString qpath() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};

// The regular files of a folder (not its subfolders), sorted by path.
inline std::vector<std::string> filesIn(const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// An X server of the test's own (Xvfb), for tests that read the screen or send X input: on the
// shared display of a parallel test run another test's window may lie over ours.
class PrivateXServer
{
public:
    explicit PrivateXServer(const QString& screen = QStringLiteral("1920x1080x24"))
    {
        // Xvfb picks a free display itself and writes its number once it accepts connections:
        // no race with other servers started at the same moment. Without -noreset it resets
        // whenever its last client leaves, and a client connecting meanwhile is refused.
        server_.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                              QStringLiteral("-screen"), QStringLiteral("0"), screen,
                                              QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                              QStringLiteral("-noreset")});
        if (!server_.waitForStarted())
            return;
        // It writes the number only once it is ready, which on a loaded machine can take long;
        // one that never gets there ends the wait sooner.
        QByteArray number;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(180);
        while (!number.endsWith('\n') && server_.state() == QProcess::Running &&
               std::chrono::steady_clock::now() < end) {
            server_.waitForReadyRead(100);
            number += server_.readAllStandardOutput();
        }
        bool ok = false;
        const int n = number.trimmed().toInt(&ok);
        if (ok && server_.state() == QProcess::Running)
            display_ = QStringLiteral(":%1").arg(n);
    }
    ~PrivateXServer()
    {
        server_.terminate();
        server_.waitForFinished(5000);
    }
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    bool running() const { return !display_.isEmpty(); }
    QString display() const { return display_; }
    // The calling process's environment for child processes: DISPLAY pointing here, or Qt's
    // offscreen platform when no server could be started.
    QProcessEnvironment environment() const
    {
        auto env = QProcessEnvironment::systemEnvironment();
        if (running()) {
            env.insert(QStringLiteral("DISPLAY"), display_);
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        } else {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        }
        return env;
    }

private:
    QProcess server_;
    QString display_;
};

}
