#include "panel/core/autostart.h"

#include "platform/registry.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

static const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

AutoStartEnv AutoStart_env() {
    AutoStartEnv e;
    const QString dir = QCoreApplication::applicationDirPath();
    e.schtasks = dir + QLatin1String("/schtasks");
    e.exePath = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
    e.taskName = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() + QLatin1String("_AutoStart");
    return e;
}

bool Schtasks_run(const AutoStartEnv& env, const QStringList& args, QString* err) {
    QProcess p;
    p.start(env.schtasks, args);
    if (!p.waitForStarted(env.startMs)) {
        if (err)
            *err = QStringLiteral("schtasks start failed");
        return false;
    }
    if (!p.waitForFinished(env.finishMs)) {
        p.kill();
        p.waitForFinished(1000);
        if (err)
            *err = QStringLiteral("schtasks timeout");
        return false;
    }
    if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    if (err)
        *err = QString::fromLocal8Bit(p.readAllStandardOutput()) + QString::fromLocal8Bit(p.readAllStandardError());
    return false;
}

static QStringList createArgs(const AutoStartEnv& env) {
    return {QStringLiteral("/Create"), QStringLiteral("/TN"), env.taskName, QStringLiteral("/TR"),
            QLatin1Char('"') + env.exePath + QLatin1Char('"'), QStringLiteral("/SC"), QStringLiteral("ONLOGON"),
            QStringLiteral("/RL"), QStringLiteral("HIGHEST"), QStringLiteral("/F")};
}

static QStringList deleteArgs(const AutoStartEnv& env) {
    return {QStringLiteral("/Delete"), QStringLiteral("/TN"), env.taskName, QStringLiteral("/F")};
}

bool AutoStart_set(const AutoStartEnv& env, bool enable, QString* err) {
    QString e;
    if (enable) {
        const bool ok = Schtasks_run(env, createArgs(env), &e);
        if (ok)
            RunKey_removeValuesOf(env.exePath);
        else
            qWarning() << "setAutoStart create task failed:" << e;
        if (err)
            *err = e;
        return ok;
    }
    Schtasks_run(env, deleteArgs(env), &e);
    RunKey_removeValuesOf(env.exePath);
    return true;
}

bool AutoStart_migrate(const AutoStartEnv& env, const QString& autoStart, QStringList* log) {
    if (RunKey_valuesOf(env.exePath).isEmpty())
        return true;
    QString e;
    if (autoStart != QLatin1String("1")) {
        Schtasks_run(env, deleteArgs(env), &e);
        RunKey_removeValuesOf(env.exePath);
        return true;
    }
    if (!Schtasks_run(env, createArgs(env), &e)) {
        qWarning() << "migrateAutoStart: task creation failed, keep legacy Run:" << e;
        if (log)
            *log << QStringLiteral("migrateAutoStart: task creation failed, keep legacy Run: ") + e;
        return false;
    }
    RunKey_removeValuesOf(env.exePath);
    qDebug() << "migrateAutoStart: migrated Run -> TaskScheduler";
    if (log)
        *log << QStringLiteral("migrateAutoStart: migrated Run -> TaskScheduler");
    return true;
}

QStringList RunKey_valuesOf(const QString& exePath) {
    QStringList names;
    RegKey key;
    if (Registry_openKey(REG_HKCU, kRunKey, &key) != REG_OK)
        return names;
    const QString want = exePath.toLower();
    char name[512];
    for (int i = 0; Registry_enumValue(&key, i, name, sizeof name) == REG_OK; ++i) {
        char data[4096];
        size_t len = 0;
        if (Registry_getString(&key, name, data, sizeof data, &len) != REG_OK)
            continue;
        QString v = QString::fromUtf8(data);
        v.remove(QLatin1Char('"'));
        if (v.toLower().contains(want))
            names << QString::fromUtf8(name);
    }
    return names;
}

void RunKey_removeValuesOf(const QString& exePath) {
    RegKey key;
    if (Registry_openKey(REG_HKCU, kRunKey, &key) != REG_OK)
        return;
    for (const QString& n : RunKey_valuesOf(exePath))
        Registry_deleteValue(&key, n.toUtf8().constData());
}
