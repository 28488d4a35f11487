#ifndef MIRRORS_H
#define MIRRORS_H

#include <QObject>
#include <QString>
#include <QVector>

class QSettings;

// One mirror of the pool. Transfers take a copy when they acquire the mirror and
// refer to it by name afterwards.
struct FTPSiteAccessData
{
    // Key of the record; exact, case-sensitive comparison.
    QString name;
    // Configured address + "/" if it lacked one + target version; never ends in "/".
    QString url;
    // Errors tolerated; the error that makes errorCount exceed it removes the mirror.
    quint32 retries = 0;
    // Engine ticks without data before a transfer gives the mirror up.
    qint32 timeout = 15;
    quint32 errorCount = 0;
    qint32 useCount = 0;
    qint32 maxUseCount = 1;
};

// The download servers one update run may use, loaded once per run. Lives on the GUI
// thread; transfers take, release, blame and remove mirrors by name.
class Mirrors : public QObject
{
    Q_OBJECT
public:
    explicit Mirrors(QObject *parent = nullptr);

    // Seeds the generator behind the random choice of every pool. The engine seeds it
    // with the time at each initialization; tests fix it to repeat a choice.
    static void seedRandom(quint32 seed);

    // Loads the pool from "mirrors.ini"; a missing file or an empty list is no error.
    // Always returns true.
    bool initDefault(const QString &fileName, int version);
    // Loads the single alpha mirror from the key "alpha" of section "Channel" of
    // "update.ini". Emits fatalError and returns false when the key is missing or empty.
    bool initAlpha(const QString &fileName, int version);
    // Fills url and retries of every loaded record from its section; used by initDefault.
    void setDefaults(QSettings &settings, int version);

    // 0: a random idle mirror was taken and copied into out; 1: no mirror is left
    // (reported once per pool); 2: every mirror is busy.
    int getRandomMirror(FTPSiteAccessData &out);
    // The operations by name act on the first record of that name and ignore unknown names.
    void releaseMirror(const QString &name);
    void addMirrorError(const QString &name);
    // Drops the mirror at once, without a message.
    void removeMirror(const QString &name);
    int getMirrorIndex(const QString &name) const;
    void calcUseStats(int &maxUse, int &inUse) const;

    // Read access for callers that inspect the pool (diagnostics and tests).
    const QVector<FTPSiteAccessData> &mirrors() const { return m_mirrors; }

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    static QString versionedUrl(QString address, int version);

    QVector<FTPSiteAccessData> m_mirrors;
    bool m_noMirrorsReported;
};

#endif
