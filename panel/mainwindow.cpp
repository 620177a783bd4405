#include "panel/mainwindow.h"

#include "panel/control.h"
#include "panel/core/appconfig.h"
#include "panel/core/endpointctl.h"
#include "panel/core/routeargs.h"
#include "panel/core/routefile.h"
#include "panel/core/routeproc.h"
#include "panel/mycombobox.h"
#include "panel/settingdialog.h"
#include "panel/tipsdialog.h"
#include "panel/udpworker.h"
#include "panel/worker.h"
#include "platform/paths.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGraphicsDropShadowEffect>
#include <QHostInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QSettings>
#include <QShortcut>
#include <QThread>
#include <cmath>
#include <pwd.h>
#include <unistd.h>

static const int kBufMs[] = {0, 2, 3, 4, 6, 8};

static int bufMsOf(int audioTypeIndex) {
    return audioTypeIndex >= 1 && audioTypeIndex <= 5 ? kBufMs[audioTypeIndex] : 0;
}

MainWindow::MainWindow(const PanelContext& ctx, QWidget* parent)
    : QMainWindow(parent), ctx_(ctx), ui(new Ui::MainWindow) {
    ui->setupUi(this);
    buildFrame();
    buildTray();
    watchAdapters();
    g_ctl.command.store(CMD_INIT);
    g_ctl.startState.store(STATE_INIT);

    QSettings s(ctx_.settingsPath(), QSettings::IniFormat);
    const DevIdResult id = DevId_settle(s, ctx_.dataDir + QLatin1String("/_devId"), DevId_machineId());
    for (const QString& l : id.log)
        qDebug().noquote() << l;
    devId_ = id.devId;
    cfgVersion_ = id.cfgVersion;

    zh_.load(ctx_.progDir + QLatin1String("/zh.qm"));
    en_.load(ctx_.progDir + QLatin1String("/en.qm"));
    const bool chs = QSettings(ctx_.languagePath(), QSettings::IniFormat).value(QStringLiteral("Langue")).toString() ==
                     QLatin1String("chs");
    setStartStyle(false, chs ? QStringLiteral("初始化中...") : QStringLiteral("Initializing..."));
    applyLanguage(chs);

    const QString routeExe = ctx_.progDir + QLatin1String("/VelunorRoute");
    for (const QString& l : StaleRoute_cleanup(RoutePath_normalise(routeExe),
                                               QFileInfo(QCoreApplication::applicationFilePath()).fileName()))
        qDebug().noquote() << l;
    route_ = new RouteSupervisor(routeExe);
    qDebug() << "route job object created";

    worker_ = new Worker(ctx_.progDir, ctx_.dataDir, this);
    connect(worker_, &Worker::taskFinished, this, &MainWindow::threadFinished);
    connect(worker_, &Worker::testUpdateTips, this, &MainWindow::testShowTips);
    connect(worker_, &Worker::signal_route_start, this, &MainWindow::slot_route_start, Qt::BlockingQueuedConnection);
    connect(worker_, &Worker::signal_route_stop, this, &MainWindow::slot_route_stop, Qt::BlockingQueuedConnection);
    worker_->start(QThread::InheritPriority);

    connect(&watchTimer_, &QTimer::timeout, this, &MainWindow::watchAdapters);
    watchTimer_.start(1000);

    udpThread_ = new QThread(this);
    auto* udp = new UdpWorker;
    udp->moveToThread(udpThread_);
    connect(udpThread_, &QThread::started, udp, &UdpWorker::startListening);
    connect(udpThread_, &QThread::finished, udp, &QObject::deleteLater);
    udpThread_->start(QThread::InheritPriority);

    qDebug() << "Main thread ID:" << QThread::currentThreadId();
    scaleWidgets();
}

MainWindow::~MainWindow() {
    shutdown();
    delete route_; // ends a service still running (the job's kill-on-close)
    delete ui;
}

QString MainWindow::tr2(const char* zh, const char* en) const {
    return chinese_ ? QString::fromUtf8(zh) : QString::fromUtf8(en);
}

