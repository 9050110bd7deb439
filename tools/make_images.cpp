// Draws the run-time pictures of "Data/Images/" into the given folder:
//   make_images <folder>
// "Morvanta.bmp" (640 x 480, the about box and the logo) and the check-box bitmaps
// "CheckListSelected.bmp" and "CheckListNotSelected.bmp" of the lists, the navigation strip's
// lamps "RedLight.bmp" and "GreenLight.bmp" (32 x 32) and its clinical-study logos
// "Logo Clinical Study Blue.bmp" and "... Red.bmp" (64 x 64).
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <cstdlib>

namespace {

QImage logo()
{
    QImage image(640, 480, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, 480);
    sky.setColorAt(0.0, QColor(18, 52, 96));
    sky.setColorAt(0.85, QColor(92, 148, 196));
    sky.setColorAt(1.0, QColor(235, 240, 245));
    p.fillRect(image.rect(), sky);
    p.setRenderHint(QPainter::Antialiasing);
    // A stylised implant: a screw body under a crown.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(210, 214, 220));
    p.drawRoundedRect(QRectF(292, 190, 56, 150), 10, 10);
    p.setPen(QPen(QColor(120, 128, 140), 4));
    for (int y = 205; y < 335; y += 16)
        p.drawLine(288, y, 352, y + 8);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 250, 246));
    QPainterPath crown;
    crown.moveTo(262, 180);
    crown.cubicTo(262, 100, 378, 100, 378, 180);
    crown.closeSubpath();
    p.drawPath(crown);
    p.setPen(QColor(255, 255, 255));
    QFont title("DejaVu Sans", 40, QFont::Bold);
    p.setFont(title);
    p.drawText(QRect(0, 24, 640, 70), Qt::AlignCenter, "Morvanta");
    return image;
}

QImage checkBox(bool on)
{
    QImage image(24, 24, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(QPen(QColor(64, 64, 64), 2));
    p.drawRect(QRect(4, 4, 16, 16));
    if (on)
    {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(0, 128, 0), 3));
        p.drawLine(QPointF(7, 12), QPointF(11, 17));
        p.drawLine(QPointF(11, 17), QPointF(18, 7));
    }
    return image;
}

QImage lamp(const QColor& color)
{
    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(QColor(64, 64, 64));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color.darker(160), 2));
    p.setBrush(color);
    p.drawEllipse(QRectF(3, 3, 26, 26));
    return image;
}

// A sheet with a tick: the study mark.
QImage studyLogo(const QColor& color)
{
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color, 3));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(14, 8, 36, 48));
    for (int y = 18; y <= 30; y += 6)
        p.drawLine(QPointF(20, y), QPointF(44, y));
    p.setPen(QPen(color, 5));
    p.drawLine(QPointF(20, 42), QPointF(28, 50));
    p.drawLine(QPointF(28, 50), QPointF(46, 34));
    return image;
}

}

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: make_images <folder>\n");
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder))
    {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const struct
    {
        const char* name;
        QImage image;
    } pictures[] = {
        {"Morvanta.bmp", logo()},
        {"CheckListSelected.bmp", checkBox(true)},
        {"CheckListNotSelected.bmp", checkBox(false)},
        {"RedLight.bmp", lamp(QColor(220, 0, 0))},
        {"GreenLight.bmp", lamp(QColor(0, 200, 0))},
        {"Logo Clinical Study Blue.bmp", studyLogo(QColor(0, 60, 200))},
        {"Logo Clinical Study Red.bmp", studyLogo(QColor(210, 0, 0))},
    };
    for (const auto& picture : pictures)
        if (!picture.image.save(folder + "/" + picture.name, "BMP"))
        {
            std::fprintf(stderr, "cannot write %s\n", picture.name);
            return 1;
        }
    return 0;
}
