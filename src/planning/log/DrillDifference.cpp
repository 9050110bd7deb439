#include "planning/log/DrillDifference.h"

#include "planning/log/DrillLog.h"

DrillDifference::DrillDifference(float x_, float y_, float depth_, float angleX_, float angleY_, float drillLength_,
                                 int implantNumber_, std::shared_ptr<Implant> implant_)
    : x(x_), y(y_), depth(depth_), angleX(angleX_), angleY(angleY_), drillLength(drillLength_),
      implantNumber(implantNumber_), implant(std::move(implant_))
{
    std::tie(date, time) = DrillLog::getCurrentDateAndTimeAsString();
}

DrillDifference::DrillDifference(float x_, float xDeviation_, float y_, float yDeviation_, float depth_,
                                 float depthDeviation_, float angleX_, float angleXDeviation_, float angleY_,
                                 float angleYDeviation_, float drillLength_, int implantNumber_,
                                 std::shared_ptr<Implant> implant_)
    : x(x_), y(y_), depth(depth_), xDeviation(xDeviation_), yDeviation(yDeviation_), depthDeviation(depthDeviation_),
      angleX(angleX_), angleXDeviation(angleXDeviation_), angleY(angleY_), angleYDeviation(angleYDeviation_),
      drillLength(drillLength_), isStatistics(1), implantNumber(implantNumber_), implant(std::move(implant_))
{
}

std::ostream& operator<<(std::ostream& out, const DrillDifference& d)
{
    return out << d.x << ' ' << d.xDeviation << "   " << d.y << ' ' << d.yDeviation << "   " << d.depth << ' '
               << d.depthDeviation << "   " << d.angleX << ' ' << d.angleXDeviation << "   " << d.angleY << ' '
               << d.angleYDeviation << "   " << d.drillLength;
}
