#include "tapewright/Connector.h"

#include "tapewright/ChildListener.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/TapewrightSettings.h"

#include <QApplication>
#include <QMessageBox>
#include <QTcpSocket>
#include <cstdio>

Connector::Connector(const QString& host, int port, QWidget* parent, const char* name)
    : QDialog(parent), socket_(new QTcpSocket(parent))
{
    setObjectName(QString::fromLatin1(name));
    ChildListener::instance()->ignoreObject(this);
    TapewrightUtil::fillWaitingBox(this, tr("<qt><font size=\"+2\">Connecting to '%1' port '%2'</font></qt>").arg(host).arg(port));
    show();
    socket_->setObjectName(QStringLiteral("Tapewright socket"));
    connect(socket_, &QTcpSocket::connected, this, &Connector::slotConnected);
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) { slotError(int(error)); });
    socket_->connectToHost(host, quint16(port));
}

void Connector::slotConnected()
{
    disconnect(socket_, nullptr, this, nullptr);
    emit connected(socket_);
    deleteLater();
}

void Connector::slotError(int error)
{
    QString message;
    if (error == QAbstractSocket::ConnectionRefusedError)
        message = tr("Connection refused");
    else if (error == QAbstractSocket::HostNotFoundError)
        message = tr("Host not found");
    else
        message = tr("An unknown error occurred while connecting to the remote host");
    const QString caption = tr("Error when connecting to the remote host");
    // Nobody would close the box, and a run that could not do what it was started for failed.
    if (TapewrightSettings::instance().unattended()) {
        reportError(true, QStringLiteral("%1: %2").arg(caption, message));
        QCoreApplication::exit(-1);
        return;
    }
    if (TapewrightSettings::instance().errorMessageLocation() == 0)
        std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(message));
    else
        QMessageBox::critical(this, caption, message, QMessageBox::Ok);
    QCoreApplication::exit(1);
}
