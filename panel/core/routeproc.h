// Supervision of the route service: the child dies with the panel, and a service left
// by a dead panel is ended at the next start.
#pragma once
#include <QProcess>
#include <QStringList>

// A QProcess whose child gets SIGKILL when the panel dies (the panel's kill-on-close
// job): a panel killed outright must not leave the sound card on the network.
class RouteProcess : public QProcess {
public:
    explicit RouteProcess(QObject* parent = nullptr);

protected:
    void setupChildProcess() override;

private:
    pid_t parentPid_;
};

// The normalised form of a program path for comparisons (absolute, native, lower case).
QString RoutePath_normalise(const QString& path);

// Ends every process running routeExe (normalised) whose parent is not a live control
// panel (panelExeName: the panel's file name). Returns the log lines.
QStringList StaleRoute_cleanup(const QString& routeExeNormalised, const QString& panelExeName);

// Starts and stops the route service: one process object for every start.
class RouteSupervisor {
public:
    explicit RouteSupervisor(const QString& program);
    ~RouteSupervisor();
    // Stops a running service first; waits up to startMs for the new one to start.
    bool start(const QStringList& args, int startMs = 30000);
    // Asks the service to end (SIGTERM), then ends it (SIGKILL), waiting waitMs after each.
    void stop(int waitMs = 3000);
    bool running() const { return proc_->state() != QProcess::NotRunning; }
    qint64 pid() const { return proc_->processId(); }
    const QString& program() const { return program_; }

private:
    QString program_;
    RouteProcess* proc_;
};
