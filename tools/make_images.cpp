// Draws the run-time pictures of "Data/Images/" into the given folder:
//   make_images <folder>
// "Morvanta.bmp" (640 x 480, the about box and the logo) and the check-box bitmaps
// "CheckListSelected.bmp" and "CheckListNotSelected.bmp" of the lists, the navigation strip's
// lamps "RedLight.bmp" and "GreenLight.bmp" (32 x 32) and its clinical-study logos
// "Logo Clinical Study Blue.bmp" and "... Red.bmp" (64 x 64), and the button pictures of the
// main window, the planning buttons and the view frames (a symbol on a plate).
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

// A 32 x 32 button picture: a coloured plate with a white symbol drawn by `symbol`.
template<class F>
QImage button(QColor plate, F symbol)
{
    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(QColor(212, 208, 200));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(plate);
    p.drawRoundedRect(QRectF(2, 2, 28, 28), 5, 5);
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    symbol(p);
    return image;
}

QImage arrow(bool up)
{
    return button(QColor(70, 90, 120), [up](QPainter& p) {
        const qreal tip = up ? 9 : 23, base = up ? 21 : 11;
        p.drawPolyline(QPolygonF({QPointF(9, base), QPointF(16, tip), QPointF(23, base)}));
    });
}

QImage magnifier(bool in)
{
    return button(QColor(60, 110, 70), [in](QPainter& p) {
        p.drawEllipse(QRectF(7, 7, 13, 13));
        p.drawLine(QPointF(19, 19), QPointF(25, 25));
        p.drawLine(QPointF(10, 13.5), QPointF(17, 13.5));
        if (in)
            p.drawLine(QPointF(13.5, 10), QPointF(13.5, 17));
    });
}

// A round lamp of the navigation strip.
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
        {"Company.bmp", button(QColor(18, 52, 96), [](QPainter& p) { p.drawText(QRect(2, 2, 28, 28), Qt::AlignCenter, "M"); })},
        {"Navigation.bmp", button(QColor(150, 40, 40), [](QPainter& p) { p.drawEllipse(QRectF(8, 8, 16, 16)); p.drawPoint(QPointF(16, 16)); })},
        {"NavigationGreyed.bmp", button(QColor(150, 150, 150), [](QPainter& p) { p.drawEllipse(QRectF(8, 8, 16, 16)); })},
        {"Patient.bmp", button(QColor(40, 90, 150), [](QPainter& p) { p.drawEllipse(QRectF(12, 6, 8, 8)); p.drawArc(QRectF(8, 16, 16, 14), 0, 180 * 16); })},
        {"Panoramic.bmp", button(QColor(150, 110, 30), [](QPainter& p) { p.drawArc(QRectF(6, 8, 20, 28), 0, 180 * 16); })},
        {"Generate3DModel.bmp", button(QColor(110, 60, 140), [](QPainter& p) { p.drawRect(QRectF(8, 12, 12, 12)); p.drawPolyline(QPolygonF({QPointF(8, 12), QPointF(12, 8), QPointF(24, 8), QPointF(24, 20), QPointF(20, 24)})); })},
        {"Implant.bmp", button(QColor(90, 100, 110), [](QPainter& p) { for (int y = 9; y < 26; y += 5) p.drawLine(QPointF(11, y), QPointF(21, y + 2)); })},
        {"SetNerve.bmp", button(QColor(190, 160, 20), [](QPainter& p) { p.drawPolyline(QPolygonF({QPointF(5, 20), QPointF(11, 12), QPointF(19, 20), QPointF(27, 12)})); })},
        {"MeasureLength.bmp", button(QColor(30, 120, 120), [](QPainter& p) { p.drawLine(QPointF(6, 16), QPointF(26, 16)); p.drawLine(QPointF(6, 11), QPointF(6, 21)); p.drawLine(QPointF(26, 11), QPointF(26, 21)); })},
        {"OK.bmp", button(QColor(40, 130, 50), [](QPainter& p) { p.drawPolyline(QPolygonF({QPointF(8, 16), QPointF(14, 22), QPointF(24, 9)})); })},
        {"SelectView.bmp", button(QColor(80, 80, 80), [](QPainter& p) { p.drawRect(QRectF(7, 7, 8, 8)); p.drawRect(QRectF(17, 17, 8, 8)); })},
        {"ZoomIn.bmp", magnifier(true)},
        {"ZoomOut.bmp", magnifier(false)},
        {"FilterOnOff.bmp", button(QColor(100, 70, 40), [](QPainter& p) { p.drawPolygon(QPolygonF({QPointF(7, 8), QPointF(25, 8), QPointF(18, 17), QPointF(18, 25), QPointF(14, 23), QPointF(14, 17)})); })},
        {"Up.bmp", arrow(true)},
        {"Down.bmp", arrow(false)},
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
