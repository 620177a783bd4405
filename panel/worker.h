// The control worker: takes the window's commands and runs them in order, so that the
// engine commands (which may take seconds) never hold up the window.
#pragma once
#include <QString>
#include <QThread>

class Worker : public QThread {
    Q_OBJECT
public:
    // progDir: where VelunorCore lives; dataDir: the shared data folder (holds _ko).
    Worker(const QString& progDir, const QString& dataDir, QObject* parent = nullptr);

signals:
    void taskFinished(int step);
    void testUpdateTips();
    void signal_route_start(unsigned ip);
    void signal_route_stop();

protected:
    void run() override;

private:
    bool core(const QString& cmd, QByteArray* out);
    void Dev_readKo();
    bool Dev_writeKo(quint32 ip, int chNum, int rate);
    bool Dev_start(quint32 ip, int rate);
    bool Dev_stop();
    void global_start();

    QString progDir_, dataDir_;
};
