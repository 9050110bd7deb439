#include "shell/dialogs/ImplantDescription.h"

#include "vexa/core/IniFileManager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cctype>
#include <charconv>
#include <cmath>

namespace {

const char* const group = "Implantdata";

QString tr(const char* text)
{
    return QCoreApplication::translate("ImplantDescription", text);
}

// A size as the implant reads it: a plain number in the C locale (a leading "+" allowed), finite,
// above 0 (or, for the shoulder, at least 0).
bool parseSize(const std::string& text, bool positive, double& value)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return false;
    const char* begin = text.data() + first;
    const char* end = text.data() + text.find_last_not_of(" \t\r") + 1;
    if (end - begin > 1 && *begin == '+' && (std::isdigit(static_cast<unsigned char>(begin[1])) || begin[1] == '.'))
        ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    return ec == std::errc() && ptr == end && std::isfinite(value) && (positive ? value > 0.0 : value >= 0.0);
}

}

ImplantDescription ImplantDescription::read(const QString& file)
{
    const Vexa::IniFileManager ini(file.toStdString(), Vexa::IniFileManager::ReadOnly);
    ImplantDescription d;
    const QFileInfo info(file);
    d.descriptionFile = info.absoluteFilePath();
    if (!ini.isGroupExisting(group))
        d.faults << (info.isReadable() ? tr("The file holds no group [%1].").arg(group) : tr("The file cannot be read."));
    // The value of a key; false when it is missing (told only when the group is there: without
    // it every key is missing).
    const auto value = [&](const char* key, std::string& out) {
        const std::string none(1, '\0'); // no line of an ini file reads back as this
        out = ini.getValue(group, key, none);
        if (out != none)
            return true;
        if (ini.isGroupExisting(group))
            d.faults << tr("The key \"%1\" is missing.").arg(key);
        out.clear();
        return false;
    };
    const auto text = [&](const char* key) {
        std::string out;
        value(key, out);
        return QString::fromStdString(out);
    };
    const auto size = [&](const char* key, bool positive, bool& read) {
        std::string out;
        double number = 0.0;
        const bool present = value(key, out);
        read = present && parseSize(out, positive, number);
        if (present && !read)
            d.faults << (positive ? tr("The %1 \"%2\" is not a size above 0 mm.")
                                  : tr("The %1 \"%2\" is not a size of 0 mm or more."))
                            .arg(key, QString::fromStdString(out));
        return read ? float(number) : 0.0f;
    };
    d.name = text("name");
    d.company = text("company");
    d.reference = text("reference");
    d.diameter = size("diameter", true, d.diameterRead);
    d.length = size("length", true, d.lengthRead);
    d.shoulder = size("shoulder", false, d.shoulderRead);
    d.comment = text("comment");
    d.surfaceFile = info.absolutePath() + "/" + text("surfacefile");
    return d;
}

QString ImplantDescription::sizeText(float value, bool read)
{
    return read ? QString("%1").arg(double(value), 5, 'f', 2) : QString("  ?  ");
}

QString ImplantDescription::fullName() const
{
    const auto size = [](float value, bool read) { return read ? QString::number(double(value), 'f', 2) : QString("?"); };
    QStringList words{company, name};
    words.removeAll(QString());
    return QString("%1 (\u00D8 %2, S\u00D8 %3, L %4)")
        .arg(words.join(' '), size(diameter, diameterRead), size(shoulder, shoulderRead), size(length, lengthRead));
}
