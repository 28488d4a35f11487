#ifndef CHANGELOGVIEWER_H
#define CHANGELOGVIEWER_H

#include <QDialog>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QTextEdit;
class QTimer;

// Modeless dialog showing the change log of the target version, fetched from
// the alpha address or from the mirrors of "mirrors.ini". At most one exists.
class ChangeLogViewer : public QDialog
{
    Q_OBJECT
public:
    explicit ChangeLogViewer(QWidget *parent);
    ~ChangeLogViewer() override;

    // Opens the dialog (or brings the open one to the front) for the given version number.
    static void showRemoteChangeLogDialog(QWidget *parent, const QString &version);

    // Starts one download attempt; an empty version keeps the one stored before.
    void requestRemote(QString version);
    // Base address for the next attempt, or a null string when none is left.
    QString getRemoteUrl();
    // Removes and returns a random untried mirror address; null when none is left.
    QString getRandomMirror();
    // Shows the text and sizes the dialog to its widest line.
    void load(const QString &text);

    // The open dialog, or null.
    static ChangeLogViewer *m_instance;

private slots:
    void onRequestFinished();
    void onRequestTimeout();

private:
    QTextEdit *m_textEdit;
    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply;
    QTimer *m_timeoutTimer;
    QStringList m_mirrorUrls;
    bool m_mirrorsRead;
    QString m_version;
};

#endif
