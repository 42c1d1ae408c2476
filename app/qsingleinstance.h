#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QSingleInstancePrivate;

// Keeps one instance of the program per logon session. The first process
// becomes the master (lock file plus local server) and runs the startup
// function; every later process sends its command line to the master, waits
// for "ACK" and ends.
class QSingleInstance : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString instanceID READ instanceID WRITE setInstanceID RESET resetInstanceID
                   NOTIFY instanceIDChanged)
    Q_PROPERTY(bool autoRecovery READ isAutoRecoveryActive WRITE setAutoRecovery
                   NOTIFY autoRecoveryChanged)
    Q_PROPERTY(bool global READ isGlobal WRITE setGlobal)

public:
    explicit QSingleInstance(QObject *parent = nullptr);
    ~QSingleInstance() override;

    QString instanceID() const;
    bool isAutoRecoveryActive() const;
    bool isGlobal() const;
    Q_INVOKABLE bool isMaster() const;

    // Run by singleExec in the master before the event loop; a non-zero result
    // ends singleExec without one. Refused while running.
    bool setStartupFunction(const std::function<int()> &function);
    // Run in the master each time another instance hands over its arguments.
    void setNotifyFunction(const std::function<void()> &function);

signals:
    void instanceMessage(const QStringList &arguments);
    void instanceIDChanged(const QString &instanceID);
    void autoRecoveryChanged(bool autoRecovery);

public slots:
    // Master: runs the startup function and the event loop. Other instances:
    // hand the arguments over and return the client exit code (0 once the
    // master acknowledged).
    int singleExec(bool autoClose = true);
    void closeInstance();
    bool setInstanceID(const QString &instanceID);
    bool resetInstanceID();
    void setAutoRecovery(bool autoRecovery);
    bool setGlobal(bool global, bool recreateId = true);

private:
    friend class QSingleInstancePrivate;
    QSingleInstancePrivate *d;
};
