#include "panel/core/routefile.h"

#include "panel/core/appconfig.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

static bool readBounded(QFile& f, QByteArray* out) {
    if (!f.open(QIODevice::ReadOnly))
        return false;
    *out = f.read(kRouteFileMaxBytes);
    return true;
}

QString RouteFile_deviceName(const QString& path, const QString& hostName) {
    QFile f(path);
    if (f.exists()) {
        QByteArray text;
        if (!readBounded(f, &text))
            return QStringLiteral("ErrName2");
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(text, &err);
        if (err.error != QJsonParseError::NoError || !doc.isObject())
            return QStringLiteral("ErrName1");
        return doc.object().value(QStringLiteral("name")).toString();
    }
    QJsonObject o;
    o.insert(QStringLiteral("name"), QStringLiteral("vsc-") + hostName);
    if (!File_writeAtomic(path, QJsonDocument(o).toJson(QJsonDocument::Indented)))
        return QStringLiteral("ErrName3");
    return QString();
}

RepairResult RouteFile_repairName(const QString& path, const QString& hostName, QString* oldText, QString* newText) {
    QFile f(path);
    if (!f.exists())
        return RepairNoFile;
    QByteArray text;
    if (!readBounded(f, &text))
        return RepairParseError;
    if (oldText)
        *oldText = QString::fromUtf8(text);
    QJsonParseError err;
    QJsonDocument doc = QJsonDocument::fromJson(text, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return RepairParseError;
    QJsonObject o = doc.object();
    o.insert(QStringLiteral("name"), QStringLiteral("vsc-") + hostName);
    const QByteArray out = QJsonDocument(o).toJson(QJsonDocument::Indented);
    if (newText)
        *newText = QString::fromUtf8(out);
    return File_writeAtomic(path, out) ? RepairOk : RepairWriteError;
}
