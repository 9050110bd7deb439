#pragma once
// The connecting side of the remote link: a small "Connecting to" box while the connection is
// made; on success the socket is handed on and the box goes, on failure the error is shown and
// the application ends with a failure status (unattended: a line on standard error and 255).
#include <QDialog>

class QTcpSocket;

class Connector : public QDialog
{
    Q_OBJECT
public:
    Connector(const QString& host, int port, QWidget* parent, const char* name);

signals:
    void connected(QTcpSocket* socket);

private slots:
    void slotConnected();
    void slotError(int error);

private:
    QTcpSocket* socket_;
};
