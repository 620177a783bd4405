// VelunorLinkVSC: the control panel of the virtual sound card.
#include "panel/core/appconfig.h"
#include "panel/core/autostart.h"
#include "panel/mainwindow.h"
#include "panel/panelcontext.h"
#include "panel/tipsdialog.h"
#include "platform/paths.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkProxy>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <cstdio>
#include <cstring>

// The settings live beside the program; an installation the user cannot write to keeps
// them in the user's configuration folder instead.
static QString configDir(const QString& progDir) {
    if (QFileInfo(progDir).isWritable())
        return progDir;
    const QString d = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(d);
    return d;
}

static const char kHelp[] =
    "usage: velunor-link\n"
    "The control panel of the Velunor Link virtual network sound card (VelunorLinkVSC): choose the\n"
    "wired network adapter, the sample rate, the channel count and the audio interface (\"WDM\": the\n"
    "card's ALSA devices velunor_out_NN / velunor_in_NN; or an ASIO buffer time), then Start. The\n"
    "panel runs the route service VelunorRoute while the card is started and ends it on Stop.\n"
    "\n"
    "It needs the driver host service (systemctl status velunor-kernel) and a user in group audio.\n"
    "Settings: ~/.config/VelunorLinkVSC when the program folder is not writable; the card's files\n"
    "under $VELUNOR_ROOT (default /var/lib/velunor), run-time objects under $VELUNOR_RUNDIR\n"
    "(default /run/velunor). Only one panel runs at a time.\n";

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);

    PanelContext ctx;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize logical = screen->geometry().size();
        const double dpr = screen->devicePixelRatio();
        const DisplayScale d = DisplayScale_compute(int(logical.width() * dpr), int(logical.height() * dpr),
                                                    logical.width(), logical.height());
        ctx.adjScale = d.adjScale;
        ctx.adjFontScale = d.adjFontScale;
        qDebug() << "======= cx:" << d.cx << ", cy:" << d.cy << ", adjScale:" << d.adjScale;
        qDebug() << "adjFontScale:" << d.adjFontScale << "winScal:" << d.winScal;
    }

    QLockFile lock(QDir::tempPath() + QLatin1Char('/') +
                   QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() + QLatin1String(".lock"));
    if (!lock.tryLock(100)) {
        Panel_info(nullptr, QStringLiteral("Tips"), QStringLiteral("Program is running!"));
        return 0;
    }

    ctx.progDir = QCoreApplication::applicationDirPath();
    ctx.configDir = configDir(ctx.progDir);
    char data[1024];
    if (Paths_resolve("C:/ProgramData/VelunorNetSndCard", data, sizeof data))
        ctx.dataDir = QString::fromUtf8(data);
    QDir().mkpath(ctx.dataDir);

    AppConfig cfg;
    QStringList cfgLog;
    AppConfig_load(ctx.progDir + QLatin1String("/appConfig.txt"), cfg, &cfgLog);
    for (const QString& l : cfgLog)
        qDebug().noquote() << l;
    ctx.titleName = cfg.titleName;
    ctx.canSwitchLanguage = cfg.canSwitchLanguage;

    AutoStart_migrate(AutoStart_env(),
                      QSettings(ctx.settingsPath(), QSettings::IniFormat).value(QStringLiteral("autoStart")).toString());

    MainWindow w(ctx);
    w.setWindowTitle(ctx.titleName);
    w.show();
    return app.exec();
}
