#pragma once
// One drill position record relative to the nearest planned implant: a single sample, or the
// statistics over the sample window. Positions in mm in the implant's frame; angles in
// degrees (the angle against the implant's x or y axis, minus 90).
#include <QString>
#include <memory>
#include <ostream>

class Implant;

struct DrillDifference
{
    // Empty date and time, all numbers 0, no implant (-1).
    DrillDifference() = default;
    // A sample, stamped now.
    DrillDifference(float x, float y, float depth, float angleX, float angleY, float drillLength, int implantNumber,
                    std::shared_ptr<Implant> implant = nullptr);
    // A statistics record; date and time stay empty until the caller sets them.
    DrillDifference(float x, float xDeviation, float y, float yDeviation, float depth, float depthDeviation,
                    float angleX, float angleXDeviation, float angleY, float angleYDeviation, float drillLength,
                    int implantNumber, std::shared_ptr<Implant> implant = nullptr);

    QString date;
    QString time;
    double x = 0.0;
    double y = 0.0;
    double depth = 0.0;
    double xDeviation = 0.0;
    double yDeviation = 0.0;
    double depthDeviation = 0.0;
    float angleX = 0.0f;
    float angleXDeviation = 0.0f;
    float angleY = 0.0f;
    float angleYDeviation = 0.0f;
    float drillLength = 0.0f;
    int isStatistics = 0;
    int implantNumber = -1;
    // The implant the number stood for when the record was made (numbers change when
    // implants are removed, the pointer does not).
    std::shared_ptr<Implant> implant;
};

// The eleven numbers: pairs separated by three blanks, one blank within a pair; no line end.
std::ostream& operator<<(std::ostream& out, const DrillDifference& d);
