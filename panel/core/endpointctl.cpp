#include "panel/core/endpointctl.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>

#include "platform/endpoints.h"

namespace {

QString now() { return QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")); }

// A number after key: the text after its first occurrence starts with one.
bool numberAfter(const QString& line, const QString& key, int* value) {
    const int at = line.indexOf(key);
    if (at < 0) return false;
    static const QRegularExpression kNum(QStringLiteral("^\\s*(-?\\d+)"));
    const QRegularExpressionMatch m = kNum.match(line.mid(at + key.size()));
    if (!m.hasMatch()) return false;
    bool ok = false;
    *value = m.captured(1).toInt(&ok);
    return ok;
}

}  // namespace

int Endpoint_count(const QString& state) {
    QElapsedTimer t;
    t.start();
    static EndpointRecord list[256];
    const int total = std::min(Endpoint_list(list, 256), 256);
    const QByteArray want = state.toLatin1();
    int counted = 0;
    for (int i = 0; i < total; ++i) {
        if (want != list[i].state) continue;
        const QString joined = QStringList{QString::fromUtf8(list[i].id), QString::fromUtf8(list[i].name)}.join(
            QStringLiteral(" | "));
        if (joined.contains(QStringLiteral("VelunorAudio"), Qt::CaseInsensitive)) ++counted;
    }
    const qint64 ms = t.elapsed();
    if (ms <= 299)
        qDebug() << "audio endpoint state count" << "state:" << state << "enumeratedEndpoints:" << total
                 << "targetEndpoints:" << counted << "count:" << counted << "elapsedMs:" << ms;
    else
        qWarning() << "audio endpoint state count" << "state:" << state << "enumeratedEndpoints:" << total
                   << "targetEndpoints:" << counted << "count:" << counted << "elapsedMs:" << ms;
    return counted;
}

bool runAppLocalTool(const QString& dir, const QString& program, const QStringList& args, int timeoutMs,
                     QString* output, const std::function<void()>& chunk) {
    const QString path = QDir(dir).filePath(program);
    qDebug() << "runAppLocalTool start" << now() << path << args << "timeoutMs:" << timeoutMs;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(path, args);
    if (!p.waitForStarted(30000)) {
        qWarning() << "runAppLocalTool start failed" << now() << path;
        return false;
    }
    QElapsedTimer t;
    t.start();
    QString out;
    for (;;) {
        if (p.state() == QProcess::NotRunning) {
            out += QString::fromLocal8Bit(p.readAll());
            const bool ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
            qDebug().noquote() << "runAppLocalTool finished" << now() << path << "success:" << ok
                               << "exitStatus:" << int(p.exitStatus()) << "exitCode:" << p.exitCode()
                               << "\noutput:\n" + out;
            if (output) *output = out;
            return ok;
        }
        const qint64 remaining = timeoutMs - t.elapsed();
        if (remaining <= 0) {
            p.kill();
            p.waitForFinished(1000);
            out += QString::fromLocal8Bit(p.readAll());
            qWarning().noquote() << "runAppLocalTool timeout" << path << args.join(QLatin1Char(' '))
                                 << "\noutput:\n" + out;
            if (output) *output = out;
            return false;
        }
        p.waitForReadyRead(int(std::min<qint64>(remaining, 100)));
        const QByteArray piece = p.readAll();
        if (!piece.isEmpty()) {
            out += QString::fromLocal8Bit(piece);
            qDebug() << "runAppLocalTool output chunk" << now() << "bytes:" << piece.size();
            if (chunk) chunk();
        }
        QCoreApplication::processEvents();
    }
}

ToolResult VelunorCh_parse(const QString& output, bool disable, int expected) {
    static const QRegularExpression kBreaks(QStringLiteral("[\\r\\n]+"));
    const QStringList lines = output.split(kBreaks, Qt::SkipEmptyParts);
    QStringList errors;
    int endpointResults = 0, rateResults = 0, rateSummaries = 0, changed = -1, listed = 0;
    for (QString line : lines) {
        line = line.trimmed();
        if (line.startsWith(QStringLiteral("Audio Device")) && line.contains(QStringLiteral("VelunorAudio"))) ++listed;
        int v = 0;
        if (line.startsWith(disable ? QStringLiteral("SetInvisible") : QStringLiteral("SetVisible")) &&
            numberAfter(line, QStringLiteral("result:"), &v)) {
            ++endpointResults;
            if (v != 0) errors << line;
            continue;
        }
        if (!disable) {
            if (line.startsWith(QStringLiteral("SetSampleRate")) && numberAfter(line, QStringLiteral("result:"), &v)) {
                ++rateResults;
                if (v != 0) errors << line;
                continue;
            }
            if (line.startsWith(QStringLiteral("=== SetSampleRate")) && numberAfter(line, QStringLiteral("res="), &v)) {
                ++rateSummaries;
                if (v != 0) errors << line;
                continue;
            }
        }
        if (line.startsWith(QStringLiteral("Change Velu Device Count")) &&
            numberAfter(line, QStringLiteral("Change Velu Device Count"), &v))
            changed = v;
    }
    ToolResult r;
    r.changed = changed >= 0 ? changed : listed;
    if (!errors.isEmpty()) {
        r.message = errors.join(QStringLiteral("; "));
        return r;
    }
    if (!disable && expected > 0 && changed < 0) {
        r.message = endpointResults == 0                    ? QStringLiteral("missing endpoint result")
                    : (rateSummaries == 0 || rateResults == 0) ? QStringLiteral("missing sample rate result")
                                                               : QStringLiteral("missing changed device count");
        return r;
    }
    if (!disable && expected > 0 && changed < expected) {
        r.partial = true;
        r.message = QStringLiteral("changed device count below expected expected=%1 actual=%2").arg(expected).arg(changed);
        return r;
    }
    if (endpointResults == 0) r.message = QStringLiteral("missing endpoint result");
    else if (!disable && (rateResults == 0 || rateSummaries == 0)) r.message = QStringLiteral("missing sample rate result");
    else if (r.changed > 0) r.success = true;
    else r.message = QStringLiteral("missing changed device count");
    return r;
}

ToolResult VelunorCh_run(const QString& dir, bool disable, int sampleRate, int expected,
                         const std::function<void(int)>& progress, int timeoutMs) {
    const QStringList args{disable ? QStringLiteral("-veluDisable")
                                   : QStringLiteral("-veluEnable%1").arg(sampleRate / 1000)};
    QElapsedTimer since;
    since.start();
    qint64 lastCount = -1000000;
    int last = -1;
    auto chunk = [&] {
        if (!progress || expected <= 0 || since.elapsed() - lastCount < 2000) return;
        lastCount = since.elapsed();
        const int n = std::clamp(Endpoint_count(disable ? QStringLiteral("DISABLED") : QStringLiteral("ACTIVE")), 0,
                                 expected);
        if (n != last) progress(n);
        last = n;
    };
    QString out;
    if (!runAppLocalTool(dir, QStringLiteral("VelunorCh"), args, timeoutMs, &out, chunk)) {
        ToolResult r;
        r.message = QStringLiteral("process failed");
        return r;
    }
    return VelunorCh_parse(out, disable, expected);
}

static void devcon(const QString& dir, const char* verb, const char* logText) {
    QElapsedTimer t;
    t.start();
    runAppLocalTool(dir, QStringLiteral("driver/devcon"), {QString::fromLatin1(verb), QStringLiteral("Root\\VelunorAudio")},
                    20000, nullptr);
    qDebug() << logText << t.elapsed() / 1000.0;
}
void Driver_disable(const QString& dir) { devcon(dir, "disable", "audioDisableDriver use time "); }
void Driver_enable(const QString& dir) { devcon(dir, "enable", "audioEnableDriver use time "); }

// ---- the enable worker ----

AudioEnableEndpointWorker::AudioEnableEndpointWorker(const QString& dir, int channels, int sampleRate,
                                                     std::atomic<int>* startState, QObject* parent)
    : QThread(parent), dir_(dir), expected_(channels), sampleRate_(sampleRate), startState_(startState) {}

int AudioEnableEndpointWorker::firstWaitSeconds(int expected) { return expected > 8 ? (expected < 33 ? 10 : 15) : 5; }

int AudioEnableEndpointWorker::detect() {
    detected_ = std::clamp(Endpoint_count(QStringLiteral("ACTIVE")), 0, expected_);
    maxDetected_ = std::max(maxDetected_, detected_);
    return detected_;
}

void AudioEnableEndpointWorker::finish(const QString& message) {
    msleep(1000);
    if (running()) emit signalEndpointFinished(true, true, message);
    qDebug() << "thread AudioEnableEndpointWorker quit " << QDateTime::currentMSecsSinceEpoch() / 1000;
}

void AudioEnableEndpointWorker::run() {
    qDebug() << "thread AudioEnableEndpointWorker run " << QDateTime::currentMSecsSinceEpoch() / 1000 << "startState"
             << startState_->load() << "channelCount:" << expected_ << "sampleRate:" << sampleRate_;
    const int wait0 = firstWaitSeconds(expected_);
    if (detect() >= expected_) {
        finish(QString());
        return;
    }
    QString lastMessage;
    for (int attempt = 0; attempt <= 10 && running(); ++attempt) {
        const int waitS = attempt == 0 ? wait0 : 5;
        qDebug() << "audio endpoint enable attempt" << attempt + 1 << "of" << 11 << "waitSeconds:" << waitS
                 << "expectedCount:" << expected_ << "detectedActiveCount:" << detected_;
        for (int step = 0; step < waitS && running(); ++step) {
            if (attempt == 0) emit signalEndpointWaiting(true, waitS - step, 0, 10);
            if (step == 0 || step % 2 == 0 || step == waitS - 1) {
                if (detect() >= expected_) {
                    finish(lastMessage);
                    return;
                }
            }
            msleep(stepMs);
        }
        if (!running()) break;
        emit signalEndpointProgress(true, detected_);
        const ToolResult r = VelunorCh_run(dir_, false, sampleRate_, expected_, [this](int n) {
            n = std::min(n, expected_);
            maxDetected_ = std::max(maxDetected_, n);
            emit signalEndpointProgress(true, n);
        }, toolTimeoutMs);
        lastMessage = r.message;
        detect();
        emit signalEndpointProgress(true, detected_);
        qDebug() << "audio endpoint enable attempt result" << attempt + 1 << "singleSuccess:" << r.success
                 << "changedCount:" << r.changed << "targetCount:" << expected_ << "detectedActiveCount:" << detected_
                 << "maxDetectedActiveCount:" << maxDetected_ << "endpointStateSuccess:" << (detected_ >= expected_)
                 << "singleMessage:" << r.message;
        if (detected_ >= expected_) {
            finish(r.message);
            return;
        }
    }
    if (running()) {
        detect();
        qWarning() << "audio endpoint enable continuing after retries" << "expectedCount:" << expected_
                   << "detectedActiveCount:" << detected_ << "maxDetectedActiveCount:" << maxDetected_
                   << "lastMessage:" << lastMessage;
        emit signalEndpointProgress(true, detected_);
        finish(lastMessage);
    } else {
        qDebug() << "startState " << startState_->load();
    }
}
