// The control panel's readers of its files and of its tools' output: appConfig.txt,
// UserSettings.ini values, the _devId file, the route file's name (and its repair),
// VelunorCore's "key":"value" output and VelunorCh's lines. The first byte picks the
// reader. Whatever the bytes, the
// results stay in range: list indexes inside their lists, the domain 0..127, a devId the
// route service can carry, and a repaired route file that still parses.
#include "panel/core/appconfig.h"
#include "panel/core/corectl.h"
#include "panel/core/endpointctl.h"
#include "panel/core/routeargs.h"
#include "panel/core/routefile.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

static QTemporaryDir* s_dir;
static int s_seq;

static QString fileWith(const char* name, const uint8_t* data, size_t size) {
    const QString path = s_dir->path() + QStringLiteral("/%1-%2").arg(name).arg(++s_seq);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        std::abort();
    f.write(reinterpret_cast<const char*>(data), qint64(size));
    return path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    s_dir = new QTemporaryDir;
    std::atexit([] { delete s_dir; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t pick = data[0] % 4;
    ++data;
    --size;
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    switch (pick) {
    case 0: {
        AppConfig c;
        AppConfig_parse(bytes, c, nullptr);
        const QString path = fileWith("appConfig", data, size);
        AppConfig_load(path, c, nullptr);
        QFile::remove(path);
        break;
    }
    case 1: {
        const QString ini = fileWith("settings", data, size), devId = ini + QLatin1String("-devId");
        {
            QSettings s(ini, QSettings::IniFormat);
            for (int chMax : {2, 64}) {
                const Choices c = Choices_fromSettings(s, chMax);
                if (c.chIndex < 0 || c.chIndex >= c.channels.size() || c.rateIndex < 0 || c.rateIndex > 2 ||
                    c.audioType < 0 || c.audioType > 5)
                    std::abort();
            }
            const int d = Settings_domain(s);
            if (d < 0 || d > 127)
                std::abort();
            // The same bytes as a _devId file beside the settings.
            QFile::copy(ini, devId);
            const DevIdResult r = DevId_settle(s, devId, "machine");
            if (!DevId_valid(r.devId) || (r.cfgVersion != 1 && r.cfgVersion != 2))
                std::abort();
        }
        QFile::remove(ini);
        QFile::remove(devId);
        break;
    }
    case 2: {
        const QString path = fileWith("route", data, size);
        RouteFile_deviceName(path, QStringLiteral("host"));
        if (RouteFile_repairName(path, QStringLiteral("host"), nullptr, nullptr) == RepairOk) {
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly) || !QJsonDocument::fromJson(f.readAll()).isObject() ||
                RouteFile_deviceName(path, QStringLiteral("x")) != QLatin1String("vsc-host"))
                std::abort();
        }
        QFile::remove(path);
        break;
    }
    default: {
        const QByteArray out = bytes.left(kCoreOutMax - 1);
        for (const char* key : {"status", "phyRx", "sampleRate", "name"}) {
            Core_valueInt(out, key);
            Ip_fromDotted(Core_value(out, key));
        }
        ClockId_fromMac(QString::fromUtf8(bytes));
        ChText_count(QString::fromUtf8(bytes));
        // The same bytes as VelunorCh's output: a verdict, and a reason whenever it fails.
        for (bool disable : {false, true})
            for (int expected : {0, 2, 16}) {
                const ToolResult r = VelunorCh_parse(QString::fromLocal8Bit(bytes), disable, expected);
                if (r.success == !r.message.isEmpty() || (r.partial && r.success))
                    std::abort();
            }
        break;
    }
    }
    return 0;
}
