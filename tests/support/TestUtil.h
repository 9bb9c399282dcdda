#pragma once
// Helpers shared by the tests.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

// A fresh temporary directory for the gateway's files (pktgate.cfg, error.log).
class TempDir {
public:
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const;
    QByteArray read(const QString& name) const;
    void write(const QString& name, const QByteArray& content) const;
    // The entries of error.log without their date and time: `"Tag Detail"` for each entry.
    QStringList logEntries() const;

private:
    QTemporaryDir m_dir;
};

// Handles events until pred holds or ms have passed, without the 10 ms naps of QTest::qWaitFor.
bool waitUntil(const std::function<bool()>& pred, int ms);
