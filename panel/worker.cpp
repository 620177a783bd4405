#include "panel/worker.h"

#include "panel/control.h"
#include "panel/core/appconfig.h"
#include "panel/core/corectl.h"
#include "panel/core/routeargs.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

ControlBlock g_ctl;
KoState g_dev;
std::atomic<quint64> g_myClkId{0};

#define PANEL_FAIL(what) qDebug().noquote() << QStringLiteral("file=%1 func=%2 line=%3 \n").arg("worker", what).arg(__LINE__)

Worker::Worker(const QString& progDir, const QString& dataDir, QObject* parent)
    : QThread(parent), progDir_(progDir), dataDir_(dataDir) {}

bool Worker::core(const QString& cmd, QByteArray* out) { return Core_run(progDir_, cmd, out); }

void Worker::Dev_readKo() {
    QByteArray out;
    g_dev.status = core(QStringLiteral("VelunorCore.exe 11p"), &out) ? Core_valueInt(out, "status") : -1;
    g_dev.phyRx = core(QStringLiteral("VelunorCore.exe 51p"), &out) ? Core_valueInt(out, "phyRx") : -1;
    g_dev.sampleRate = core(QStringLiteral("VelunorCore.exe 53p"), &out) ? Core_valueInt(out, "sampleRate") : -1;
    g_dev.ip = core(QStringLiteral("VelunorCore.exe 4p"), &out) ? Ip_fromDotted(Core_value(out, "name")) : 0;
    if (g_dev.status < 0)
        PANEL_FAIL("Dev_readKo");
}

bool Worker::Dev_writeKo(quint32 ip, int chNum, int rate) {
    QByteArray out;
    core(QStringLiteral("VelunorCore.exe 9"), &out);
    core(QStringLiteral("VelunorCore.exe 5 %1").arg(Ip_toDotted(ip)), &out);
    core(QStringLiteral("VelunorCore.exe 52 %1 %1 0 0").arg(chNum), &out);
    core(QStringLiteral("VelunorCore.exe 54 %1").arg(rate), &out);
    const bool ok = core(QStringLiteral("VelunorCore.exe 56 %1").arg(rate / 1000), &out);
    if (!ok)
        PANEL_FAIL("Dev_writeKo");
    return ok;
}

bool Worker::Dev_start(quint32 ip, int rate) {
    const int oldRate = g_dev.sampleRate;
    Dev_writeKo(ip, g_ctl.routeChNum, rate);
    QByteArray out;
    core(QStringLiteral("VelunorCore.exe 12"), &out);
    core(QStringLiteral("VelunorCore.exe 12"), &out);
    Dev_readKo();
    if (g_dev.status != 2) {
        PANEL_FAIL("Dev_start");
        return false;
    }
    if (g_dev.sampleRate != oldRate) {
        QJsonObject o;
        o.insert(QStringLiteral("ip"), Ip_toDotted(g_dev.ip));
        o.insert(QStringLiteral("sampleRate"), QString::number(g_dev.sampleRate));
        if (!File_writeAtomic(dataDir_ + QLatin1String("/_ko"), QJsonDocument(o).toJson(QJsonDocument::Compact)))
            PANEL_FAIL("Dev_start");
    }
    return true;
}

bool Worker::Dev_stop() {
    QByteArray out;
    core(QStringLiteral("VelunorCore.exe 9"), &out);
    Dev_readKo();
    if (g_dev.status != 0) {
        PANEL_FAIL("Dev_stop");
        return false;
    }
    return true;
}

void Worker::global_start() {
    QDir().mkpath(dataDir_);
    g_dev = KoState();
    quint32 ip = 0;
    int rate = 48000;
    QFile f(dataDir_ + QLatin1String("/_ko"));
    if (f.open(QIODevice::ReadOnly)) {
        const QJsonObject o = QJsonDocument::fromJson(f.read(64 * 1024)).object();
        ip = Ip_fromDotted(o.value(QStringLiteral("ip")).toString());
        const int r = o.value(QStringLiteral("sampleRate")).toString().toInt();
        if (r == 48000 || r == 96000 || r == 192000)
            rate = r;
    }
    Dev_writeKo(ip, 0, rate);
    Dev_readKo();
    g_ctl.routeChNum = g_dev.phyRx;
}

void Worker::run() {
    int passes = 0;
    for (;;) {
        if (g_ctl.quit.load()) {
            emit signal_route_stop();
            return;
        }
        msleep(100);
        if (++passes % 30 == 0)
            emit testUpdateTips();
        switch (g_ctl.command.exchange(CMD_NONE)) {
        case CMD_INIT:
            global_start();
            emit taskFinished(1);
            break;
        case CMD_START:
            // An engine that did not start (its driver host gone) leaves the card with the
            // channels it reports, none when it cannot be reached: the window then stops the
            // card with the start-failure message, and no route service is left looking for
            // a driver that is not there.
            if (g_ctl.bufMs == 0 && !Dev_start(g_ctl.startIp, g_ctl.sampleRate))
                g_ctl.routeChNum = g_dev.phyRx;
            if (g_ctl.routeChNum >= 1) {
                qDebug() << "Worker thread emitting signal_route_start...";
                emit signal_route_start(g_ctl.startIp);
            }
            emit taskFinished(2);
            break;
        case CMD_STOP:
            emit signal_route_stop();
            if (g_ctl.bufMs == 0)
                Dev_stop();
            emit taskFinished(3);
            break;
        case CMD_RESTART:
            emit signal_route_stop();
            if (g_ctl.bufMs == 0) {
                Dev_stop();
                for (int i = 0; i < 50 && !g_ctl.quit.load(); ++i)
                    msleep(100);
                g_ctl.routeChNum = g_ctl.curChNum;
                g_dev.ip = g_ctl.startIp;
                Dev_start(g_ctl.startIp, g_ctl.sampleRate);
            }
            emit signal_route_start(g_ctl.startIp);
            emit taskFinished(4);
            break;
        default:
            break;
        }
    }
}
