// The panel's endpoint and driver control: VelunorCh's output read as the panel reads
// it, the real VelunorCh over an endpoint registry, and the enable worker's waits.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "panel/core/endpointctl.h"
#include "platform/endpoints.h"

class EndpointTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        QVERIFY(dir_.isValid());
        qputenv("VELUNOR_RUNDIR", dir_.path().toLocal8Bit());
    }
    void parsesToolOutput();
    void realToolOverTheRegistry();
    void workerWaits();
    void toolsThatHangOrFail();

private:
    static void put(const char* name, const char* state) {
        EndpointRecord r{};
        std::snprintf(r.id, sizeof r.id, "ROOT#VelunorAudio#0000#%s", name);
        std::snprintf(r.name, sizeof r.name, "%s (VelunorAudio)", name);
        std::snprintf(r.flow, sizeof r.flow, "%s", name[0] == 'o' ? "render" : "capture");
        std::snprintf(r.state, sizeof r.state, "%s", state);
        r.rate = 48000;
        QVERIFY(Endpoint_write(r));
    }
    QTemporaryDir dir_;
};

void EndpointTest::parsesToolOutput() {
    const QString ok = QStringLiteral("SetVisible a result: 0\r\nSetSampleRate a 48000 result: 0\n"
                                      "  === SetSampleRate res=0\nChange Velu Device Count 16\n");
    ToolResult r = VelunorCh_parse(ok, false, 16);
    QVERIFY(r.success);
    QCOMPARE(r.changed, 16);
    r = VelunorCh_parse(QString(ok).replace(QStringLiteral("Count 16"), QStringLiteral("Count 12")), false, 16);
    QVERIFY(!r.success && r.partial);
    QVERIFY(r.message.endsWith(QStringLiteral("expected=16 actual=12")));
    r = VelunorCh_parse(QStringLiteral("SetVisible a result: 5\nChange Velu Device Count 2"), false, 2);
    QCOMPARE(r.message, QStringLiteral("SetVisible a result: 5"));
    QCOMPARE(VelunorCh_parse(QStringLiteral("SetVisible a result: 0\n"), false, 2).message,
             QStringLiteral("missing sample rate result"));
    QCOMPARE(VelunorCh_parse(QString(), false, 2).message, QStringLiteral("missing endpoint result"));
    // Disabling reads only SetInvisible; without a count line the listed endpoints count.
    r = VelunorCh_parse(QStringLiteral("Audio Device x VelunorAudio\nSetInvisible x result: 0\n"), true, 2);
    QVERIFY(r.success);
    QCOMPARE(r.changed, 1);
    QCOMPARE(AudioEnableEndpointWorker::firstWaitSeconds(8), 5);
    QCOMPARE(AudioEnableEndpointWorker::firstWaitSeconds(9), 10);
    QCOMPARE(AudioEnableEndpointWorker::firstWaitSeconds(32), 10);
    QCOMPARE(AudioEnableEndpointWorker::firstWaitSeconds(33), 15);
}

