#include "planning/log/ActionLogEntry.h"

#include "planning/log/DrillLog.h"

namespace {

std::string oneLine(const QString& text)
{
    QString clean = text;
    for (QChar& c : clean)
        if (c.category() == QChar::Other_Control)
            c = QChar(' ');
    return clean.toStdString();
}

}

ActionLogEntry::ActionLogEntry(const QString& action_) : action(action_)
{
    std::tie(date, time) = DrillLog::getCurrentDateAndTimeAsString();
}

std::ostream& operator<<(std::ostream& out, const ActionLogEntry& entry)
{
    return out << "DATE: " << entry.date.toStdString() << "  TIME: " << entry.time.toStdString()
               << "  ACTION: " << oneLine(entry.action) << '\n';
}
