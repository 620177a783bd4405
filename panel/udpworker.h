// Answers "getClkId" datagrams on UDP 9997 with the card's PTP clock identity.
#pragma once
#include <QObject>

class QUdpSocket;

class UdpWorker : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kPort = 9997;
    UdpWorker();
    ~UdpWorker() override;

public slots:
    void startListening();
    void stopListening();
    void processPendingDatagrams();

private:
    QUdpSocket* socket_;
};
