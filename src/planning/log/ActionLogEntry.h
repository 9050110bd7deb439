#pragma once
// One timed text entry of the treatment log, stamped when it is built.
#include <QString>
#include <ostream>

struct ActionLogEntry
{
    explicit ActionLogEntry(const QString& action);

    QString date;
    QString time;
    QString action;
};

// "DATE: d  TIME: t  ACTION: a" and a line end. Control characters of the action (a line
// break in a patient name) are written as blanks, so every entry stays one line.
std::ostream& operator<<(std::ostream& out, const ActionLogEntry& entry);
