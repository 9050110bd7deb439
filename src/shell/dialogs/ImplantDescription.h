#pragma once
// One entry of the implant database, read from one ".implant" file (group "Implantdata").
#include <QString>
#include <QStringList>

struct ImplantDescription
{
    QString name;
    QString company;
    QString reference;
    QString comment;
    float length = 0.0f;
    float diameter = 0.0f;
    float shoulder = 0.0f;
    QString surfaceFile;     // the description's folder + "/" + "surfacefile"
    QString descriptionFile; // absolute path of the ".implant" file
    bool selected = false;   // on the short list

    // Whether each size was read: a size that is missing or no valid number stays 0 here and is
    // never shown as a number.
    bool lengthRead = false;
    bool diameterRead = false;
    bool shoulderRead = false;
    // Why no implant can be made from the file: missing keys, sizes that are no valid number
    // (the rules the implant itself reads them by). Empty for a sound description.
    QStringList faults;
    // Why the implant is not available although its description is there ("the surface X.sff is
    // missing"): its picture or surface file is missing. Empty when both are there.
    QString unavailable;

    // Reads the file; missing keys give empty texts and zero sizes, and are listed in `faults`.
    static ImplantDescription read(const QString& file);

    // A size as the lists show it: five characters, two decimals; "  ?  " for one not read.
    static QString sizeText(float value, bool read);
    // Company, name and the three sizes, for messages: "Altavis Dental Conical Pro (Ø 4.00,
    // SØ 4.50, L 10.00)"; a size not read shows as "?".
    QString fullName() const;
};
