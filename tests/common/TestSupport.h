#pragma once
// Small helpers shared by the test programs.
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <string>

namespace TestSupport {

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

}