void MainWindow::buildFrame() {
    const double s = ctx_.adjScale;
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint);
    setAttribute(Qt::WA_TranslucentBackground);
    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setOffset(0, 0);
    shadow->setColor(QColor(QStringLiteral("#999999")));
    shadow->setBlurRadius(8 * s);
    ui->widget_bg->setGraphicsEffect(shadow);
    ui->widget_bg->setObjectName(QStringLiteral("widget_bg"));
    ui->widget_bg->setStyleSheet(QStringLiteral("#widget_bg{background-color:rgb(253,253,253);border-radius:%1px;}")
                                     .arg(int(std::lround(20 * s))));
    ui->title_lab->setText(ctx_.titleName);
    ui->title_lab->installEventFilter(this);
    ui->ver_lab->setText(ctx_.version);
    ui->build_lab->setText(ctx_.buildCode);
    ui->language_bt->setIcon(QIcon(QStringLiteral(":/new/prefix1/pic/language.png")));
    ui->language_bt->setIconSize(QSize(int(50 * s), int(20 * s)));
    ui->language_bt->setVisible(ctx_.canSwitchLanguage);
    for (MyComboBox* cb : {ui->cb_net, ui->cb_samplerate, ui->cb_chnum, ui->cb_audioType})
        cb->applyScale(s);
    ui->stackedWidget->setCurrentWidget(ui->homePage);
    ui->pb_start->setEnabled(false);
    {
        const QSignalBlocker b1(ui->cb_samplerate), b2(ui->cb_chnum), b3(ui->cb_audioType);
        ui->cb_samplerate->addItems({QStringLiteral("48000"), QStringLiteral("96000"), QStringLiteral("192000")});
        ui->cb_chnum->addItem(QStringLiteral("--"));
        ui->cb_audioType->addItems({QStringLiteral("WDM"), QStringLiteral("ASIO-2ms"), QStringLiteral("ASIO-3ms"),
                                    QStringLiteral("ASIO-4ms"), QStringLiteral("ASIO-6ms"), QStringLiteral("ASIO-8ms")});
    }
    settings_ = new SettingDialog(ctx_.settingsPath(), ctx_.dataDir + QLatin1String("/_route"), ui->settingPage);
    ui->settingLayout->addWidget(settings_);
    auto* alt8 = new QShortcut(QKeySequence(QStringLiteral("Alt+8")), this);
    connect(alt8, &QShortcut::activated, this, [] { g_ctl.diag.store(!g_ctl.diag.load()); });
    showPage(true);
}

void MainWindow::buildTray() {
    tray_ = new QSystemTrayIcon(QIcon(ctx_.progDir + QLatin1String("/icon.ico")), this);
    tray_->setToolTip(ctx_.titleName);
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("trayMenu"));
    connect(tray_, &QSystemTrayIcon::activated, this, &MainWindow::slot_trayIcon_actived);
    tray_->setContextMenu(menu);
    tray_->setVisible(true);
}

void MainWindow::scaleWidgets() {
    const double s = ctx_.adjScale, fs = ctx_.adjFontScale;
    // Fonts are read before any is changed: a child that inherits its font must not be
    // scaled twice.
    struct Item {
        QWidget* w;
        QFont f;
    };
    QList<Item> fonts{{this, font()}};
    const QList<QWidget*> all = findChildren<QWidget*>();
    for (QWidget* w : all)
        if (w->testAttribute(Qt::WA_SetFont))
            fonts.append({w, w->font()});
    for (QWidget* w : all) {
        if (w->objectName() == QLatin1String("qt_spinbox_lineedit"))
            continue;
        QWidget* p = w->parentWidget();
        // Parts of a choice list, and widgets placed by a layout, get their geometry from
        // their owner.
        if (qobject_cast<QComboBox*>(p) || (p && p->layout() && p->layout()->indexOf(w) >= 0) || w->isWindow())
            continue;
        const QRect g = w->geometry();
        w->setGeometry(int(g.x() * s), int(g.y() * s), int(g.width() * s), int(g.height() * s));
    }
    for (Item& it : fonts) {
        if (it.f.pixelSize() > 0)
            it.f.setPixelSize(int(std::ceil(it.f.pixelSize() * s)));
        else if (it.f.pointSizeF() > 0)
            it.f.setPointSizeF(std::ceil(it.f.pointSizeF() * fs));
        it.w->setFont(it.f);
    }
    resize(int(width() * s), int(height() * s));
    setStartStyle(running_, ui->pb_start->text());
}