void EndpointTest::realToolOverTheRegistry() {
    put("out_stereo-00", "DISABLED");
    put("in_stereo-00", "DISABLED");
    put("out_stereo-01", "NOT_PRESENT");
    const QString tools = QStringLiteral(VELUNOR_BUILD_DIR "/tools/VelunorCh");
    int progress = -1;
    ToolResult r = VelunorCh_run(tools, false, 48000, 2, [&](int n) { progress = n; });
    QVERIFY2(r.success, qPrintable(r.message));
    QCOMPARE(r.changed, 2);
    QCOMPARE(Endpoint_count(QStringLiteral("ACTIVE")), 2);
    r = VelunorCh_run(tools, true, 48000, 2);
    QVERIFY2(r.success, qPrintable(r.message));
    QCOMPARE(Endpoint_count(QStringLiteral("DISABLED")), 2);
    QCOMPARE(VelunorCh_run(QStringLiteral("/nonexistent"), true, 48000, 2).message, QStringLiteral("process failed"));
    (void)progress;
    // Damaged records are counted as far as they can be read: one without an id is not an
    // endpoint, one cut after its state still counts, bytes of no meaning are skipped.
    auto raw = [&](const char* name, const QByteArray& bytes) {
        QFile f(dir_.filePath(QStringLiteral("endpoints/") + QLatin1String(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    raw("ROOT#VelunorAudio#0000#out_stereo-02", "id=ROOT#VelunorAudio#0000#out_stereo-02\nname=x (VelunorAudio)\n"
                                                "state=DISABLED");
    raw("ROOT#VelunorAudio#0000#out_stereo-03", "name=y (VelunorAudio)\nstate=DISABLED\n");
    raw("ROOT#VelunorAudio#0000#in_stereo-03", QByteArray("\x00\xff\nstate=\x00DISABLED\n", 17) + QByteArray(4096, 'z'));
    QCOMPARE(Endpoint_count(QStringLiteral("DISABLED")), 3);
}

void EndpointTest::workerWaits() {
    put("out_stereo-00", "DISABLED");
    put("in_stereo-00", "DISABLED");
    std::atomic<int> state{2};
    {
        // Endpoints that come up by themselves end the worker without running the tool
        // (there is none in this folder: a run would fail and say so).
        AudioEnableEndpointWorker w(QStringLiteral("/nonexistent"), 2, 48000, &state);
        w.stepMs = 20;
        QSignalSpy done(&w, &AudioEnableEndpointWorker::signalEndpointFinished);
        QSignalSpy waiting(&w, &AudioEnableEndpointWorker::signalEndpointWaiting);
        w.start();
        QTRY_VERIFY_WITH_TIMEOUT(waiting.count() >= 1, 5000);
        put("out_stereo-00", "ACTIVE");
        put("in_stereo-00", "ACTIVE");
        QVERIFY(w.wait(10000));
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(2).toString(), QString());
    }
    put("out_stereo-00", "DISABLED");
    {
        // A stop during the waits ends the worker without a finish signal.
        AudioEnableEndpointWorker w(QStringLiteral("/nonexistent"), 2, 48000, &state);
        w.stepMs = 20;
        QSignalSpy done(&w, &AudioEnableEndpointWorker::signalEndpointFinished);
        QSignalSpy waiting(&w, &AudioEnableEndpointWorker::signalEndpointWaiting);
        w.start();
        QTRY_VERIFY_WITH_TIMEOUT(waiting.count() >= 1, 5000);
        state.store(0);
        QVERIFY(w.wait(10000));
        QCOMPARE(done.count(), 0);
    }
}

void EndpointTest::toolsThatHangOrFail() {
    {
        // A VelunorCh that hangs is killed at the worker's time-out, and the worker goes on
        // with its next attempt; endpoints that come up meanwhile end it.
        QTemporaryDir dir;
        QFile tool(dir.filePath(QStringLiteral("VelunorCh")));
        QVERIFY(tool.open(QIODevice::WriteOnly));
        const QString runs = dir.filePath(QStringLiteral("runs"));
        tool.write(QStringLiteral("#!/bin/sh\necho run >> '%1'\nexec sleep 30\n").arg(runs).toUtf8());
        tool.close();
        tool.setPermissions(tool.permissions() | QFileDevice::ExeOwner);
        put("out_stereo-00", "DISABLED");
        put("in_stereo-00", "DISABLED");
        std::atomic<int> state{2};
        AudioEnableEndpointWorker w(dir.path(), 2, 48000, &state);
        w.stepMs = 10;
        w.toolTimeoutMs = 300;
        QSignalSpy done(&w, &AudioEnableEndpointWorker::signalEndpointFinished);
        w.start();
        auto count = [&] {
            QFile f(runs);
            return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(count() >= 2, 10000);
        put("out_stereo-00", "ACTIVE");
        put("in_stereo-00", "ACTIVE");
        QVERIFY(w.wait(10000));
        QCOMPARE(done.count(), 1);
    }
    // A tool that hangs is killed at its time-out, with what it wrote so far.
    QElapsedTimer t;
    t.start();
    QString out;
    QVERIFY(!runAppLocalTool(QStringLiteral("/bin"), QStringLiteral("sh"),
                             {QStringLiteral("-c"), QStringLiteral("echo started; exec sleep 30")}, 700, &out));
    QVERIFY(t.elapsed() < 5000);
    QVERIFY(out.contains(QStringLiteral("started")));
    // A tool that fails, or is not there: false, and the caller goes on.
    QVERIFY(!runAppLocalTool(QStringLiteral("/bin"), QStringLiteral("false"), {}, 5000, &out));
    t.restart();
    Driver_disable(QStringLiteral("/nonexistent"));
    Driver_enable(QStringLiteral("/nonexistent"));
    QVERIFY(t.elapsed() < 5000);
}

QTEST_GUILESS_MAIN(EndpointTest)
#include "endpoint_test.moc"
