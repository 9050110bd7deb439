#pragma once
// Text of the drill position records: the log lines of the treatment log file and the date
// and time strings. The writers keep the stream's number format (fixed or general); only the
// log lines of one record set the precision.
#include "planning/log/DrillDifference.h"
#include "planning/log/DrillPositions.h"

#include <QString>
#include <ostream>
#include <utility>
#include <vector>

namespace DrillLog {

// Two lines: "DATE: d  TIMR: t  ACTION: IMPLANT n  TYPE: AUTO|USER  REG: length" (length in
// the precision the stream had) and "SLICE: s\tx dx, y dy, depth ddepth [mm]   Angle X: a da,
// Angle Y: a da [in Degree]" (slice with precision 1, means 2, deviations 1, angles 2). Leaves
// precision 2.
std::ostream& writeLogStyle(std::ostream& out, const DrillDifference& d, int implantNumber, bool automatic,
                            float slice);
// Every record in list order, type "USER", under the depth key of its depth.
std::ostream& writeLogStyle(std::ostream& out, const std::vector<DrillDifference>& list, int implantNumber);
// Every entry, largest key first, with the given type.
std::ostream& writeLogStyle(std::ostream& out, const DrillPositions& positions, int implantNumber, bool automatic);
// The count and a line end, then per record: depth key, tab, record, line end.
std::ostream& writeList(std::ostream& out, const std::vector<DrillDifference>& list);

// (day/month/year, hour:mm:ss) now, without leading zeros on day, month and hour.
std::pair<QString, QString> getCurrentDateAndTimeAsString();
// floor(x) + 0.5 when the fraction is above 0.5, else floor(x).
double roundToHalfStep(float x);

// Statistics over the samples, newest first: means and population deviations, the implant
// when every sample names the same one (else -1), the date and time of the oldest sample. No
// samples give the default record.
DrillDifference calculateDrillStatistics(const std::vector<DrillDifference>& newestFirst);

}
