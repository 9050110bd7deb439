#include "tapewright/plugins/QSliderSetValue/QSliderSetValueAD.h"

#include <QObject>

QSliderSetValueAD::QSliderSetValueAD() : AbstractSliderSetValueAD("QSlider") {}

AdapterInfo QSliderSetValueAD::info() const
{
    return {QStringLiteral("QSliderSetValueAD"), QObject::tr("QSlider SetValue"),
            QObject::tr("<qt><p>This adapter will record the destination of dragging a QSlider, ratherthan the "
                        "individual movements.</p><p><b>Warning:</b>The following signals will not be emitted "
                        "correctly during playback for QSlider, when this adapter is enabled: <tt>sliderPressed</tt>, "
                        "<tt>sliderMoved</tt>, and <tt>sliderReleased</tt>.</p><p>If, however, you do not enable this "
                        "adapter, then dragging the slider is very likely to result in incorrect positions during "
                        "playback.</p></qt>")};
}
