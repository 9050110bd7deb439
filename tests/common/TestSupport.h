#pragma once
// Small helpers shared by the test programs.
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <filesystem>
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

}
