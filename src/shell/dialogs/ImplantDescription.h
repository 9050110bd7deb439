#pragma once
// One entry of the implant database, read from one ".implant" file (group "Implantdata").
#include <QString>

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

    // Reads the file; missing keys give empty texts and zero sizes.
    static ImplantDescription read(const QString& file);
};
