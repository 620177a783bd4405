// The route service's command line, the clock identity of the UDP query service,
// and the dotted-address helpers the window uses.
#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

constexpr const char* kRouteFilePath = "C:/ProgramData/VelunorNetSndCard/_route";

struct RouteParams {
    int sampleRate = 48000;
    int chNum = 2;
    quint32 ip = 0; // host order
    int domain = 0;
    QString devId;
    int chMax = 2; // the largest channel count the driver reported
    int bufMs = 0; // 0 = WDM
};

QString Ip_toDotted(quint32 ip);
// "a.b.c.d" -> (a << 24) | (b << 16) | (c << 8) | d; 0 when the text is not four numbers.
quint32 Ip_fromDotted(const QString& s);

// VelunorRoute's arguments, in the order the service's parsers expect.
QStringList RouteArgs_build(const RouteParams& p);

// EUI-64 clock identity from a MAC text ("00:1A:2B:3C:4D:5E"); 0 unless it gives 12
// hex digits.
quint64 ClockId_fromMac(const QString& mac);
// "m0-m1-...-m7", least significant octet first, lower case.
QString ClockId_format(quint64 id);
// The reply to a "getClkId" query.
QByteArray ClockId_reply(quint64 gm, quint64 mine);

// "2x2" -> 2; 0 when the text does not start with a number.
int ChText_count(const QString& text);
// The channel-count choices for a channel maximum: "2x2", then "4x4" above 2, ... "64x64" above 48.
QStringList ChList_build(int chMax);

// Why the start button refuses a start (checked in this order).
enum StartRefusal { StartOk, StartNoDevId, StartNoAdapter, StartTooEarly, StartNoChannels };
// now / nextStart: seconds since the epoch; *waitSeconds gets the seconds left when too early.
StartRefusal Start_check(const QString& devId, int adapterIndex, int adapterCount, qint64 now, qint64 nextStart,
                         int chNum, qint64* waitSeconds);
