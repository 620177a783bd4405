#include "panel/core/routeargs.h"

#include <QRegularExpression>

QString Ip_toDotted(quint32 ip) {
    return QStringLiteral("%1.%2.%3.%4").arg(ip >> 24).arg((ip >> 16) & 255).arg((ip >> 8) & 255).arg(ip & 255);
}

quint32 Ip_fromDotted(const QString& s) {
    const QStringList parts = s.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4)
        return 0;
    quint32 ip = 0;
    for (const QString& p : parts) {
        bool ok = false;
        const uint v = p.toUInt(&ok);
        if (!ok || v > 255)
            return 0;
        ip = (ip << 8) | v;
    }
    return ip;
}

QStringList RouteArgs_build(const RouteParams& p) {
    QStringList a;
    a << QStringLiteral("sampleRate=%1").arg(p.sampleRate) << QStringLiteral("chNumRx=%1").arg(p.chNum)
      << QStringLiteral("chNumTx=%1").arg(p.chNum) << QStringLiteral("bindIp=%1").arg(Ip_toDotted(p.ip))
      << QStringLiteral("domain=%1").arg(p.domain) << QStringLiteral("payloadType=96")
      << QStringLiteral("model=rEduVuzi") << QStringLiteral("devId=%1").arg(p.devId)
      << QStringLiteral("filePath=%1").arg(QLatin1String(kRouteFilePath));
    if (p.chMax < 3)
        a << QStringLiteral("noMcastTx") << QStringLiteral("noMcastRx");
    else if (p.bufMs < 2)
        a << QStringLiteral("noMcastRx");
    a << QStringLiteral("bufMs=%1").arg(p.bufMs);
    return a;
}

quint64 ClockId_fromMac(const QString& mac) {
    QString t = mac;
    t.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
    if (t.size() == 12)
        t.insert(6, QLatin1String("FEFF"));
    if (t.size() != 16)
        return 0;
    // m0 m1 m2 FE FF m3 m4 m5 -> m5 m4 m3 FE FF m2 m1 m0: the reply prints the least
    // significant octet first.
    const QString r = t.mid(14, 2) + t.mid(12, 2) + t.mid(10, 2) + t.mid(6, 4) + t.mid(4, 2) + t.mid(2, 2) +
                      t.mid(0, 2);
    bool ok = false;
    const quint64 v = r.toULongLong(&ok, 16);
    return ok ? v : 0;
}

QString ClockId_format(quint64 id) {
    QStringList o;
    for (int i = 0; i < 8; ++i)
        o << QStringLiteral("%1").arg((id >> (8 * i)) & 0xff, 2, 16, QLatin1Char('0'));
    return o.join(QLatin1Char('-')).toLower();
}

QByteArray ClockId_reply(quint64 gm, quint64 mine) {
    return QStringLiteral("gmClkId=%1 myClkId=%2").arg(ClockId_format(gm), ClockId_format(mine)).toUtf8();
}

int ChText_count(const QString& text) {
    static const QRegularExpression rx(QStringLiteral("^\\s*(\\d+)"));
    const auto m = rx.match(text);
    return m.hasMatch() ? m.captured(1).left(6).toInt() : 0;
}

QStringList ChList_build(int chMax) {
    QStringList l{QStringLiteral("2x2")};
    const int steps[][2] = {{2, 4}, {4, 8}, {8, 16}, {16, 32}, {32, 48}, {48, 64}};
    for (const auto& s : steps)
        if (chMax > s[0])
            l << QStringLiteral("%1x%1").arg(s[1]);
    return l;
}

StartRefusal Start_check(const QString& devId, int adapterIndex, int adapterCount, qint64 now, qint64 nextStart,
                         int chNum, qint64* waitSeconds) {
    if (devId.isEmpty())
        return StartNoDevId;
    if (adapterIndex < 0 || adapterIndex >= adapterCount)
        return StartNoAdapter;
    if (now < nextStart) {
        if (waitSeconds)
            *waitSeconds = nextStart - now;
        return StartTooEarly;
    }
    // Before the engine has reported its channels the list holds no count: a card
    // without channels is not started.
    if (chNum < 1)
        return StartNoChannels;
    return StartOk;
}
