#include "panel/core/adapters.h"

#include <QFile>
#include <QFileInfo>

bool Adapters_usable(const QString& humanName, const QString& sysName, QNetworkInterface::InterfaceType type,
                     QNetworkInterface::InterfaceFlags flags, const QString& sysfsDir) {
    if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning))
        return false;
    if (humanName.toLower().contains(QLatin1String("vmware")) || sysName.toLower().contains(QLatin1String("wlan")) ||
        humanName.contains(QStringLiteral("无线")))
        return false;
    if (type == QNetworkInterface::Wifi || type == QNetworkInterface::Virtual || type == QNetworkInterface::Loopback)
        return false;
    if (QFileInfo::exists(sysfsDir + QLatin1String("/wireless")) ||
        QFileInfo::exists(sysfsDir + QLatin1String("/phy80211")))
        return false;
    if (QFileInfo::exists(sysfsDir + QLatin1String("/bridge")) ||
        QFileInfo::exists(sysfsDir + QLatin1String("/tun_flags")) ||
        QFileInfo::exists(sysfsDir + QLatin1String("/bonding")))
        return false;
    // Software devices without a device link (dummy, vxlan, ...) are virtual; a veth has
    // none either but is the wire of a namespace: its iflink names its peer, while every
    // other software device's iflink is its own index.
    if (!QFileInfo::exists(sysfsDir + QLatin1String("/device"))) {
        QFile ifl(sysfsDir + QLatin1String("/iflink")), idx(sysfsDir + QLatin1String("/ifindex"));
        if (!ifl.open(QIODevice::ReadOnly) || !idx.open(QIODevice::ReadOnly) ||
            ifl.read(32).trimmed() == idx.read(32).trimmed())
            return false;
    }
    return true;
}

QList<AdapterRecord> Adapters_scan(const QString& sysfsRoot) {
    QList<AdapterRecord> recs;
    for (const QNetworkInterface& nif : QNetworkInterface::allInterfaces()) {
        if (!Adapters_usable(nif.humanReadableName(), nif.name(), nif.type(), nif.flags(),
                             sysfsRoot + QLatin1Char('/') + nif.name()))
            continue;
        for (const QNetworkAddressEntry& e : nif.addressEntries()) {
            if (e.ip().protocol() != QAbstractSocket::IPv4Protocol || e.ip().toString() == QLatin1String("127.0.0.1"))
                continue;
            recs.append({nif.humanReadableName(), e.ip().toString(), e.netmask().toString(), nif.hardwareAddress()});
        }
    }
    return recs;
}

int Adapters_choose(const QList<AdapterRecord>& recs, const QString& mac, const QString& ip, int* k) {
    int n = 0, firstMac = -1, both = -1;
    for (int i = 0; i < recs.size(); ++i) {
        if (recs[i].mac != mac)
            continue;
        ++n;
        if (firstMac < 0)
            firstMac = i;
        if (both < 0 && recs[i].ip == ip)
            both = i;
    }
    if (k)
        *k = n;
    if (both >= 0)
        return both;
    if (n == 1 || ip.isEmpty())
        return firstMac;
    return -1;
}
