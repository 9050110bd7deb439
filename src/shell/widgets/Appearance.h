#pragma once
// Looks the main window's widgets share: the button pictures of "Data/Images/" in the application
// folder, and the black background of the view area.
#include <QPixmap>
#include <QString>

class QWidget;

class Appearance
{
public:
    // The BMP picture of that name (a null pixmap when it is missing).
    static QPixmap picture(const QString& name);
    static void blackBackground(QWidget* widget);
};