void MainWindow::setStartStyle(bool runningStyle, const QString& text) {
    const int r = int(std::lround(15 * ctx_.adjScale));
    ui->pb_start->setText(text);
    ui->pb_start->setStyleSheet(
        runningStyle
            ? QStringLiteral("background-color: rgb(255,112,112);color: white;border: 1px solid #999999;border-radius:%1px;")
                  .arg(r)
            : QStringLiteral(
                  "background-color: rgb(223, 244, 242);color: rgb(80,140,134);border: 1px solid #999999;border-radius:%1px;")
                  .arg(r));
}

void MainWindow::setChoicesEnabled(bool on) {
    for (MyComboBox* cb : {ui->cb_net, ui->cb_samplerate, ui->cb_chnum, ui->cb_audioType})
        cb->setEnabled(on);
}

void MainWindow::showPage(bool home) {
    static const QString on = QStringLiteral("background-color:rgb(28,161,149);border-radius:5px;color:white;");
    static const QString off = QStringLiteral("background-color:transparent;border-radius:5px;color:rgb(28,161,149);");
    ui->stackedWidget->setCurrentWidget(home ? ui->homePage : ui->settingPage);
    ui->home_bt->setStyleSheet(home ? on : off);
    ui->pb_setting->setStyleSheet(home ? off : on);
    if (qEnvironmentVariableIsSet("VELUNOR_PANEL_GEOMETRY"))
        QTimer::singleShot(300, this, &MainWindow::logGeometry);
}

void MainWindow::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (qEnvironmentVariableIsSet("VELUNOR_PANEL_GEOMETRY"))
        QTimer::singleShot(300, this, &MainWindow::logGeometry);
}

// Where each named widget is on the screen, for tests that click the real window.
void MainWindow::logGeometry() {
    for (QWidget* w : findChildren<QWidget*>()) {
        if (w->objectName().isEmpty() || !w->isVisible() || w->objectName().startsWith(QLatin1String("qt_")))
            continue;
        const QPoint p = w->mapToGlobal(QPoint(0, 0));
        qInfo().noquote() << QStringLiteral("geometry %1 %2 %3 %4 %5")
                                 .arg(w->objectName())
                                 .arg(p.x())
                                 .arg(p.y())
                                 .arg(w->width())
                                 .arg(w->height());
    }
}

void MainWindow::info(const QString& text) { Panel_info(this, ctx_.titleName, text); }

// Why the card could not be started: a user outside the group of the driver host's folder
// cannot reach the driver at all; anyone else is sent to the driver host service.
QString MainWindow::startFailureText() {
    if (!Paths_canUseRundir(nullptr, 0)) {
        const QString group = QFileInfo(QString::fromUtf8(Paths_rundir())).group();
        const struct passwd* pw = getpwuid(geteuid());
        return tr("没有使用声卡的权限：请把当前用户加入 %1 组（sudo usermod -aG %1 %2），然后重新登录")
            .arg(group.isEmpty() ? QStringLiteral("audio") : group,
                 pw && pw->pw_name ? QString::fromLocal8Bit(pw->pw_name) : QStringLiteral("$USER"));
    }
    return tr("启动失败，请检查驱动服务是否正在运行，查看状态：\nsystemctl status velunor-kernel");
}

