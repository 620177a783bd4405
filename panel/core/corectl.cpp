#include "panel/core/corectl.h"

#include <QLibrary>
#include <QMutex>
#include <QProcess>
#include <QStringList>

namespace {
using AaMain = int (*)(int, char**);
using AaGetBuf = const char* (*)();
// The library keeps its output in one buffer: one command at a time.
QMutex g_coreLock;
} // namespace

bool Core_run(const QString& libDir, const QString& cmd, QByteArray* out) {
    out->clear();
    static const QLatin1String prefix("VelunorCore.exe");
    if (!cmd.startsWith(prefix)) {
        QProcess p;
        p.setWorkingDirectory(libDir);
        QStringList args = QProcess::splitCommand(cmd);
        if (args.isEmpty())
            return false;
        const QString prog = args.takeFirst();
        p.start(prog, args);
        if (!p.waitForStarted(30000))
            return false;
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished(1000);
            return false;
        }
        *out = p.readAllStandardOutput().left(kCoreOutMax - 1);
        return p.exitStatus() == QProcess::NormalExit;
    }
    QMutexLocker lock(&g_coreLock);
    QLibrary lib(libDir + QLatin1String("/libVelunorCore.so"));
    if (!lib.load())
        return false;
    auto aaMain = reinterpret_cast<AaMain>(lib.resolve("aa_main"));
    auto aaGetBuf = reinterpret_cast<AaGetBuf>(lib.resolve("aa_getBuf_recv"));
    if (!aaMain || !aaGetBuf) {
        lib.unload();
        return false;
    }
    // At most 1023 bytes, split at spaces into at most 10 words.
    QByteArray line = cmd.toUtf8().left(1023);
    QList<QByteArray> words = line.split(' ');
    words.removeAll(QByteArray());
    while (words.size() > 10)
        words.removeLast();
    char* argv[11] = {};
    for (int i = 0; i < words.size(); ++i)
        argv[i] = words[i].data();
    aaMain(int(words.size()), argv);
    const char* buf = aaGetBuf();
    if (buf)
        *out = QByteArray(buf, int(qstrnlen(buf, kCoreOutMax - 1)));
    lib.unload();
    return true;
}

QString Core_value(const QByteArray& out, const char* key) {
    const QByteArray pat = QByteArray("\"") + key + "\":\"";
    const int at = out.indexOf(pat);
    if (at < 0)
        return QString();
    const int from = at + pat.size();
    const int end = out.indexOf('"', from);
    return QString::fromUtf8(out.mid(from, end < 0 ? -1 : end - from));
}

int Core_valueInt(const QByteArray& out, const char* key) {
    bool ok = false;
    const int v = Core_value(out, key).trimmed().toInt(&ok);
    return ok ? v : -1;
}
