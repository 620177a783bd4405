// Commands for the driver-side engine through VelunorCore. A command that starts with
// "VelunorCore.exe" runs in process through the library libVelunorCore.so (exports
// aa_main and aa_getBuf_recv) from the program directory; any other command line is run
// as a program, and its standard output is the output.
#pragma once
#include <QByteArray>
#include <QString>

constexpr int kCoreOutMax = 1024; // the caller's output buffer

// Runs cmd; false (and empty output) when the library or an export is missing, or the
// program did not run. libDir: where libVelunorCore.so and programs are looked for.
bool Core_run(const QString& libDir, const QString& cmd, QByteArray* out);

// The value after "key":" in out, up to the next double quote; empty when absent.
QString Core_value(const QByteArray& out, const char* key);
// The same as a decimal integer, -1 when absent or not a number.
int Core_valueInt(const QByteArray& out, const char* key);
