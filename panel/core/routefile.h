// The device name in the route file, as the main window shows it and as the settings
// page repairs it.
#pragma once
#include <QString>

// The route file is read only up to this size; the route service writes a few KiB.
constexpr qint64 kRouteFileMaxBytes = 4 * 1024 * 1024;

// The name to show: the member "name"; "ErrName1" when the file is not a JSON object,
// "ErrName2" when it cannot be read, "ErrName3" when it is missing and cannot be made.
// A missing file is created with only {"name": "vsc-<host>"} and the name is then empty.
QString RouteFile_deviceName(const QString& path, const QString& hostName);

enum RepairResult { RepairOk, RepairNoFile, RepairParseError, RepairWriteError };
// Sets "name" to "vsc-<host>", keeping every other member; the file is replaced atomically.
RepairResult RouteFile_repairName(const QString& path, const QString& hostName, QString* oldText, QString* newText);
