// Start at log-on: a scheduled task made with the schtasks tool, and the migration from
// the older Run-key value.
#pragma once
#include <QString>
#include <QStringList>

struct AutoStartEnv {
    QString schtasks;   // the scheduled-task tool
    QString exePath;    // this program, native separators
    QString taskName;   // base name + "_AutoStart"
    int startMs = 3000; // the tool's start and finish time-outs
    int finishMs = 15000;
};
// The environment of this running program (the tool beside it).
AutoStartEnv AutoStart_env();

// Runs the tool; exit code 0 is success, otherwise *err gets its output.
bool Schtasks_run(const AutoStartEnv& env, const QStringList& args, QString* err);
bool AutoStart_set(const AutoStartEnv& env, bool enable, QString* err = nullptr);
// autoStart: the "autoStart" setting. Returns true when nothing needed doing or the task
// was made.
bool AutoStart_migrate(const AutoStartEnv& env, const QString& autoStart, QStringList* log = nullptr);

// The Run key of the current user: names of the values that start exePath.
QStringList RunKey_valuesOf(const QString& exePath);
void RunKey_removeValuesOf(const QString& exePath);
