#pragma once
// The fonts the dialogs name, mapped to installed families: "System" to a sans-serif one
// (DejaVu Sans), "Arial" to Liberation Sans, "Fixedsys" to a fixed-pitch one (DejaVu Sans Mono or
// Liberation Mono). A missing family falls back to the nearest installed one.
#include <QFont>

class Fonts
{
public:
    // Registers the substitutions once; every function below calls it.
    static void installSubstitutions();
    // The process-wide dialog font: "System", 12 point, normal weight, not italic.
    static const QFont& dialogFont();
    // The base font in the fixed-pitch "Fixedsys" at the given size (the browsing dialogs'), or
    // smaller where the mapped font's characters would be wider than Fixedsys' 8 pixels.
    static QFont fixedFont(QFont base, int pointSize);
};
