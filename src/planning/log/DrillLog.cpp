#include "planning/log/DrillLog.h"

#include "planning/model/Utilities.h"
#include "vexa/core/ExceptionStack.h"

#include <QDateTime>
#include <cmath>
#include <iomanip>

namespace DrillLog {

std::ostream& writeLogStyle(std::ostream& out, const DrillDifference& d, int implantNumber, bool automatic,
                            float slice) try
{
    out << "DATE: " << d.date.toStdString() << "  TIMR: " << d.time.toStdString() << "  ACTION: IMPLANT "
        << implantNumber << "  TYPE: " << (automatic ? "AUTO" : "USER") << "  REG: " << d.drillLength << '\n';
    out << "SLICE: " << std::setprecision(1) << slice << std::setprecision(2) << '\t';
    const double pairs[3][2] = {{d.x, d.xDeviation}, {d.y, d.yDeviation}, {d.depth, d.depthDeviation}};
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            out << ", ";
        out << pairs[i][0] << ' ' << std::setprecision(1) << pairs[i][1] << std::setprecision(2);
    }
    out << " [mm]   Angle X: " << d.angleX << ' ' << d.angleXDeviation << ", Angle Y: " << d.angleY << ' '
        << d.angleYDeviation << " [in Degree]" << '\n';
    return out;
}
VEXA_RETHROW

std::ostream& writeLogStyle(std::ostream& out, const std::vector<DrillDifference>& list, int implantNumber) try
{
    for (const auto& d : list)
        writeLogStyle(out, d, implantNumber, false, static_cast<float>(roundToHalfStep(static_cast<float>(d.depth))));
    return out;
}
VEXA_RETHROW

std::ostream& writeLogStyle(std::ostream& out, const DrillPositions& positions, int implantNumber, bool automatic) try
{
    for (auto it = positions.entries().rbegin(); it != positions.entries().rend(); ++it)
        writeLogStyle(out, it->second, implantNumber, automatic, it->first);
    return out;
}
VEXA_RETHROW

std::ostream& writeList(std::ostream& out, const std::vector<DrillDifference>& list) try
{
    out << list.size() << '\n';
    for (const auto& d : list)
        out << static_cast<float>(roundToHalfStep(static_cast<float>(d.depth))) << '\t' << d << '\n';
    return out;
}
VEXA_RETHROW

std::pair<QString, QString> getCurrentDateAndTimeAsString() try
{
    const QDateTime now = Utilities::currentDateTime();
    const QDate date = now.date();
    const QTime time = now.time();
    return {QString("%1/%2/%3").arg(date.day()).arg(date.month()).arg(date.year()),
            QString("%1:%2:%3").arg(time.hour()).arg(time.minute(), 2, 10, QChar('0')).arg(time.second(), 2, 10, QChar('0'))};
}
VEXA_RETHROW

double roundToHalfStep(float x)
{
    const double k = std::floor(x);
    return x - k > 0.5 ? k + 0.5 : k;
}

DrillDifference calculateDrillStatistics(const std::vector<DrillDifference>& newestFirst) try
{
    if (newestFirst.empty())
        return DrillDifference();
    const double n = static_cast<double>(newestFirst.size());
    double sx = 0, sy = 0, sd = 0, qx = 0, qy = 0, qd = 0;
    float sax = 0, say = 0, sl = 0, qax = 0, qay = 0;
    const int implant = newestFirst.front().implantNumber;
    bool sameImplant = true;
    for (const auto& d : newestFirst) {
        sx += d.x; qx += d.x * d.x;
        sy += d.y; qy += d.y * d.y;
        sd += d.depth; qd += d.depth * d.depth;
        sax += d.angleX; qax += d.angleX * d.angleX;
        say += d.angleY; qay += d.angleY * d.angleY;
        sl += d.drillLength;
        sameImplant = sameImplant && d.implantNumber == implant && d.implant == newestFirst.front().implant;
    }
    const float nf = static_cast<float>(n);
    auto deviation = [](double squares, double mean, double count) {
        return std::sqrt(std::max(0.0, squares / count - mean * mean));
    };
    const double mx = sx / n, my = sy / n, md = sd / n;
    const float max = sax / nf, may = say / nf;
    DrillDifference s(static_cast<float>(mx), static_cast<float>(deviation(qx, mx, n)), static_cast<float>(my),
                      static_cast<float>(deviation(qy, my, n)), static_cast<float>(md),
                      static_cast<float>(deviation(qd, md, n)), max,
                      static_cast<float>(deviation(qax, max, nf)), may, static_cast<float>(deviation(qay, may, nf)),
                      sl / nf, sameImplant ? implant : -1,
                      sameImplant ? newestFirst.front().implant : nullptr);
    s.date = newestFirst.back().date;
    s.time = newestFirst.back().time;
    return s;
}
VEXA_RETHROW

}
