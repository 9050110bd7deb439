#pragma once
// Shared by the DICOM tests: the sample files of Debian's pydicom, our Python helpers, and the
// code of a failure.
#include "dicom/core/DicomException.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <string>

namespace DicomTestSupport {

inline const std::string pydicomData = "/usr/lib/python3/dist-packages/pydicom/data";
inline const std::string testFiles = pydicomData + "/test_files";

// Runs a helper of tests/dicom/tools with Debian's python; returns its standard output.
inline std::string runTool(const QString& script, const QStringList& arguments, int* exitCode = nullptr)
{
    QProcess process;
    process.start("/usr/bin/python3",
                  QStringList{QString(MORVANTA_SOURCE_DIR) + "/tests/dicom/tools/" + script} + arguments);
    process.waitForFinished(300000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput().toStdString();
}

// The code of the DicomException the call throws (its text into message); 0 when it returns.
template<class Call>
int errorOf(Call&& call, std::string* message = nullptr)
{
    try {
        call();
    } catch (const Vexa::DicomException& error) {
        if (message)
            *message = error.what();
        return error.code();
    }
    return 0;
}

// The HU the series writer gives grid voxel (x, y, z).
inline int gridHU(unsigned x, unsigned y, unsigned z)
{
    return int((7 * x + 13 * y + 29 * z) % 3000) - 1000;
}

}
