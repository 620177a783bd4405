#pragma once
#include <QSettings>
#include <QWidget>

namespace Ui {
class SettingDialog;
}

// The settings page: close behaviour, start at log-on, start of the card after start-up,
// the PTP domain, and the repair of the device name.
class SettingDialog : public QWidget {
    Q_OBJECT
public:
    // settingsPath: UserSettings.ini; routeFile: the route file (local path).
    SettingDialog(const QString& settingsPath, const QString& routeFile, QWidget* parent = nullptr);
    ~SettingDialog() override;

protected:
    void changeEvent(QEvent* e) override;

private slots:
    void on_rb_exit_clicked();
    void on_rb_hide_clicked();
    void on_cb_bootToStart_stateChanged(int state);
    void on_cb_startToRun_stateChanged(int state);
    void on_pb_save_clicked();
    void on_pb_fixName_clicked();
    void on_sb_domain_valueChanged(int value);

private:
    void notice(const QString& text);

    Ui::SettingDialog* ui;
    QString settingsPath_, routeFile_;
    bool hide_ = false, bootToStart_ = false, startToRun_ = false;
};
