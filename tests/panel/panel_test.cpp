// The control panel's logic without its window: start-up values, the files it keeps, the
// route service's command line and supervision, adapters, the log-on start.
#include "panel/core/adapters.h"
#include "panel/core/appconfig.h"
#include "panel/core/autostart.h"
#include "panel/core/routeargs.h"
#include "panel/core/routefile.h"
#include "panel/core/routeproc.h"
#include "platform/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

static void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

static QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A program file of the route service's name (a copy of sleep): the clean-up compares
// the image path, which for a script would be the shell's.
static QString sleeper(const QString& dir) {
    const QString path = dir + QLatin1String("/VelunorRoute");
    QFile::copy(QStringLiteral("/bin/sleep"), path);
    return path;
}

static bool alive(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray s = f.readAll();
    const char st = s.at(s.lastIndexOf(')') + 2);
    return st != 'Z' && st != 'X';
}

static bool waitGone(qint64 pid, int ms) {
    QElapsedTimer t;
    t.start();
    while (alive(pid) && t.elapsed() < ms)
        QThread::msleep(10);
    return !alive(pid);
}

// A stand-in for the route service in the supervision tests: sleeps, and ignores SIGTERM
// when told to (a service that does not end when asked).
static QString fakeService(const QString& dir, bool ignoreTerm) {
    const QString path = dir + QLatin1String("/VelunorRoute");
    writeFile(path, QByteArray("#!/bin/sh\n") + (ignoreTerm ? "trap '' TERM\n" : "") +
                        "while :; do sleep 0.05; done\n");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

class PanelTest : public QObject {
    Q_OBJECT
private slots:
    void displayScale();
    void appConfigLines();
    void settingsOutOfRange();
    void devIdAndVersion();
    void routeCommandLine();
    void clockIdentity();
    void startChecks();
    void adapterFilterAndChoice();
    void routeFileName();
    void autoStartAndMigration();
    void routeSupervision();
    void staleCleanup();
    void serviceDiesWithPanel();
};

void PanelTest::displayScale() {
    // A 3440x1440 screen at 100 %: the 16:9 part of it counts.
    DisplayScale d = DisplayScale_compute(3440, 1440, 3440, 1440);
    QCOMPARE(d.cx, 2560);
    QCOMPARE(d.adjScale, 1.3);
    QCOMPARE(d.adjFontScale, 1.3);
    // 1920x1080 at 150 %: geometry as designed, fonts already enlarged by the system.
    d = DisplayScale_compute(1920, 1080, 1280, 720);
    QCOMPARE(d.winScal, 1.5);
    QCOMPARE(d.adjScale, 1.0);
    QCOMPARE(d.adjFontScale, 0.7);
    // 1280x800 (16:10, narrower than 16:9).
    d = DisplayScale_compute(1280, 800, 1280, 800);
    QCOMPARE(d.adjScale, 0.7);
}

void PanelTest::appConfigLines() {
    AppConfig c;
    QStringList log;
    AppConfig_parse("titleName = My Card \n\nno equals here\ncanswitchlanguage=0\nother=1=2\n", c, &log);
    QCOMPARE(c.titleName, QStringLiteral("My Card"));
    QVERIFY(c.canSwitchLanguage); // keys are compared with their case
    QCOMPARE(log, QStringList({"Key: titleName Value: My Card", "Key: canswitchlanguage Value: 0",
                               "Key: other Value: 1=2"}));
    AppConfig_parse("CanSwitchLanguage=0", c, nullptr);
    QVERIFY(!c.canSwitchLanguage);

    // A huge binary file: only its first part is read, and the key at its start counts.
    QTemporaryDir dir;
    QByteArray big("titleName=Big\n");
    big.append(QByteArray(8 * 1024 * 1024, '\xff'));
    writeFile(dir.path() + "/appConfig.txt", big);
    AppConfig b;
    AppConfig_load(dir.path() + "/appConfig.txt", b, nullptr);
    QCOMPARE(b.titleName, QStringLiteral("Big"));
    AppConfig m;
    AppConfig_load(dir.path() + "/missing.txt", m, nullptr);
    QCOMPARE(m.titleName, QStringLiteral("Virtual Sound Card"));
}

void PanelTest::settingsOutOfRange() {
    QTemporaryDir dir;
    const QString ini = dir.path() + "/UserSettings.ini";
    {
        QSettings s(ini, QSettings::IniFormat);
        s.setValue("audioType", 9);
        s.setValue("domain", -5);
        s.setValue("chnum", 99);
        s.setValue("samplerate", 44100);
    }
    QSettings s(ini, QSettings::IniFormat);
    Choices c = Choices_fromSettings(s, 64);
    QCOMPARE(c.channels, QStringList({"2x2", "4x4", "8x8", "16x16", "32x32", "48x48", "64x64"}));
    QCOMPARE(c.chIndex, 6); // out of range: the largest, as when none is stored
    QCOMPARE(c.audioType, 0);
    QCOMPARE(c.rateIndex, 0);
    QCOMPARE(Settings_domain(s), 0);

    s.setValue("chnum", 1);
    s.setValue("samplerate", "96000");
    s.setValue("audioType", 3);
    s.setValue("domain", 127);
    c = Choices_fromSettings(s, 4);
    QCOMPARE(c.channels, QStringList({"2x2", "4x4"}));
    QCOMPARE(c.chIndex, 1);
    QCOMPARE(c.rateIndex, 1);
    QCOMPARE(c.audioType, 3);
    QCOMPARE(Settings_domain(s), 127);
    c = Choices_fromSettings(s, 2); // fewer channels than stored: the largest there is
    QCOMPARE(c.channels, QStringList({"2x2"}));
    QCOMPARE(c.chIndex, 0);
    s.setValue("samplerate", "192000");
    QCOMPARE(Choices_fromSettings(s, 2).rateIndex, 2);

    // A damaged file: the values that can be read, defaults for the rest, no crash.
    const QString damaged = dir.path() + "/damaged.ini";
    writeFile(damaged, QByteArray("[General\n\x01\x02=\xff\nchnum=\n=3\naudioType=2x\n"));
    QSettings d(damaged, QSettings::IniFormat);
    c = Choices_fromSettings(d, 8);
    QCOMPARE(c.chIndex, 2);
    QCOMPARE(c.audioType, 0);
}

void PanelTest::devIdAndVersion() {
    QTemporaryDir dir;
    const QString ini = dir.path() + "/UserSettings.ini", file = dir.path() + "/data/_devId";
    const QString made = DevId_fromMachineId("0123456789abcdef0123456789abcdef");
    QVERIFY(QRegularExpression("^rEduVuzi-[0-9a-f]{8}$").match(made).hasMatch());
    {
        QSettings s(ini, QSettings::IniFormat);
        DevIdResult r = DevId_settle(s, file, "0123456789abcdef0123456789abcdef");
        QCOMPARE(r.devId, made);
        QCOMPARE(r.cfgVersion, 2); // a fresh installation
        QCOMPARE(readFile(file), made.toUtf8());
    }
    // Only the settings left: the same identity, written back to the file.
    QFile::remove(file);
    {
        QSettings s(ini, QSettings::IniFormat);
        QCOMPARE(DevId_settle(s, file, "another machine").devId, made);
        QCOMPARE(readFile(file), made.toUtf8());
    }
    // Only the file left: the settings get it back.
    QFile::remove(ini);
    writeFile(file, "  card-7\n");
    {
        QSettings s(ini, QSettings::IniFormat);
        s.setValue("chnum", 3);
        DevIdResult r = DevId_settle(s, file, "x");
        QCOMPARE(r.devId, QStringLiteral("card-7"));
        QCOMPARE(r.cfgVersion, 1); // settings from before the generation was stored
        QCOMPARE(s.value("devId").toString(), QStringLiteral("card-7"));
        QCOMPARE(s.value("cfgVersion").toString(), QStringLiteral("1"));
    }
    // A damaged file of 10 MB: passed over, the settings' identity is kept and restored.
    writeFile(file, QByteArray(10 * 1024 * 1024, 'z'));
    {
        QSettings s(ini, QSettings::IniFormat);
        QCOMPARE(DevId_settle(s, file, "x").devId, QStringLiteral("card-7"));
        QCOMPARE(readFile(file), QByteArray("card-7"));
    }
    // Both gone: made anew, the same on the same machine.
    QFile::remove(file);
    QFile::remove(ini);
    QSettings s(ini, QSettings::IniFormat);
    QCOMPARE(DevId_settle(s, file, "0123456789abcdef0123456789abcdef").devId, made);
}

void PanelTest::routeCommandLine() {
    RouteParams p;
    p.sampleRate = 48000;
    p.chNum = 2;
    p.ip = Ip_fromDotted("10.77.0.1");
    p.domain = 5;
    p.devId = "rEduVuzi-0badf00d";
    p.chMax = 2;
    p.bufMs = 4;
    const QStringList head = {"sampleRate=48000", "chNumRx=2", "chNumTx=2", "bindIp=10.77.0.1", "domain=5",
                              "payloadType=96", "model=rEduVuzi", "devId=rEduVuzi-0badf00d",
                              "filePath=C:/ProgramData/VelunorNetSndCard/_route"};
    QCOMPARE(RouteArgs_build(p), head + QStringList({"noMcastTx", "noMcastRx", "bufMs=4"}));
    p.bufMs = 0;
    QCOMPARE(RouteArgs_build(p), head + QStringList({"noMcastTx", "noMcastRx", "bufMs=0"}));
    p.chMax = 64;
    p.chNum = 16;
    QStringList h16 = head;
    h16[1] = "chNumRx=16";
    h16[2] = "chNumTx=16";
    QCOMPARE(RouteArgs_build(p), h16 + QStringList({"noMcastRx", "bufMs=0"})); // WDM
    p.bufMs = 8;
    QCOMPARE(RouteArgs_build(p), h16 + QStringList({"bufMs=8"})); // ASIO
    QCOMPARE(Ip_fromDotted("192.168.1.300"), 0u);
    QCOMPARE(Ip_toDotted(0xC0A8010Au), QStringLiteral("192.168.1.10"));
}

void PanelTest::clockIdentity() {
    QCOMPARE(ClockId_reply(0, ClockId_fromMac("00:1A:2B:3C:4D:5E")),
             QByteArray("gmClkId=00-00-00-00-00-00-00-00 myClkId=00-1a-2b-ff-fe-3c-4d-5e"));
    QCOMPARE(ClockId_fromMac("00-1A-2B-3C-4D-5E"), ClockId_fromMac("00:1a:2b:3c:4d:5e"));
    QCOMPARE(ClockId_fromMac("00:1A:2B:3C:4D"), 0ull);
    QCOMPARE(ClockId_fromMac("zz:1A:2B:3C:4D:5E"), 0ull);
    QCOMPARE(ClockId_format(0x0102030405060708ull), QStringLiteral("08-07-06-05-04-03-02-01"));
}

void PanelTest::startChecks() {
    qint64 wait = 0;
    QCOMPARE(Start_check("", 0, 1, 100, 0, 2, &wait), StartNoDevId);
    QCOMPARE(Start_check("id", 0, 0, 100, 0, 2, &wait), StartNoAdapter);
    QCOMPARE(Start_check("id", -1, 3, 100, 0, 2, &wait), StartNoAdapter);
    // 16 channels stopped at 100 s: no start before 108 s.
    QCOMPARE(Start_check("id", 0, 1, 103, 100 + 16 / 2, 2, &wait), StartTooEarly);
    QCOMPARE(wait, 5);
    QCOMPARE(Start_check("id", 0, 1, 108, 108, 2, &wait), StartOk);
    QCOMPARE(Start_check("id", 0, 1, 108, 0, ChText_count("--"), &wait), StartNoChannels);
}

void PanelTest::adapterFilterAndChoice() {
    QTemporaryDir sys;
    auto dev = [&](const QString& name, const QStringList& marks, const QByteArray& iflink = "5",
                   const QByteArray& ifindex = "7") {
        const QString d = sys.path() + "/" + name;
        QDir().mkpath(d);
        for (const QString& m : marks)
            QDir().mkpath(d + "/" + m);
        writeFile(d + "/iflink", iflink + "\n");
        writeFile(d + "/ifindex", ifindex + "\n");
        return d;
    };
    const auto up = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    const auto eth = QNetworkInterface::Ethernet;
    QVERIFY(Adapters_usable("eth0", "eth0", eth, up, dev("eth0", {"device"})));
    QVERIFY(Adapters_usable("veth1", "veth1", eth, up, dev("veth1", {})));         // the test LAN's wire
    QVERIFY(!Adapters_usable("dummy0", "dummy0", eth, up, dev("dummy0", {}, "9", "9"))); // software
    QVERIFY(!Adapters_usable("wlp2s0", "wlp2s0", eth, up, dev("wlp2s0", {"device", "wireless"})));
    QVERIFY(!Adapters_usable("br0", "br0", eth, up, dev("br0", {"bridge"})));
    QVERIFY(!Adapters_usable("tap0", "tap0", eth, up, dev("tap0", {"tun_flags"})));
    QVERIFY(!Adapters_usable("VMware Network Adapter", "eth1", eth, up, dev("eth1", {"device"})));
    QVERIFY(!Adapters_usable("eth2", "wlan0", eth, up, dev("eth2", {"device"})));
    QVERIFY(!Adapters_usable(QStringLiteral("无线网络"), "eth3", eth, up, dev("eth3", {"device"})));
    QVERIFY(!Adapters_usable("eth0", "eth0", QNetworkInterface::Wifi, up, sys.path() + "/eth0"));
    QVERIFY(!Adapters_usable("eth0", "eth0", eth, QNetworkInterface::IsUp, sys.path() + "/eth0")); // no carrier

    const QString mac = "AA:C1:FD:91:E4:65";
    QList<AdapterRecord> recs = {{"eth9", "10.0.0.9", "255.0.0.0", "11:22:33:44:55:66"},
                                 {"veth1", "10.77.0.5", "255.255.255.0", mac},
                                 {"veth1", "10.77.0.6", "255.255.255.0", mac}};
    int k = 0;
    QCOMPARE(Adapters_choose(recs, mac, "10.77.0.6", &k), 2);
    QCOMPARE(k, 2);
    // Two addresses, neither the saved one: no choice (the running card is stopped).
    QCOMPARE(Adapters_choose(recs, mac, "10.77.0.7", &k), -1);
    QCOMPARE(Adapters_choose(recs, mac, "", &k), 1);
    recs.removeLast();
    QCOMPARE(Adapters_choose(recs, mac, "10.77.0.7", &k), 1); // one address: follow it
    QCOMPARE(k, 1);
    QCOMPARE(Adapters_choose(recs, "00:00:00:00:00:01", "10.77.0.5", &k), -1);
}

void PanelTest::routeFileName() {
    QTemporaryDir dir;
    const QString path = dir.path() + "/data/_route";
    QCOMPARE(RouteFile_deviceName(path, "studio"), QString());
    QCOMPARE(QJsonDocument::fromJson(readFile(path)).object(), QJsonObject({{"name", "vsc-studio"}}));
    QCOMPARE(RouteFile_deviceName(path, "x"), QStringLiteral("vsc-studio"));

    writeFile(path, R"({"name":"\u00ef\u00bf","delayUs":"5000","rxChArr":[{"id":"1","rtpChId":"0"}]})");
    QString oldText, newText;
    QCOMPARE(RouteFile_repairName(path, "studio", &oldText, &newText), RepairOk);
    QJsonObject o = QJsonDocument::fromJson(readFile(path)).object();
    QCOMPARE(o.value("name").toString(), QStringLiteral("vsc-studio"));
    QCOMPARE(o.value("delayUs").toString(), QStringLiteral("5000"));
    QCOMPARE(o.value("rxChArr").toArray().size(), 1);
    QCOMPARE(QDir(dir.path() + "/data").entryList(QDir::Files), QStringList({"_route"})); // no temporary left

    writeFile(path, "not json {");
    QCOMPARE(RouteFile_deviceName(path, "x"), QStringLiteral("ErrName1"));
    QCOMPARE(RouteFile_repairName(path, "x", nullptr, nullptr), RepairParseError);
    QCOMPARE(readFile(path), QByteArray("not json {")); // left as it was
    QFile::setPermissions(path, QFileDevice::Permissions());
    if (geteuid() != 0) // root reads any file
        QCOMPARE(RouteFile_deviceName(path, "x"), QStringLiteral("ErrName2"));
    QCOMPARE(RouteFile_repairName(dir.path() + "/none", "x", nullptr, nullptr), RepairNoFile);
    writeFile(dir.path() + "/blocked", "");
    QCOMPARE(RouteFile_deviceName(dir.path() + "/blocked/_route", "x"), QStringLiteral("ErrName3"));
}

void PanelTest::autoStartAndMigration() {
    QTemporaryDir dir;
    qputenv("VELUNOR_ROOT", dir.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
    AutoStartEnv env;
    env.schtasks = QStringLiteral(VELUNOR_BUILD_DIR "/tools/schtasks/schtasks");
    env.exePath = "/opt/velunor link/VelunorLinkVSC";
    env.taskName = "VelunorLinkVSC_AutoStart";
    const QString entry = dir.path() + "/config/autostart/VelunorLinkVSC_AutoStart.desktop";
    RegKey run;
    QCOMPARE(Registry_createKey(REG_HKCU, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", &run), REG_OK);
    const QByteArray legacy = "\"/OPT/Velunor Link/VelunorLinkVSC\" --tray";
    auto setLegacy = [&] {
        QCOMPARE(Registry_setString(&run, "Velunor", legacy.constData(), size_t(legacy.size())), REG_OK);
        QCOMPARE(Registry_setString(&run, "Other", "/usr/bin/other", 14), REG_OK);
    };

    QVERIFY(AutoStart_migrate(env, "1")); // no Run value: nothing to do
    QVERIFY(!QFile::exists(entry));

    setLegacy();
    QCOMPARE(RunKey_valuesOf(env.exePath), QStringList({"Velunor"}));
    QVERIFY(AutoStart_migrate(env, "1")); // Run value and autoStart=1: the task replaces it
    QVERIFY(readFile(entry).contains("Exec=\"/opt/velunor link/VelunorLinkVSC\""));
    QVERIFY(RunKey_valuesOf(env.exePath).isEmpty());
    char buf[64];
    QCOMPARE(Registry_getString(&run, "Other", buf, sizeof buf, nullptr), REG_OK); // others stay

    setLegacy();
    QVERIFY(AutoStart_migrate(env, "0")); // autoStart=0: both go
    QVERIFY(!QFile::exists(entry));
    QVERIFY(RunKey_valuesOf(env.exePath).isEmpty());

    // A tool that refuses: the Run value is kept and the failure told.
    setLegacy();
    AutoStartEnv refusing = env;
    refusing.schtasks = "/bin/false";
    QVERIFY(!AutoStart_migrate(refusing, "1"));
    QCOMPARE(RunKey_valuesOf(env.exePath), QStringList({"Velunor"}));
    QString err;
    QVERIFY(AutoStart_set(env, true, &err));
    QVERIFY(QFile::exists(entry) && RunKey_valuesOf(env.exePath).isEmpty());
    QVERIFY(AutoStart_set(env, false));
    QVERIFY(!QFile::exists(entry));

    // A tool that does not start, and one that hangs.
    AutoStartEnv missing = env;
    missing.schtasks = dir.path() + "/nothing";
    QVERIFY(!Schtasks_run(missing, {"/Query"}, &err));
    QCOMPARE(err, QStringLiteral("schtasks start failed"));
    writeFile(dir.path() + "/hang", "#!/bin/sh\nexec sleep 30\n");
    QFile::setPermissions(dir.path() + "/hang", QFile::ReadOwner | QFile::ExeOwner);
    AutoStartEnv hang = env;
    hang.schtasks = dir.path() + "/hang";
    hang.finishMs = 300;
    QVERIFY(!Schtasks_run(hang, {"/Query"}, &err));
    QCOMPARE(err, QStringLiteral("schtasks timeout"));
    // Its error text is what it printed.
    QVERIFY(!Schtasks_run(env, {"/Create", "/TN", "x/y", "/TR", "p", "/SC", "ONLOGON"}, &err));
    QVERIFY(err.startsWith("ERROR:"));
}

void PanelTest::routeSupervision() {
    QTemporaryDir dir;
    const QString exe = fakeService(dir.path(), true);
    RouteSupervisor sup(exe);
    const QStringList args = {"sampleRate=48000", "bindIp=10.77.0.1", "devId=a b"};
    QVERIFY(sup.start(args));
    const qint64 first = sup.pid();
    QThread::msleep(100); // the shell has read its script
    QList<QByteArray> argv = readFile(QStringLiteral("/proc/%1/cmdline").arg(first)).split('\0');
    QVERIFY(argv.size() >= 4);
    QCOMPARE(QList<QByteArray>(argv.end() - 4, argv.end() - 1), QList<QByteArray>({"sampleRate=48000",
                                                                                  "bindIp=10.77.0.1", "devId=a b"}));
    // A new start ends the running one first; it ignores SIGTERM, so it is killed.
    QVERIFY(sup.start(args));
    QVERIFY(!alive(first));
    QVERIFY(sup.pid() != first);
    sup.stop(300);
    QVERIFY(!sup.running());

    RouteSupervisor missing(dir.path() + "/absent");
    QVERIFY(!missing.start(args, 2000));
    missing.stop();
}

void PanelTest::staleCleanup() {
    QTemporaryDir here, there;
    const QString mine = sleeper(here.path()), other = sleeper(there.path());
    QProcess a, b;
    a.start(mine, {"60"});
    b.start(other, {"60"});
    QVERIFY(a.waitForStarted() && b.waitForStarted());
    const qint64 stalePid = a.processId();
    QThread::msleep(100);
    // Their parent is this test, alive but not a control panel: the one of this
    // installation is stale, the other is not ours.
    const QStringList log = StaleRoute_cleanup(RoutePath_normalise(mine), "VelunorLinkVSC");
    QVERIFY(a.waitForFinished(3000));
    QVERIFY2(b.state() == QProcess::Running, qPrintable(log.join('\n')));
    QVERIFY(log.join('\n').contains("terminated stale route process pid: " + QString::number(stalePid)));
    QVERIFY(log.join('\n').contains("skip route process from another path"));
    // Under a live control panel it stays.
    const QStringList keep = StaleRoute_cleanup(RoutePath_normalise(other),
                                                QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QVERIFY2(keep.join('\n').contains("skip route process with live parent"), qPrintable(keep.join('\n')));
    QVERIFY(b.state() == QProcess::Running);
    b.kill();
    b.waitForFinished();
}

void PanelTest::serviceDiesWithPanel() {
    // A helper stands in for the panel: it starts the service and is then killed outright.
    QTemporaryDir dir;
    const QString exe = fakeService(dir.path(), true);
    QProcess helper;
    helper.start(QCoreApplication::applicationFilePath(), {"--hold-route", exe});
    QVERIFY(helper.waitForReadyRead(10000));
    const qint64 pid = helper.readLine().trimmed().toLongLong();
    QVERIFY(pid > 0 && alive(pid));
    ::kill(pid_t(helper.processId()), SIGKILL);
    QVERIFY(waitGone(pid, 1000));
    helper.waitForFinished();
}

int main(int argc, char** argv) {
    if (argc == 3 && QByteArray(argv[1]) == "--hold-route") {
        QCoreApplication app(argc, argv);
        RouteSupervisor sup(QString::fromLocal8Bit(argv[2]));
        if (!sup.start({}))
            return 1;
        printf("%lld\n", static_cast<long long>(sup.pid()));
        fflush(stdout);
        for (;;)
            pause();
    }
    QCoreApplication app(argc, argv);
    PanelTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "panel_test.moc"
