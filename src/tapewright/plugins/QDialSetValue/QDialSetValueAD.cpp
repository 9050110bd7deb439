#include "tapewright/plugins/QDialSetValue/QDialSetValueAD.h"

#include <QObject>

QDialSetValueAD::QDialSetValueAD() : AbstractSliderSetValueAD("QDial") {}

AdapterInfo QDialSetValueAD::info() const
{
    return {QStringLiteral("QDialSetValueAD"), QObject::tr("QDial SetValue"),
            QObject::tr("<qt><p>When the user moves the dial to a new position, this adapter records the destination, "
                        "rather than the individual movements.</p><p><b>Warning:</b> When this adapter is enabled, "
                        "signals will not be properly emitted from QDial instances..</p></qt>")};
}
