#include "panel/settingdialog.h"

#include "panel/core/appconfig.h"
#include "panel/core/autostart.h"
#include "panel/core/routefile.h"
#include "panel/tipsdialog.h"
#include "ui_settingdialog.h"

#include <QDebug>
#include <QEvent>
#include <QHostInfo>

SettingDialog::SettingDialog(const QString& settingsPath, const QString& routeFile, QWidget* parent)
    : QWidget(parent), ui(new Ui::SettingDialog), settingsPath_(settingsPath), routeFile_(routeFile) {
    ui->setupUi(this);
    QSettings s(settingsPath_, QSettings::IniFormat);
    hide_ = s.value(QStringLiteral("closeFunction")).toString() == QLatin1String("hide");
    bootToStart_ = s.value(QStringLiteral("autoStart")).toString() == QLatin1String("1");
    startToRun_ = s.value(QStringLiteral("autoService")).toString() == QLatin1String("1");
    (hide_ ? ui->rb_hide : ui->rb_exit)->setChecked(true);
    ui->cb_bootToStart->setChecked(bootToStart_);
    ui->cb_startToRun->setChecked(startToRun_);
    const QSignalBlocker block(ui->sb_domain);
    ui->sb_domain->setValue(Settings_domain(s));
}

SettingDialog::~SettingDialog() { delete ui; }

void SettingDialog::changeEvent(QEvent* e) {
    if (e->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
    QWidget::changeEvent(e);
}

void SettingDialog::on_rb_exit_clicked() {
    qDebug() << "rb exit clicked";
    hide_ = false;
}

void SettingDialog::on_rb_hide_clicked() {
    qDebug() << "rb hid clicked";
    hide_ = true;
}

void SettingDialog::on_cb_bootToStart_stateChanged(int state) {
    qDebug() << "bootToStart statechanged" << state;
    bootToStart_ = state == Qt::Checked;
}

void SettingDialog::on_cb_startToRun_stateChanged(int state) {
    qDebug() << "startToRun statechanged" << state;
    startToRun_ = state == Qt::Checked;
}

void SettingDialog::on_sb_domain_valueChanged(int value) {
    QSettings s(settingsPath_, QSettings::IniFormat);
    s.setValue(QStringLiteral("domain"), value);
}

void SettingDialog::notice(const QString& text) { Panel_info(this, tr("提示"), text); }

void SettingDialog::on_pb_save_clicked() {
    qDebug() << "pb save clicked";
    const QString close = hide_ ? QStringLiteral("hide") : QStringLiteral("exit");
    const QString autoStart = bootToStart_ ? QStringLiteral("1") : QStringLiteral("0");
    const QString autoService = startToRun_ ? QStringLiteral("1") : QStringLiteral("0");
    {
        QSettings s(settingsPath_, QSettings::IniFormat);
        s.setValue(QStringLiteral("closeFunction"), close);
        s.setValue(QStringLiteral("autoStart"), autoStart);
        s.setValue(QStringLiteral("autoService"), autoService);
        s.sync();
    }
    qDebug() << "closeFunction:" << close << ", autoStart:" << autoStart << ", autoService:" << autoService;
    if (AutoStart_set(AutoStart_env(), bootToStart_))
        notice(tr("保存成功"));
    else
        notice(tr("设置开机自启动失败，可能是权限不足或被杀毒软件拦截，请稍后重试或联系技术支持。"));
}

void SettingDialog::on_pb_fixName_clicked() {
    qDebug() << "pb fixName clicked";
    QString oldText, newText;
    switch (RouteFile_repairName(routeFile_, QHostInfo::localHostName(), &oldText, &newText)) {
    case RepairNoFile:
        qDebug() << "Route file not exists";
        notice(tr("修复失败，没有找到配置文件"));
        break;
    case RepairParseError:
        qDebug() << "Route file exists" << "oldConfigStr" << oldText.left(4096);
        notice(tr("修复失败，解析配置文件错误"));
        break;
    case RepairWriteError:
        notice(tr("修复失败，覆写文件错误"));
        break;
    case RepairOk:
        qDebug() << "Route file exists" << "oldConfigStr" << oldText.left(4096) << "newConfigStr" << newText;
        notice(tr("修复成功，重启软件生效"));
        break;
    }
}
