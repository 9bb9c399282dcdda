#include "support/TestUtil.h"

#include "net/Platform.h"

#include <QDir>
#include <QFile>

TempAppDir::TempAppDir() {
    platform::setAppDir(m_dir.path());
}

TempAppDir::~TempAppDir() {
    platform::setAppDir(QString());
}

QString TempAppDir::file(const QString& name) const {
    return QDir(m_dir.path()).filePath(name);
}

QByteArray TempAppDir::read(const QString& name) const {
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void TempAppDir::write(const QString& name, const QByteArray& content) const {
    QFile f(file(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(content);
}

QStringList TempAppDir::logEntries() const {
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

FixedClock::FixedClock(const QDateTime& when) {
    platform::setClock([when] { return when; });
}

FixedClock::~FixedClock() {
    platform::setClock(nullptr);
}
