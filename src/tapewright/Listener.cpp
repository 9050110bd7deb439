#include "tapewright/Listener.h"

#include "tapewright/ChildListener.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/TapewrightSettings.h"

#include <QApplication>
#include <QDialog>
#include <QTcpSocket>

Listener::Listener(int port, QWidget* parent) : QTcpServer(parent), parent_(parent)
{
    setObjectName(QStringLiteral("Tapewright Listener"));
    ChildListener::instance()->ignoreObject(this);
    setMaxPendingConnections(1);
    connect(this, &QTcpServer::newConnection, this, &Listener::takeConnection);
    if (!listen(QHostAddress::LocalHost, quint16(port))) {
        reportError(true, tr("Unable to listen on port %1: %2").arg(port).arg(errorString()));
        // Unattended, as a connection that fails: the status of a run that failed.
        const int status = TapewrightSettings::instance().unattended() ? -1 : 1;
        QMetaObject::invokeMethod(qApp, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
        return;
    }
    dialog_ = new QDialog(parent);
    dialog_->setObjectName(QStringLiteral("_dialog"));
    ChildListener::instance()->ignoreObject(dialog_);
    dialog_->setModal(true);
    dialog_->setWindowTitle(tr("Waiting..."));
    TapewrightUtil::fillWaitingBox(dialog_, tr("<qt><font size=\"+2\">Waiting for connection from remote application</font></qt>"));
    dialog_->show();
}

Listener::~Listener() { delete dialog_; }

void Listener::takeConnection()
{
    QTcpSocket* socket = nextPendingConnection();
    if (!socket || !isListening())
        return;
    close();
    socket->setParent(parent_);
    socket->setObjectName(QStringLiteral("Tapewright server socket"));
    emit connected(socket);
    deleteLater();
}
