// Process-wide values settled by main before the window is built.
#pragma once
#include <QString>

struct PanelContext {
    QString titleName = QStringLiteral("Virtual Sound Card");
    QString version = QStringLiteral("V3.3.0.9");
    QString buildCode = QStringLiteral("1006210026");
    bool canSwitchLanguage = true;
    double adjScale = 1.0;
    double adjFontScale = 1.0;
    QString progDir;      // the panel's program directory (VelunorRoute, tools, .qm files)
    QString configDir;    // UserConfig.ini and UserSettings.ini
    QString dataDir;      // the local folder of "C:/ProgramData/VelunorNetSndCard"
    QString settingsPath() const { return configDir + QLatin1String("/UserSettings.ini"); }
    QString languagePath() const { return configDir + QLatin1String("/UserConfig.ini"); }
};
