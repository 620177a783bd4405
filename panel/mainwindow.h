#pragma once
#include "panel/core/adapters.h"
#include "panel/panelcontext.h"

#include <QMainWindow>
#include <QPoint>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTranslator>

namespace Ui {
class MainWindow;
}
class QThread;
class RouteSupervisor;
class SettingDialog;
class Worker;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const PanelContext& ctx, QWidget* parent = nullptr);
    ~MainWindow() override;

public slots:
    void on_pb_start_clicked();
    void on_bt_showWinVer_clicked();
    void on_pb_setting_clicked();
    void threadFinished(int step);
    void testShowTips();
    void slot_audioEndpointWaiting(bool isEnable, int seconds, int retryIndex, int retryCount);
    void slot_audioEndpointProgress(bool isEnable, int count);
    void slot_audioEndpointFinished(bool isEnable, bool success, const QString& message);
    void on_cb_chnum_currentIndexChanged(int index);
    void on_cb_net_currentIndexChanged(int index);
    void on_cb_audioType_currentIndexChanged(int index);
    void slot_trayIcon_showMainWindow();
    void slot_trayIcon_quitApp();
    void slot_trayIcon_actived(QSystemTrayIcon::ActivationReason reason);
    void slot_route_start(unsigned ip);
    void slot_route_stop();

private:
    void endpointShutdown();

public slots:
    void on_language_bt_clicked();
    void on_close_bt_clicked();
    void on_min_bt_clicked();
    void on_home_bt_clicked();
    void on_tip_bt_clicked();

protected:
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    void buildFrame();
    void buildTray();
    void watchAdapters();
    void applyLanguage(bool chinese);
    void retranslate();
    void rebuildChoices();
    void setStartStyle(bool runningStyle, const QString& text);
    void setChoicesEnabled(bool on);
    void showPage(bool home);
    void scaleWidgets();
    void quitPath();
    void shutdown();
    bool refuseClose();
    QString startFailureText();
    void info(const QString& text);
    void logGeometry();
    QString tr2(const char* zh, const char* en) const;

    PanelContext ctx_;
    Ui::MainWindow* ui;
    SettingDialog* settings_ = nullptr;
    QString devId_;
    int cfgVersion_ = 1;
    bool running_ = false;
    bool chinese_ = false;
    QList<AdapterRecord> adapters_;
    QString selMac_, selIp_;
    bool adapterLost_ = false;
    int chMax_ = 2;
    bool autoServicePending_ = true;
    bool shutDown_ = false;
    QTranslator zh_, en_;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer watchTimer_;
    Worker* worker_ = nullptr;
    QThread* udpThread_ = nullptr;
    RouteSupervisor* route_ = nullptr;
    QPoint dragOffset_;
    bool dragging_ = false;
};
