#pragma once
// What a person sees of the main window's widgets, as JSON keyed by object path, written when
// the program quits: two runs of one recorded session are compared by it. Written only when
// MORVANTA_WIDGET_DUMP names a file.
class QWidget;

namespace WidgetStateDump {
void installFromEnvironment(QWidget& window);
}
