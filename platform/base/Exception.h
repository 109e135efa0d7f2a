#pragma once

#include <QString>
#include <exception>
#include <string>

// The one base of every error the program raises; the message is what the
// user sees in the error box.
class Exception : public std::exception {
public:
    explicit Exception(QString message);
    const QString& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.c_str(); }

private:
    QString FMessage;
    std::string FUtf8;
};

// Ends an operation without any report (the error handler stays silent).
class EAbort : public Exception {
public:
    EAbort() : Exception(QStringLiteral("Operation aborted")) {}
};

class EOutOfMemory : public Exception {
public:
    EOutOfMemory() : Exception(QStringLiteral("Out of memory")) {}
};
