#include "panel/tipsdialog.h"

#include "ui_tipsdialog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMessageBox>
#include <QProcess>

void Panel_showWinVer() {
    const QString prog = QCoreApplication::applicationDirPath() + QLatin1String("/winver");
    if (!QProcess::startDetached(prog, {}))
        qDebug().noquote() << QStringLiteral("file=tipsdialog func=Panel_showWinVer line=%1 \n").arg(__LINE__);
}

TipsDialog::TipsDialog(QWidget* parent) : QDialog(parent), ui(new Ui::TipsDialog) { ui->setupUi(this); }

TipsDialog::~TipsDialog() { delete ui; }

void TipsDialog::on_winVer_bt_clicked() { Panel_showWinVer(); }

void Panel_info(QWidget* parent, const QString& title, const QString& text) {
    qInfo().noquote() << "message box:" << text;
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}
