#include "shell/dialogs/ImplantDescription.h"

#include "vexa/core/IniFileManager.h"

#include <QFileInfo>

ImplantDescription ImplantDescription::read(const QString& file)
{
    const Vexa::IniFileManager ini(file.toStdString(), Vexa::IniFileManager::ReadOnly);
    const auto text = [&](const char* key) { return QString::fromStdString(ini.getValue("Implantdata", key, "")); };
    const auto size = [&](const char* key) { return float(ini.getValue("Implantdata", key, 0.0)); };
    ImplantDescription d;
    d.name = text("name");
    d.company = text("company");
    d.reference = text("reference");
    d.diameter = size("diameter");
    d.length = size("length");
    d.shoulder = size("shoulder");
    d.comment = text("comment");
    const QFileInfo info(file);
    d.surfaceFile = info.absolutePath() + "/" + text("surfacefile");
    d.descriptionFile = info.absoluteFilePath();
    return d;
}
