#include "panel/core/appconfig.h"

#include "panel/core/routeargs.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cmath>

void AppConfig_parse(const QByteArray& text, AppConfig& cfg, QStringList* log) {
    const QString all = QString::fromUtf8(text);
    for (const QString& line : all.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (log)
            log->append(QStringLiteral("Key: %1 Value: %2").arg(key, value));
        if (key == QLatin1String("titleName"))
            cfg.titleName = value;
        else if (key == QLatin1String("CanSwitchLanguage"))
            cfg.canSwitchLanguage = value != QLatin1String("0");
    }
}

void AppConfig_load(const QString& path, AppConfig& cfg, QStringList* log) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return;
    AppConfig_parse(f.read(kAppConfigMaxBytes), cfg, log);
}

static double nearestTenth(double v) { return std::floor(v * 10.0 + 0.5) / 10.0; }

DisplayScale DisplayScale_compute(int physW, int physH, int logW, int logH) {
    DisplayScale d;
    if (physW <= 0 || physH <= 0 || logW <= 0 || logH <= 0)
        return d;
    int xPix = physW;
    int cx = logW, cy = logH;
    d.winScal = double(physW) / cx;
    // Wider than 16:9: the layout is made for 16:9, so the width that counts is the
    // height's 16:9 width.
    if (qint64(cx) * 9 > qint64(cy) * 16) {
        xPix = int(qint64(physH) * 16 / 9);
        cx = int(qint64(cy) * 16 / 9);
    }
    d.cx = cx;
    d.cy = cy;
    d.adjScale = nearestTenth(xPix / 1920.0);
    d.adjFontScale = nearestTenth(xPix / 1920.0 / d.winScal);
    return d;
}

static int intSetting(const QSettings& s, const char* key, int def, int lo, int hi) {
    bool ok = false;
    const int v = s.value(QLatin1String(key), def).toString().trimmed().toInt(&ok);
    if (!ok || v < lo || v > hi)
        return def;
    return v;
}

int Settings_audioType(const QSettings& s) { return intSetting(s, "audioType", 0, 0, 5); }
int Settings_domain(const QSettings& s) { return intSetting(s, "domain", 0, 0, 127); }
int Settings_chnum(const QSettings& s, int entries) { return intSetting(s, "chnum", -1, -1, entries - 1); }

int Settings_samplerateIndex(const QSettings& s) {
    const int rate = s.value(QStringLiteral("samplerate"), 48000).toString().trimmed().toInt();
    return rate == 192000 ? 2 : rate == 96000 ? 1 : 0;
}

bool DevId_valid(const QString& id) {
    const QByteArray u = id.toUtf8();
    if (u.isEmpty() || u.size() > 63)
        return false;
    for (char c : u)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

QString DevId_fromMachineId(const QByteArray& machineId) {
    const QByteArray hex = QCryptographicHash::hash(machineId.left(511), QCryptographicHash::Md5).toHex();
    bool ok = false;
    uint v = hex.left(8).toUInt(&ok, 16);
    if (!ok)
        v = 0;
    return QStringLiteral("rEduVuzi-%1").arg(v, 8, 16, QLatin1Char('0'));
}

QByteArray DevId_machineId() {
    for (const char* p : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        QFile f{QString::fromLatin1(p)};
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray id = f.read(511).trimmed();
            if (!id.isEmpty())
                return id;
        }
    }
    return QByteArray();
}

bool File_writeAtomic(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    if (f.write(data) != data.size()) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

DevIdResult DevId_settle(QSettings& s, const QString& devIdPath, const QByteArray& machineId) {
    DevIdResult r;
    const int chnum = s.value(QStringLiteral("chnum"), -1).toInt();
    const QString stored = s.value(QStringLiteral("cfgVersion")).toString();
    if (!stored.isEmpty())
        r.cfgVersion = stored.toInt() == 2 ? 2 : 1;
    else
        r.cfgVersion = chnum >= 0 ? 1 : 2;
    s.setValue(QStringLiteral("cfgVersion"), QString::number(r.cfgVersion));

    // Only a small file can hold an identity; a damaged or oversized one is passed over
    // and rewritten from the settings, so that neither copy is lost.
    QFile f(devIdPath);
    QString fromFile;
    if (f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (f.size() <= 4096)
            fromFile = QString::fromUtf8(f.read(4096)).trimmed();
        if (!DevId_valid(fromFile)) {
            r.log << QStringLiteral("file=appconfig func=DevId_settle line=%1 \n").arg(__LINE__);
            fromFile.clear();
        }
    }
    const QString fromSettings = s.value(QStringLiteral("devId")).toString().trimmed();
    if (!fromFile.isEmpty()) {
        r.devId = fromFile;
        s.setValue(QStringLiteral("devId"), r.devId);
    } else if (DevId_valid(fromSettings)) {
        r.devId = fromSettings;
        File_writeAtomic(devIdPath, r.devId.toUtf8());
    } else {
        r.devId = DevId_fromMachineId(machineId);
        s.setValue(QStringLiteral("devId"), r.devId);
        File_writeAtomic(devIdPath, r.devId.toUtf8());
    }
    s.sync();
    r.log << QStringLiteral("***************** devId=%1, version=%2").arg(r.devId).arg(r.cfgVersion);
    return r;
}

Choices Choices_fromSettings(const QSettings& s, int chMax) {
    Choices c;
    c.channels = ChList_build(chMax);
    const int ch = Settings_chnum(s, c.channels.size());
    c.chIndex = ch < 0 ? c.channels.size() - 1 : ch;
    c.rateIndex = Settings_samplerateIndex(s);
    c.audioType = Settings_audioType(s);
    return c;
}
