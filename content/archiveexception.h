#pragma once

#include <QException>
#include <QString>

class CustomBaseException : public QException
{
public:
    CustomBaseException(qint32 code, const QString &message) : code(code), message(message) {}
    void raise() const override { throw *this; }
    CustomBaseException *clone() const override { return new CustomBaseException(*this); }

    qint32 code;
    QString message;
};

// Archive and copy failures of the shell, thrown by value.
class ArchiveException : public CustomBaseException
{
public:
    ArchiveException(qint32 code, const QString &message) : CustomBaseException(code, message) {}
    void raise() const override { throw *this; }
    ArchiveException *clone() const override { return new ArchiveException(*this); }
};
