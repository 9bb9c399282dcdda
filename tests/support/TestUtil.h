#pragma once
// Helpers shared by the tests.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTemporaryDir>

// Points the gateway's files (pktgate.cfg, error.log) at a fresh temporary directory for the
// lifetime of the object, and restores the executable's directory afterwards.
class TempAppDir {
public:
    TempAppDir();
    ~TempAppDir();
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const;
    QByteArray read(const QString& name) const;
    void write(const QString& name, const QByteArray& content) const;
    // The lines of error.log without their date and time: `"Tag Detail"` for each entry.
    QStringList logEntries() const;

private:
    QTemporaryDir m_dir;
};

// Fixes the clock for the lifetime of the object.
class FixedClock {
public:
    explicit FixedClock(const QDateTime& when);
    ~FixedClock();
};
