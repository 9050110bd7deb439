#pragma once
// A navigation day for the replay camera: the handpiece waits while the camera is adjusted,
// registers a 25 mm drill on point A, then drills each implant coaxially down to its depth
// (the treatment log's own measure: along the implant's axis from its origin, plus 1 mm),
// slowly over the last 0.3 mm so that the log's 4-sample window lags less than 0.05 mm, and
// ends resting at a lateral offset in the last implant for a minute. The poses follow the
// planning's registration (locator to patient) and the handpiece calibration on record.
//
// Also the oracle of the day: the treatment log's sections in order and, from its internal
// part, every implant's table of depth rows.
#include "../../navigation/NavigationScene.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>
#include <map>
#include <ostream>
#include <vector>

namespace NavigationDay {

using Vexa::Matrix44;
using Vexa::Vector3D;

constexpr double drillLength = 25.0;
constexpr std::uint32_t stepMs = 50;
constexpr std::uint32_t finalHoldMs = 60000;

struct Drilling
{
    Matrix44<double> implant; // in the planning's coordinates
    double length = 0.0;      // the implant's
    double depth = 0.0;       // where the drill stops
};

// The registration's result for the drill: the tip `drillLength` behind the drill origin's x.
inline Matrix44<double> drillOriginTDrillTip()
{
    return Matrix44<double>(Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D(1, 0, 0), Vector3D(-drillLength, 0, 0));
}

// The handpiece locator's camera pose that puts the drill tip at `offset` in the implant's
// frame, the drill's axes along the implant's.
inline Matrix44<double> handpieceAt(const Matrix44<double>& patientTLocator, const Matrix44<double>& implant,
                                    const Vector3D& offset)
{
    const Matrix44<double> patientTDrill = implant * Matrix44<double>(offset);
    return NavigationScene::locatorPose() * Vexa::inverse(patientTLocator) * patientTDrill
           * Vexa::inverse(drillOriginTDrillTip()) * Vexa::inverse(NavigationScene::trueCalibration());
}

// Writes the day; the last implant's final offset is `finalOffset` (x, y in its frame).
// Consecutive samples differ by 0.01 mm, more than the tolerance under which a tick counts as a repeat.
inline void write(std::ostream& out, const Matrix44<double>& patientTLocator, const std::vector<Drilling>& drillings,
                  double finalX, double finalY)
{
    out << "# t_ms tool visible qw qx qy qz x y z error\n";
    out.precision(10);
    std::uint32_t step = 0;
    auto put = [&](const Matrix44<double>& handpiece) {
        const Matrix44<double> wobble(Vector3D(step % 2 ? 0.01 : 0.0, 0, 0));
        NavigationScene::writeLine(out, step * stepMs, 0, wobble * handpiece, true);
        NavigationScene::writeLine(out, step * stepMs, 1, wobble * NavigationScene::locatorPose(), true);
        ++step;
    };
    for (int i = 0; i < 60; ++i) // the camera adjustment holds 2 s
        put(NavigationScene::handpieceAway());
    // Held at point A for 6 s, as a surgeon holds it until the registration sounds: the
    // registration takes 28 ticks, and a loaded machine ticks late or starts ticking late.
    for (int i = 0; i < 120; ++i)
        put(NavigationScene::handpieceAtPointA(drillLength));
    for (int i = 0; i < 20; ++i)
        put(NavigationScene::handpieceAway());
    for (std::size_t k = 0; k < drillings.size(); ++k) {
        const Drilling& d = drillings[k];
        auto at = [&](double depth, double x = 0.0, double y = 0.0) {
            put(handpieceAt(patientTLocator, d.implant, Vector3D(x, y, depth - 1.0)));
        };
        double depth = d.length + 2.0;
        for (; depth > d.depth + 0.3; depth -= 0.1)
            at(depth);
        for (; depth > d.depth; depth -= 0.01)
            at(depth);
        for (int i = 0; i < 40; ++i)
            at(d.depth);
        if (k + 1 < drillings.size()) {
            for (int i = 0; i < 20; ++i)
                put(NavigationScene::handpieceAway());
            continue;
        }
        for (std::uint32_t t = 0; t < finalHoldMs; t += stepMs)
            at(d.depth, finalX, finalY);
    }
}

// What a stored treatment log says.
struct Log
{
    QStringList sections;            // the section lines in file order
    std::map<int, double> deepest;   // implant number -> the smallest depth of its table
    std::map<int, std::map<double, double>> table; // implant number -> its rows, depth key -> depth
};

inline Log read(const QString& file)
{
    Log log;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return log;
    const QStringList lines = QString::fromUtf8(in.readAll()).split('\n');
    static const QRegularExpression section(
        "ACTION: (START TREATMENT|PATIENT|FILE|REGISTERED|CALIBRATION|NO CALIBRATION)|^(NUMBER OF IMPLANTS|PLANNED "
        "POSITION|PROTOCOL SLICES|MEASURED POSITION|Following data is an INTERNAL FORMAT)|ACTION: IMPLANT \\d+  TYPE");
    int internal = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const auto match = section.match(lines[i]);
        if (match.hasMatch()) {
            const QString name = match.captured(0);
            if (log.sections.isEmpty() || log.sections.back() != name)
                log.sections << name;
            if (name.startsWith("Following"))
                internal = i + 1;
        }
    }
    if (internal < 0)
        return log;
    // The internal part: the implant count, then per implant its matrix, its table (count and
    // rows "key<TAB>x sx y sy depth sdepth ...") and its user list.
    QString rest = lines.mid(internal).join('\n');
    QTextStream s(&rest);
    int implants = 0;
    s >> implants;
    for (int k = 1; k <= implants; ++k) {
        double value = 0.0;
        for (int i = 0; i < 16; ++i)
            s >> value;
        for (int list = 0; list < 2; ++list) {
            int count = 0;
            s >> count;
            for (int r = 0; r < count; ++r) {
                double row[12];
                for (double& v : row)
                    s >> v;
                if (list == 0 && (r == 0 || row[5] < log.deepest[k]))
                    log.deepest[k] = row[5];
                if (list == 0)
                    log.table[k][row[0]] = row[5];
            }
        }
    }
    return log;
}

}
