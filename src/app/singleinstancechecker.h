#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: a starting copy hands a short
// message to the running one over a named local socket (checkExistingInstance);
// the running one listens through an object of this class.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    // Starts listening under getLocalServerName().
    explicit SingleInstanceChecker(QObject *parent = nullptr);
    ~SingleInstanceChecker() override;

    // Sends message to a running copy; true only if it was delivered.
    // Blocks for at most about two seconds.
    static bool checkExistingInstance(const QString &message);
    // "CV3ClientUpdate" + hex CRC-16 of this executable's path and the user's home.
    static QString getLocalServerName();
    // The same derivation for any executable path and home path.
    static QString localServerNameFor(const QString &executablePath, const QString &homePath);

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer *m_server;
    QLocalSocket *m_connection;
};

#endif