void MainWindow::on_home_bt_clicked() { showPage(true); }
void MainWindow::on_pb_setting_clicked() { showPage(false); }
void MainWindow::on_bt_showWinVer_clicked() { Panel_showWinVer(); }
void MainWindow::on_close_bt_clicked() { close(); }
void MainWindow::on_min_bt_clicked() { showMinimized(); }
void MainWindow::on_cb_audioType_currentIndexChanged(int index) {
    // The choice takes effect at Start; logged for the record.
    qDebug() << "audio interface selection changed" << "index:" << index;
}

void MainWindow::on_tip_bt_clicked() {
    TipsDialog d(this);
    d.exec();
}

bool MainWindow::eventFilter(QObject* o, QEvent* e) {
    if (o == ui->title_lab) {
        switch (e->type()) {
        case QEvent::MouseButtonPress: {
            auto* m = static_cast<QMouseEvent*>(e);
            if (m->button() == Qt::LeftButton) {
                dragging_ = true;
                dragOffset_ = m->globalPos() - frameGeometry().topLeft();
            }
            return true;
        }
        case QEvent::MouseMove:
            if (dragging_)
                move(static_cast<QMouseEvent*>(e)->globalPos() - dragOffset_);
            return true;
        case QEvent::MouseButtonRelease:
            dragging_ = false;
            return true;
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(o, e);
}

// ---- adapters ----

void MainWindow::watchAdapters() {
    adapters_ = Adapters_scan();
    const QSignalBlocker block(ui->cb_net);
    QStringList names;
    for (const AdapterRecord& r : adapters_)
        names << r.name;
    QStringList shown;
    for (int i = 0; i < ui->cb_net->count(); ++i)
        shown << ui->cb_net->itemText(i);
    // Refilled only when the adapters changed: a list the user has open stays open.
    if (names != shown) {
        ui->cb_net->clear();
        ui->cb_net->addItems(names);
    }
    int k = 0;
    const int choice = Adapters_choose(adapters_, selMac_, selIp_, &k);
    const int state = g_ctl.startState.load();
    if (choice >= 0) {
        ui->cb_net->setCurrentIndex(choice);
        const QString ip = adapters_[choice].ip;
        if (ip != selIp_) {
            qDebug().noquote() << "********** selected ip changed, old:" << selIp_ << ", new:" << ip
                               << ", ipCount:" << k;
            selIp_ = ip;
            QSettings(ctx_.settingsPath(), QSettings::IniFormat).setValue(QStringLiteral("netAdapterIpAddr"), ip);
            if (state == STATE_STARTED) {
                g_ctl.startIp = Ip_fromDotted(ip);
                adapterLost_ = false;
                g_ctl.command.store(CMD_RESTART);
            }
        } else if (adapterLost_ && state == STATE_STARTED) {
            g_ctl.startIp = Ip_fromDotted(ip);
            adapterLost_ = false;
            g_ctl.command.store(CMD_RESTART);
        }
        g_ctl.addrWarningShown = false;
    } else if (!selMac_.isEmpty()) {
        if (state == STATE_STARTED && k > 1 && !g_ctl.addrWarningShown) {
            g_ctl.addrWarningShown = true;
            g_ctl.startState.store(STATE_STOPPED);
            g_ctl.command.store(CMD_STOP);
            g_ctl.diag.store(false);
            info(tr("当前选择的网卡IP已变化，请重新选择网络后启动"));
        }
        adapterLost_ = true;
    }
    const int cur = ui->cb_net->currentIndex();
    ui->le_net_ip->setText(cur >= 0 && cur < adapters_.size() ? adapters_[cur].ip : QString());
}

void MainWindow::on_cb_net_currentIndexChanged(int index) {
    if (index < 0 || index >= adapters_.size())
        return;
    selMac_ = adapters_[index].mac;
    selIp_ = adapters_[index].ip;
    ui->le_net_ip->setText(selIp_);
    g_ctl.addrWarningShown = false;
}

void MainWindow::on_cb_chnum_currentIndexChanged(int index) {
    const QString text = ui->cb_chnum->itemText(index);
    if (!ui->cb_chnum->isEnabled()) {
        qDebug() << "channel selection change ignored" << "index:" << index << "text:" << text
                 << "curSelectChNum:" << g_ctl.curChNum;
        return;
    }
    const int n = ChText_count(text);
    if (n >= 1)
        g_ctl.curChNum = n;
    qDebug() << "channel selection changed" << "index:" << index << "text:" << text << "curSelectChNum:" << g_ctl.curChNum;
}

// ---- start and stop ----

void MainWindow::on_pb_start_clicked() {
    autoServicePending_ = false;
    QSettings s(ctx_.settingsPath(), QSettings::IniFormat);
    g_ctl.domain = Settings_domain(s);
    if (!running_) {
        const int idx = ui->cb_net->currentIndex();
        const int chNum = ChText_count(ui->cb_chnum->currentText());
        qint64 wait = 0;
        qDebug() << "start pressed at" << QDateTime::currentSecsSinceEpoch() << "next start allowed at"
                 << g_ctl.nextStartTime;
        switch (Start_check(devId_, idx, adapters_.size(), QDateTime::currentSecsSinceEpoch(), g_ctl.nextStartTime,
                            chNum, &wait)) {
        case StartNoDevId:
            info(tr("无法获取设备ID，请检查系统环境后重启软件"));
            return;
        case StartNoAdapter:
            info(tr("需要连接有线网络"));
            return;
        case StartTooEarly:
            info(tr("请在 ") + QString::number(wait) + tr(" 秒后开启"));
            return;
        case StartNoChannels:
            info(startFailureText());
            return;
        case StartOk:
            break;
        }
        const AdapterRecord& rec = adapters_[idx];
        s.setValue(QStringLiteral("chnum"), ui->cb_chnum->currentIndex());
        s.setValue(QStringLiteral("audioType"), ui->cb_audioType->currentIndex());
        s.setValue(QStringLiteral("samplerate"), ui->cb_samplerate->currentText().trimmed());
        s.setValue(QStringLiteral("netAdapterHardAddr"), rec.mac);
        s.setValue(QStringLiteral("netAdapterIpAddr"), rec.ip);
        s.sync();
        g_ctl.addrWarningShown = false;
        g_ctl.curChNum = g_ctl.routeChNum = chNum;
        g_ctl.sampleRate = ui->cb_samplerate->currentText().toInt();
        g_ctl.bufMs = bufMsOf(ui->cb_audioType->currentIndex());
        g_myClkId.store(ClockId_fromMac(rec.mac));
        qDebug() << "start selected channel" << "index:" << ui->cb_chnum->currentIndex()
                 << "text:" << ui->cb_chnum->currentText() << "koChNum:" << g_dev.phyRx
                 << "curSelectChNum:" << g_ctl.curChNum << "sampleRate:" << g_ctl.sampleRate
                 << "audioType:" << ui->cb_audioType->currentIndex();
    }
    setChoicesEnabled(false);
    ui->pb_start->setEnabled(false);
    if (running_) {
        setStartStyle(true, tr("停止中..."));
        g_ctl.diag.store(false);
        g_ctl.startState.store(STATE_STOPPED);
        g_ctl.command.store(CMD_STOP);
    } else {
        setStartStyle(false, tr("启动中..."));
        g_ctl.startIp = Ip_fromDotted(adapters_[ui->cb_net->currentIndex()].ip);
        g_dev.ip = g_ctl.startIp;
        g_ctl.startState.store(STATE_STARTED);
        g_ctl.command.store(CMD_START);
    }
    running_ = !running_;
}

void MainWindow::threadFinished(int step) {
    qDebug() << "threadFinished step" << step;
    if (shutDown_)
        return;
    if (step == 2 || step == 4) {
        running_ = true;
        setStartStyle(true, tr("停止"));
        setChoicesEnabled(false);
        if (g_ctl.bufMs != 0) {
            ui->pb_start->setEnabled(true);
        } else if (g_ctl.routeChNum >= 1) {
            // The driver's endpoints come up in their own thread; Stop waits for it.
            ui->pb_start->setEnabled(false);
            auto* w = new AudioEnableEndpointWorker(ctx_.progDir, g_ctl.routeChNum, g_ctl.sampleRate, &g_ctl.startState);
            connect(w, &AudioEnableEndpointWorker::signalEndpointWaiting, this, &MainWindow::slot_audioEndpointWaiting);
            connect(w, &AudioEnableEndpointWorker::signalEndpointProgress, this, &MainWindow::slot_audioEndpointProgress);
            connect(w, &AudioEnableEndpointWorker::signalEndpointFinished, this, &MainWindow::slot_audioEndpointFinished);
            connect(w, &QThread::finished, w, &QObject::deleteLater);
            w->start(QThread::InheritPriority);
        }
    } else if (step == 1 || step == 3) {
        if (g_ctl.startState.load() != STATE_INIT && g_ctl.bufMs == 0) endpointShutdown();
        running_ = false;
        setStartStyle(false, tr("开启"));
        ui->pb_start->setEnabled(true);
        setChoicesEnabled(true);
    }
    chMax_ = qMax(chMax_, g_ctl.routeChNum);
    if (g_ctl.routeChNum < 1) {
        // A started card without channels is stopped again; after the initialisation or a
        // stop there is nothing to undo (starting here would loop start and stop).
        if (step == 2 || step == 4)
            on_pb_start_clicked();
        // The stop that follows a failed start has nothing new to say.
        if (step != 3)
            info(startFailureText());
    } else {
        rebuildChoices();
    }
    ui->lab_vscname->setText(RouteFile_deviceName(ctx_.dataDir + QLatin1String("/_route"), QHostInfo::localHostName()));
    if (step == 1 && autoServicePending_) {
        if (QSettings(ctx_.settingsPath(), QSettings::IniFormat).value(QStringLiteral("autoService")).toString() ==
            QLatin1String("1")) {
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 1000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            on_pb_start_clicked();
        }
    }
}

void MainWindow::rebuildChoices() {
    QSettings s(ctx_.settingsPath(), QSettings::IniFormat);
    const Choices c = Choices_fromSettings(s, chMax_);
    const QSignalBlocker b1(ui->cb_chnum), b2(ui->cb_samplerate), b3(ui->cb_audioType);
    ui->cb_chnum->clear();
    ui->cb_chnum->addItems(c.channels);
    ui->cb_chnum->setCurrentIndex(c.chIndex);
    g_ctl.curChNum = ChText_count(ui->cb_chnum->currentText());
    ui->cb_samplerate->setCurrentIndex(c.rateIndex);
    g_ctl.sampleRate = ui->cb_samplerate->currentText().toInt();
    ui->cb_audioType->setCurrentIndex(c.audioType);
    g_ctl.bufMs = bufMsOf(c.audioType);
    selMac_ = s.value(QStringLiteral("netAdapterHardAddr")).toString();
    selIp_ = s.value(QStringLiteral("netAdapterIpAddr")).toString();
}

void MainWindow::testShowTips() {
    if (g_ctl.diag.load())
        ui->lab_tips->setText(QStringLiteral("NoFit"));
    else if (!ui->lab_tips->text().contains(QLatin1String("2.")))
        ui->lab_tips->clear();
}

// ---- the endpoint worker's progress (the worker itself comes with the endpoint control) ----

// A stop with the "WDM" interface: the endpoints off, then the driver restarted.
void MainWindow::endpointShutdown() {
    const int ch = g_ctl.curChNum;
    // Events are processed while the tools run: no second press may start anything meanwhile.
    ui->pb_start->setEnabled(false);
    auto show = [&](int n) {
        ui->pb_start->setText(tr2("关闭通道中 %1/%2", "Closing Channel %1/%2").arg(qMin(n, ch)).arg(ch));
        QCoreApplication::processEvents();
    };
    show(Endpoint_count(QStringLiteral("DISABLED")));
    QElapsedTimer t;
    t.start();
    const ToolResult r = VelunorCh_run(ctx_.progDir, true, g_ctl.sampleRate, ch, [&](int n) { show(n); });
    qDebug() << "audioDisableEndpoint use time " << t.elapsed() / 1000.0;
    const int disabled = Endpoint_count(QStringLiteral("DISABLED"));
    show(disabled);
    qDebug() << "audioDisableEndpoint result" << "singleSuccess:" << r.success << "changedCount:" << r.changed
             << "targetCount:" << ch << "detectedDisabledCount:" << disabled << "endpointStateSuccess:" << (disabled >= ch)
             << "singleMessage:" << r.message;
    if (disabled < ch) {
        qWarning() << "audioDisableEndpoint state check failed";
        info(tr2("关闭虚拟声卡通道失败，请检查驱动状态后重试",
                 "Failed to close virtual sound card channels. Please check the driver status and try again."));
    }
    ui->pb_start->setText(tr2("关闭驱动中...", "Disabling Driver..."));
    QCoreApplication::processEvents();
    Driver_disable(ctx_.progDir);
    ui->pb_start->setText(tr2("恢复驱动中...", "Enabling Driver..."));
    QCoreApplication::processEvents();
    Driver_enable(ctx_.progDir);
    g_ctl.nextStartTime = QDateTime::currentSecsSinceEpoch() + ch / 2;
    qDebug() << "next start allowed at" << g_ctl.nextStartTime << "channels:" << ch;
}

void MainWindow::slot_audioEndpointWaiting(bool isEnable, int seconds, int retryIndex, int) {
    if (isEnable && seconds > 0 && retryIndex <= 0 && g_ctl.startState.load() == STATE_STARTED) {
        ui->pb_start->setEnabled(false);
        ui->pb_start->setText(tr2("等待启动 %1", "Waiting Start %1").arg(seconds));
    }
}

void MainWindow::slot_audioEndpointProgress(bool isEnable, int count) {
    count = qMin(count, g_ctl.curChNum);
    if (isEnable) {
        if (g_ctl.startState.load() != STATE_STARTED)
            return;
        ui->pb_start->setEnabled(false);
        ui->pb_start->setText(tr2("启动通道中 %1/%2", "Starting Channel %1/%2").arg(count).arg(g_ctl.curChNum));
    } else {
        ui->pb_start->setEnabled(false);
        ui->pb_start->setText(tr2("关闭通道中 %1/%2", "Closing Channel %1/%2").arg(count).arg(g_ctl.curChNum));
    }
}

void MainWindow::slot_audioEndpointFinished(bool isEnable, bool, const QString&) {
    if (isEnable && g_ctl.startState.load() == STATE_STARTED) {
        ui->pb_start->setText(tr2("停止", "Stop"));
        ui->pb_start->setEnabled(true);
    }
}

// ---- the route service ----

void MainWindow::slot_route_start(unsigned ip) {
    qDebug().noquote() << "slot_route_start called in main thread for ip:" << Ip_toDotted(ip);
    if (shutDown_)
        return;
    RouteParams p;
    p.sampleRate = g_ctl.sampleRate;
    p.chNum = g_ctl.routeChNum;
    p.ip = ip;
    p.domain = g_ctl.domain;
    p.devId = devId_;
    p.chMax = qMax(2, chMax_);
    p.bufMs = g_ctl.bufMs;
    const QStringList args = RouteArgs_build(p);
    if (!route_->start(args)) {
        qDebug().noquote() << QStringLiteral("file=mainwindow func=slot_route_start line=%1 \n").arg(__LINE__);
        return;
    }
    qDebug() << "route process assigned to job" << "pid:" << route_->pid();
    qDebug().noquote() << route_->program() << "(" + args.join(QLatin1String(", ")) + ")";
}

void MainWindow::slot_route_stop() {
    qDebug() << "slot_route_stop called in main thread";
    route_->stop();
}

// ---- tray, language, closing ----

void MainWindow::slot_trayIcon_showMainWindow() {
    showNormal();
    activateWindow();
}

void MainWindow::slot_trayIcon_actived(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick)
        slot_trayIcon_showMainWindow();
}

void MainWindow::slot_trayIcon_quitApp() { quitPath(); }

void MainWindow::on_language_bt_clicked() { applyLanguage(!chinese_); }

void MainWindow::applyLanguage(bool chinese) {
    chinese_ = chinese;
    QCoreApplication::removeTranslator(&zh_);
    QCoreApplication::removeTranslator(&en_);
    // A missing translation file sends no language change: retranslate here as well.
    QCoreApplication::installTranslator(chinese ? &zh_ : &en_);
    retranslate();
    QSettings(ctx_.languagePath(), QSettings::IniFormat)
        .setValue(QStringLiteral("Langue"), chinese ? QStringLiteral("chs") : QStringLiteral("en"));
}

void MainWindow::changeEvent(QEvent* e) {
    if (e->type() == QEvent::LanguageChange)
        retranslate();
    QMainWindow::changeEvent(e);
}

void MainWindow::retranslate() {
    {
        const QString tips = ui->lab_tips->text();
        const bool enabled = ui->pb_start->isEnabled();
        const QString startText = ui->pb_start->text();
        ui->retranslateUi(this);
        qDebug() << "language" << chinese_;
        // Texts the form does not own: the initialising text stays until the first step.
        if (startText == QLatin1String("初始化中...") || startText == QLatin1String("Initializing..."))
            setStartStyle(false, tr2("初始化中...", "Initializing..."));
        else
            setStartStyle(running_, running_ ? tr("停止") : tr("开启"));
        ui->pb_start->setEnabled(enabled);
        if (!tips.contains(QLatin1String("2.")))
            ui->lab_tips->setText(tips);
        ui->ver_lab->setText(ctx_.version);
        ui->build_lab->setText(ctx_.buildCode);
        ui->title_lab->setText(ctx_.titleName);
        QMenu* menu = tray_->contextMenu();
        menu->clear();
        connect(menu->addAction(tr2("显示主窗口", "Open")), &QAction::triggered, this,
                &MainWindow::slot_trayIcon_showMainWindow);
        menu->addSeparator();
        connect(menu->addAction(tr2("退出", "Quit")), &QAction::triggered, this, &MainWindow::slot_trayIcon_quitApp);
    }
}

bool MainWindow::refuseClose() {
    const char* why = nullptr;
    if (g_ctl.startState.load() == STATE_STARTED)
        why = QT_TR_NOOP("请先停止运行再关闭程序");
    else if (g_ctl.command.load() != CMD_NONE)
        why = QT_TR_NOOP("请等程序执行完毕再关闭");
    if (!why)
        return false;
    showNormal();
    activateWindow();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    info(tr(why));
    return true;
}

void MainWindow::quitPath() {
    if (refuseClose())
        return;
    shutdown();
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent* e) {
    e->ignore();
    qDebug() << "close startSstate " << g_ctl.startState.load();
    if (QSettings(ctx_.settingsPath(), QSettings::IniFormat).value(QStringLiteral("closeFunction")).toString() ==
        QLatin1String("hide")) {
        hide();
        return;
    }
    quitPath();
}

void MainWindow::shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    // The worker's route signals are cut before it is told to quit: its last act is to
    // ask for a route stop, and a blocking request made while this thread waits for the
    // worker would hold both for the whole wait (and the window would then destroy a
    // running thread).
    watchTimer_.stop();
    if (worker_)
        disconnect(worker_, nullptr, this, nullptr);
    g_ctl.quit.store(true);
    slot_route_stop();
    if (udpThread_ && udpThread_->isRunning()) {
        udpThread_->quit();
        if (!udpThread_->wait(3000))
            qWarning() << "udp worker thread quit timeout";
    }
    if (worker_ && worker_->isRunning()) {
        // A request the worker posted before the cut is served while waiting.
        QElapsedTimer t;
        t.start();
        while (!worker_->wait(20) && t.elapsed() < 3000)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (worker_->isRunning()) {
            qWarning() << "main worker thread quit timeout";
            worker_->setParent(nullptr); // never destroy a running thread; the process ends it
        }
    }
}
