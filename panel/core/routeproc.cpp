#include "panel/core/routeproc.h"

#include "platform/process.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

RouteProcess::RouteProcess(QObject* parent) : QProcess(parent), parentPid_(getpid()) {
    // Installed, the route service has file capabilities, and their exec clears the
    // death signal set below: the service sets it again itself when it sees this word.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral(PROCESS_PARENT_ENV), QString::number(parentPid_));
    setProcessEnvironment(env);
}

void RouteProcess::setupChildProcess() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The panel may have died between fork and prctl: then nobody would kill us.
    if (getppid() != parentPid_)
        _exit(1);
}

QString RoutePath_normalise(const QString& path) {
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toLower();
}

static QString exeOf(const QString& pid) {
    QString p = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    if (p.endsWith(QLatin1String(" (deleted)")))
        p.chop(10);
    return p;
}

// Parent pid and state from /proc/PID/stat ("pid (comm) S ppid ..."; comm may hold spaces).
static bool statOf(const QString& pid, qint64* ppid, char* state) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray s = f.read(4096);
    const int close = s.lastIndexOf(')');
    if (close < 0)
        return false;
    const QList<QByteArray> rest = s.mid(close + 2).split(' ');
    if (rest.size() < 2)
        return false;
    *state = rest[0].isEmpty() ? '?' : rest[0][0];
    *ppid = rest[1].toLongLong();
    return true;
}

static bool gone(const QString& pid) {
    qint64 ppid;
    char st;
    return !statOf(pid, &ppid, &st) || st == 'Z' || st == 'X';
}

QStringList StaleRoute_cleanup(const QString& routeExeNormalised, const QString& panelExeName) {
    QStringList log;
    const QString routeName = QFileInfo(routeExeNormalised).fileName();
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : pids) {
        bool num = false;
        const qint64 id = pid.toLongLong(&num);
        if (!num || id == getpid())
            continue;
        const QString exe = exeOf(pid);
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        const QString commName = comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.read(64)).trimmed() : QString();
        const QString name = exe.isEmpty() ? commName : QFileInfo(exe).fileName();
        if (name.toLower() != routeName)
            continue;
        if (exe.isEmpty()) {
            log << QStringLiteral("skip route process without image path pid: %1").arg(pid);
            continue;
        }
        if (RoutePath_normalise(exe) != routeExeNormalised) {
            log << QStringLiteral("skip route process from another path pid: %1 path: %2").arg(pid, exe);
            continue;
        }
        qint64 ppid = 0;
        char st = '?';
        if (!statOf(pid, &ppid, &st) || st == 'Z')
            continue;
        // A service whose panel died was re-parented (to init or a subreaper): only a
        // live control panel as its parent means it belongs to someone.
        const QString parent = QString::number(ppid);
        if (ppid > 1 && !gone(parent) && QFileInfo(exeOf(parent)).fileName() == panelExeName) {
            log << QStringLiteral("skip route process with live parent pid: %1 parentPid: %2 path: %3")
                       .arg(pid, parent, exe);
            continue;
        }
        if (::kill(pid_t(id), SIGKILL) != 0) {
            log << QStringLiteral("terminate stale route process failed pid: %1 path: %2 error: %3")
                       .arg(pid, exe)
                       .arg(errno);
            continue;
        }
        QElapsedTimer t;
        t.start();
        while (!gone(pid) && t.elapsed() < 3000)
            QThread::msleep(10);
        log << QStringLiteral("terminated stale route process pid: %1 path: %2").arg(pid, exe);
    }
    return log;
}

RouteSupervisor::RouteSupervisor(const QString& program) : program_(program), proc_(new RouteProcess) {
    // The service's console output is not read: forwarded to the panel's own output it
    // neither piles up in the panel nor blocks the service.
    proc_->setProcessChannelMode(QProcess::ForwardedChannels);
    proc_->setStandardInputFile(QProcess::nullDevice());
}

RouteSupervisor::~RouteSupervisor() {
    stop();
    delete proc_;
}

bool RouteSupervisor::start(const QStringList& args, int startMs) {
    if (proc_->state() != QProcess::NotRunning)
        stop();
    proc_->start(program_, args, QIODevice::ReadWrite);
    return proc_->waitForStarted(startMs);
}

void RouteSupervisor::stop(int waitMs) {
    if (proc_->state() != QProcess::Running)
        return;
    proc_->terminate();
    if (proc_->waitForFinished(waitMs))
        return;
    qWarning() << "route process close timeout, terminate process";
    proc_->kill();
    if (proc_->waitForFinished(waitMs))
        return;
    qWarning() << "route process terminate timeout, kill process";
    proc_->kill();
    proc_->waitForFinished(waitMs);
}
