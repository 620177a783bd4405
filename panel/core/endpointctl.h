// The card's audio endpoints and its driver, from the panel: counting endpoints in the
// endpoint registry, running the tools beside the panel (VelunorCh, driver/devcon), and
// the worker that makes sure the endpoints are up after a start in "WDM" mode.
#pragma once
#include <atomic>
#include <QString>
#include <QStringList>
#include <QThread>
#include <functional>

// This card's endpoints in a state ("ACTIVE" or "DISABLED"), render and capture together.
int Endpoint_count(const QString& state);

// Runs dir/program with arguments, output and errors merged; true when it ran to a normal
// exit with code 0 within timeoutMs. Events of the calling thread are processed while it
// waits, and chunk (may be empty) is called after each piece of output.
bool runAppLocalTool(const QString& dir, const QString& program, const QStringList& args, int timeoutMs,
                     QString* output, const std::function<void()>& chunk = {});

struct ToolResult {
    bool success = false;
    bool partial = false;
    int changed = 0;
    QString message;
};

// Reads VelunorCh's output as the panel does.
ToolResult VelunorCh_parse(const QString& output, bool disable, int expected);
// One VelunorCh run: -veluEnable<kHz> or -veluDisable, 60 s at most. progress (may be
// empty) gets the endpoints counted in the wanted state, at most every 2 s.
ToolResult VelunorCh_run(const QString& dir, bool disable, int sampleRate, int expected,
                         const std::function<void(int)>& progress = {}, int timeoutMs = 60000);

// devcon disable / enable Root\VelunorAudio (20 s at most; the result is not used).
void Driver_disable(const QString& dir);
void Driver_enable(const QString& dir);

// After a start in "WDM" mode: waits for the endpoints to come up, and switches them on
// with VelunorCh when they do not, in up to 11 attempts, while startState stays 2.
class AudioEnableEndpointWorker : public QThread {
    Q_OBJECT
public:
    AudioEnableEndpointWorker(const QString& dir, int channels, int sampleRate, std::atomic<int>* startState,
                              QObject* parent = nullptr);
    // Waits of the first attempt, by channel count: 5 s, 10 s from 9, 15 s from 33.
    static int firstWaitSeconds(int expected);
    // Seconds per wait step (tests shorten it).
    int stepMs = 1000;
    int toolTimeoutMs = 60000; // a VelunorCh run that takes longer is killed and counts as failed

signals:
    void signalEndpointWaiting(bool isEnable, int seconds, int retryIndex, int retryCount);
    void signalEndpointProgress(bool isEnable, int count);
    void signalEndpointFinished(bool isEnable, bool success, const QString& message);

protected:
    void run() override;

private:
    int detect();
    bool running() const { return startState_->load() == 2; }
    void finish(const QString& message);
    QString dir_;
    int expected_, sampleRate_;
    std::atomic<int>* startState_;
    int detected_ = 0, maxDetected_ = 0;
};
