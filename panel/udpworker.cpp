#include "panel/udpworker.h"

#include "panel/control.h"
#include "panel/core/routeargs.h"

#include <QDebug>
#include <QNetworkDatagram>
#include <QUdpSocket>

// The grandmaster identity is not known to the panel.
static constexpr quint64 kGmClkId = 0;

UdpWorker::UdpWorker() : socket_(new QUdpSocket(this)) {
    connect(socket_, &QUdpSocket::readyRead, this, &UdpWorker::processPendingDatagrams);
}

UdpWorker::~UdpWorker() { stopListening(); }

void UdpWorker::startListening() {
    if (socket_->bind(QHostAddress::AnyIPv4, kPort, QAbstractSocket::ShareAddress))
        qInfo() << "UDP server started on port" << kPort;
    else
        qWarning() << "Failed to bind UDP socket to port" << kPort << ":" << socket_->errorString();
}

void UdpWorker::stopListening() {
    if (socket_->state() == QAbstractSocket::BoundState)
        socket_->close();
}

void UdpWorker::processPendingDatagrams() {
    while (socket_->hasPendingDatagrams()) {
        const QNetworkDatagram d = socket_->receiveDatagram();
        if (!d.isValid())
            continue;
        if (!d.data().contains("getClkId"))
            continue;
        const QByteArray reply = ClockId_reply(kGmClkId, g_myClkId.load());
        if (socket_->writeDatagram(reply, d.senderAddress(), quint16(d.senderPort())) == -1)
            qWarning() << "Failed to send reply:" << socket_->errorString();
    }
}
