#include "shell/main/VideoCapture.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>
#include <QScreen>
#include <QWidget>
#include <QWindow>

VideoCapture::VideoCapture(QWidget* window) : window_(window)
{
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &VideoCapture::onTimer);
}

VideoCapture::~VideoCapture()
{
    stop();
}

bool VideoCapture::setFileName(const QString& fileName)
{
    if (state_ != Idle || fileName.isEmpty() || !QFileInfo(QFileInfo(fileName).absolutePath()).isWritable())
        return false;
    fileName_ = fileName;
    return true;
}

QByteArray VideoCapture::compress(const QImage& picture)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "JPEG");
    writer.setQuality(80);
    writer.write(picture.convertToFormat(QImage::Format_RGB32));
    return jpeg;
}

QImage VideoCapture::shownPicture(QWidget& window)
{
    // Rendering the widgets again paints each GL view into a framebuffer of its own, where its
    // texts (side markers, slice position, numbers) do not come along: the screen's pixels are
    // the record of what the user saw.
    const QWindow* handle = window.windowHandle();
    if (handle && handle->isExposed() && QGuiApplication::platformName() == QLatin1String("xcb"))
        if (QScreen* screen = handle->screen()) {
            QImage shown = screen->grabWindow(window.winId()).toImage();
            if (shown.size() == (window.size() * window.devicePixelRatio()))
                return shown;
        }
    return window.grab().toImage();
}

bool VideoCapture::openNext()
{
    QString name = fileName_;
    if (part_ > 0)
        name.insert(name.lastIndexOf('.'), QString("_%1").arg(part_ + 1));
    ++part_;
    // The frame size must be even for most players' decoders.
    const QSize size(window_->width() & ~1, window_->height() & ~1);
    if (writer_.open(name, size, framePeriodMs * 1000)) {
        current_ = name;
        return true;
    }
    error_ = QString::fromStdString(writer_.errorText());
    QFile::remove(name);
    return false;
}

// Completes the current file. One that got no frame shows nothing and goes.
bool VideoCapture::closeCurrent()
{
    if (current_.isEmpty())
        return true;
    const bool hasFrames = writer_.frameCount() > 0;
    const bool ok = writer_.close();
    if (!ok && error_.isEmpty())
        error_ = QString::fromStdString(writer_.errorText());
    if (hasFrames)
        files_ << current_;
    else
        QFile::remove(current_);
    current_.clear();
    return ok;
}

bool VideoCapture::start()
{
    if (state_ != Idle || !window_ || fileName_.isEmpty())
        return false;
    state_ = Starting;
    part_ = 0;
    frames_ = 0;
    last_.clear();
    failed_ = false;
    error_.clear();
    files_.clear();
    if (!openNext()) {
        failed_ = true;
        state_ = Idle;
        return false;
    }
    clock_.start();
    state_ = Capturing;
    if (!captureFrame()) {
        stop();
        return false;
    }
    timer_.start(framePeriodMs);
    return true;
}

bool VideoCapture::writeFrame(const QByteArray& jpeg)
{
    if (writer_.isFull() && (!closeCurrent() || !openNext()))
        return false;
    if (!writer_.addFrame(jpeg)) {
        if (error_.isEmpty())
            error_ = QString::fromStdString(writer_.errorText());
        return false;
    }
    ++frames_;
    return true;
}

bool VideoCapture::captureFrame()
{
    if (state_ != Capturing || !window_)
        return true;
    // Frames due by now: the first at 0 ms, then one a period.
    const qint64 due = clock_.elapsed() / framePeriodMs + 1;
    const QImage picture = shownPicture(*window_);
    const QByteArray jpeg = compress(picture.copy(0, 0, picture.width() & ~1, picture.height() & ~1));
    bool ok = true;
    while (ok && frames_ + 1 < due)
        ok = writeFrame(last_.isEmpty() ? jpeg : last_);
    ok = ok && writeFrame(jpeg);
    last_ = jpeg;
    if (!ok)
        failed_ = true;
    return ok;
}

void VideoCapture::onTimer()
{
    if (captureFrame())
        return;
    stop();
    emit failed();
}

bool VideoCapture::stop()
{
    if (state_ == Idle)
        return !failed_;
    timer_.stop();
    // The frames due until now, as the last picture: a tick that a busy event loop held back
    // would cut the video short of the time it recorded.
    const qint64 due = clock_.elapsed() / framePeriodMs + 1;
    while (!failed_ && !last_.isEmpty() && frames_ < due)
        if (!writeFrame(last_))
            failed_ = true;
    if (!closeCurrent())
        failed_ = true;
    state_ = Idle;
    return !failed_;
}
