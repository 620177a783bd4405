// Wired adapters as the panel offers them: one record per IPv4 address.
#pragma once
#include <QList>
#include <QNetworkInterface>
#include <QString>

struct AdapterRecord {
    QString name; // human-readable interface name
    QString ip;
    QString mask;
    QString mac;
};

// Whether an interface is a wire the card may use. sysfsDir is /sys/class/net/<name>:
// Qt reports Wi-Fi, bridges and tun/tap devices as Ethernet, sysfs tells them apart.
// A veth is a wire (it is what the test LAN plugs computers into).
bool Adapters_usable(const QString& humanName, const QString& sysName, QNetworkInterface::InterfaceType type,
                     QNetworkInterface::InterfaceFlags flags, const QString& sysfsDir);

// The records of every usable interface (sysfsRoot: /sys/class/net).
QList<AdapterRecord> Adapters_scan(const QString& sysfsRoot = QStringLiteral("/sys/class/net"));

// The record to select for the saved hardware address and IPv4 address: the first with
// both; else, when the hardware address has one record or no address is saved, the
// first with the hardware address; else -1. *k gets the number with the hardware address.
int Adapters_choose(const QList<AdapterRecord>& recs, const QString& mac, const QString& ip, int* k);
