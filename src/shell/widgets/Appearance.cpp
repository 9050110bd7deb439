#include "shell/widgets/Appearance.h"

#include "platform/ApplicationFolder.h"

#include <QWidget>

QPixmap Appearance::picture(const QString& name)
{
    return QPixmap(QString::fromStdString(Platform::applicationPath("Data/Images/" + name.toStdString())), "BMP");
}

void Appearance::blackBackground(QWidget* widget)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::black);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}
