#pragma once
#include <QDialog>

namespace Ui {
class TipsDialog;
}

// The three hints, with a button that shows the system's version.
class TipsDialog : public QDialog {
    Q_OBJECT
public:
    explicit TipsDialog(QWidget* parent = nullptr);
    ~TipsDialog() override;

private slots:
    void on_winVer_bt_clicked();

private:
    Ui::TipsDialog* ui;
};

// Starts the winver program beside the panel, detached.
void Panel_showWinVer();
// An information box with one OK button; its text is logged first, so that the log
// tells what the user was shown.
void Panel_info(QWidget* parent, const QString& title, const QString& text);
