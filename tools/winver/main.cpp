// winver: shows the name and version of the running system, from /etc/os-release and
// uname, in a small window; --print writes the same text to standard output.
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QTextStream>
#include <QVBoxLayout>
#include <cstring>
#include <sys/utsname.h>

static QString osRelease(const char* key) {
    QFile f(QStringLiteral("/etc/os-release"));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray want = QByteArray(key) + '=';
    for (const QByteArray& line : f.read(64 * 1024).split('\n')) {
        if (line.startsWith(want)) {
            QByteArray v = line.mid(want.size()).trimmed();
            if (v.size() >= 2 && (v.startsWith('"') || v.startsWith('\'')) && v.endsWith(v[0]))
                v = v.mid(1, v.size() - 2);
            return QString::fromUtf8(v);
        }
    }
    return QString();
}

static QString describe() {
    QString name = osRelease("PRETTY_NAME");
    if (name.isEmpty())
        name = osRelease("NAME");
    struct utsname u;
    QString kernel;
    if (uname(&u) == 0)
        kernel = QStringLiteral("%1 %2 (%3)").arg(QString::fromUtf8(u.sysname), QString::fromUtf8(u.release),
                                                  QString::fromUtf8(u.machine));
    return QStringLiteral("%1\nVersion %2\nKernel %3")
        .arg(name.isEmpty() ? QStringLiteral("Unknown system") : name,
             osRelease("VERSION_ID").isEmpty() ? QStringLiteral("-") : osRelease("VERSION_ID"), kernel);
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--print") == 0) {
        QTextStream(stdout) << describe() << '\n';
        return 0;
    }
    QApplication app(argc, argv);
    QDialog d;
    d.setWindowTitle(QStringLiteral("About this system"));
    auto* lay = new QVBoxLayout(&d);
    auto* text = new QLabel(describe(), &d);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lay->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &d);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
    lay->addWidget(buttons);
    d.resize(420, 160);
    d.exec();
    return 0;
}
