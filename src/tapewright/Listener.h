#pragma once
// The listening side of the remote link: waits on the loopback interface for the one peer (to
// reach another machine, tunnel the port, e.g. over SSH), shows a "Waiting..." box meanwhile,
// hands the first connection on and then deletes itself, so no second peer is ever accepted.
#include <QPointer>
#include <QTcpServer>

class QDialog;
class QTcpSocket;
class QWidget;

class Listener : public QTcpServer
{
    Q_OBJECT
public:
    Listener(int port, QWidget* parent);
    ~Listener() override;

signals:
    void connected(QTcpSocket* socket);

private slots:
    void takeConnection();

private:
    QWidget* parent_;
    QPointer<QDialog> dialog_;
};
