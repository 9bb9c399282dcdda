#pragma once
// A failure raised by a step of a handler. Handlers that trap failures catch it (and any other
// std::exception), log one line with their own tag and end their work.
#include <QString>
#include <stdexcept>

class Failure : public std::runtime_error {
public:
    explicit Failure(const QString& description)
        : std::runtime_error(description.toStdString()), m_description(description) {}
    const QString& description() const { return m_description; }

private:
    QString m_description;
};

// The description of whatever was caught, for log lines and status texts.
inline QString describe(const std::exception& e) {
    if (auto* f = dynamic_cast<const Failure*>(&e)) return f->description();
    return QString::fromLocal8Bit(e.what());
}
