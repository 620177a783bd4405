// Start-up values of the control panel: appConfig.txt, the display scale, the
// device identity and the bounded reads of UserSettings.ini.
#pragma once
#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QStringList>

// appConfig.txt is read only up to this many bytes; a bigger file is treated as its
// first part (a huge or binary file must not stall start-up).
constexpr qint64 kAppConfigMaxBytes = 64 * 1024;

struct AppConfig {
    QString titleName = QStringLiteral("Virtual Sound Card");
    bool canSwitchLanguage = true;
};

// Applies the "key=value" lines of text to cfg; every pair is appended to log (may be null)
// as "Key: K Value: V".
void AppConfig_parse(const QByteArray& text, AppConfig& cfg, QStringList* log);
// Reads the file (missing or unreadable: defaults stay).
void AppConfig_load(const QString& path, AppConfig& cfg, QStringList* log);

struct DisplayScale {
    int cx = 0, cy = 0;   // logical size after the 16:9 clip
    double winScal = 1.0; // physical / logical width
    double adjScale = 1.0;
    double adjFontScale = 1.0;
};
// physW/physH: the primary screen in device pixels; logW/logH: its logical size.
DisplayScale DisplayScale_compute(int physW, int physH, int logW, int logH);

// UserSettings.ini values that index lists: a value outside the list gives the default.
int Settings_audioType(const QSettings& s);  // 0..5, default 0
int Settings_domain(const QSettings& s);     // 0..127, default 0
int Settings_chnum(const QSettings& s, int entries); // -1 = last entry, else 0..entries-1
int Settings_samplerateIndex(const QSettings& s);    // 0, 1, 2 for 48000, 96000, 192000

// The device identity and configuration generation, settled once per window.
struct DevIdResult {
    QString devId;
    int cfgVersion = 1;
    QStringList log;
};
// devIdPath: the _devId file; machineId: a stable identifier text of this computer.
DevIdResult DevId_settle(QSettings& s, const QString& devIdPath, const QByteArray& machineId);
// "rEduVuzi-%08x" from the MD5 of the first 511 bytes of machineId.
QString DevId_fromMachineId(const QByteArray& machineId);
// /etc/machine-id (or the D-Bus copy), empty when neither can be read.
QByteArray DevId_machineId();
// A devId the route service can carry: 1 to 63 bytes, no control characters.
bool DevId_valid(const QString& id);

// Replaces path with data atomically (temporary file beside it, flushed, renamed);
// creates the folder first.
bool File_writeAtomic(const QString& path, const QByteArray& data);

// The choice lists as rebuilt from the channel maximum and the stored choices.
struct Choices {
    QStringList channels; // "2x2", ...
    int chIndex = 0;
    int rateIndex = 0;  // of 48000, 96000, 192000
    int audioType = 0;  // of WDM, ASIO-2ms, ... ASIO-8ms
};
Choices Choices_fromSettings(const QSettings& s, int chMax);
