#include "tapewright/Listener.h"

#include "tapewright/ChildListener.h"
#include "tapewright/ErrorReport.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTcpSocket>
#include <QVBoxLayout>

Listener::Listener(int port, QWidget* parent) : QTcpServer(parent), parent_(parent)
{
    setObjectName(QStringLiteral("Tapewright Listener"));
    ChildListener::instance()->ignoreObject(this);
    setMaxPendingConnections(1);
    connect(this, &QTcpServer::newConnection, this, &Listener::takeConnection);
    if (!listen(QHostAddress::LocalHost, quint16(port))) {
        reportError(true, tr("Unable to listen on port %1: %2").arg(port).arg(errorString()));
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
        return;
    }
    dialog_ = new QDialog(parent);
    dialog_->setObjectName(QStringLiteral("_dialog"));
    ChildListener::instance()->ignoreObject(dialog_);
    dialog_->setModal(true);
    dialog_->setWindowTitle(tr("Waiting..."));
    auto* layout = new QVBoxLayout(dialog_);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(new QLabel(tr("<qt><font size=\"+2\">Waiting for connection from remote application</font></qt>"), dialog_));
    auto* row = new QHBoxLayout;
    layout->addLayout(row);
    row->addStretch();
    auto* cancel = new QPushButton(tr("Cancel"), dialog_);
    row->addWidget(cancel);
    connect(cancel, &QPushButton::clicked, qApp, &QCoreApplication::quit);
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
