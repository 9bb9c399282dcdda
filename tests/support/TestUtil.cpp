#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

QString TempDir::file(const QString& name) const {
    return QDir(m_dir.path()).filePath(name);
}

QByteArray TempDir::read(const QString& name) const {
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void TempDir::write(const QString& name, const QByteArray& content) const {
    QFile f(file(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(content);
}

QStringList TempDir::logEntries() const {
    // Each entry is `"DD-MMM-YYYY HHnn Tag Detail"` CR LF; details may hold line breaks.
    QStringList out;
    const QString all = QString::fromLatin1(read(QStringLiteral("error.log")));
    const QStringList entries = all.split(QStringLiteral("\"\r\n"), Qt::SkipEmptyParts);
    for (QString e : entries) {
        if (e.startsWith(QLatin1Char('"'))) e.remove(0, 1);
        // drop "DD-MMM-YYYY HHnn "
        const int first = e.indexOf(QLatin1Char(' '));
        const int second = first < 0 ? -1 : e.indexOf(QLatin1Char(' '), first + 1);
        out << (second < 0 ? e : e.mid(second + 1));
    }
    return out;
}

bool waitUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}
