#ifndef URLOPENRECORDER_H
#define URLOPENRECORDER_H

#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// Takes over QDesktopServices::openUrl for the web schemes, "file", "mailto"
// and addresses without a scheme while it exists, so a test sees which
// addresses would have been opened and no browser is ever started.
class UrlOpenRecorder : public QObject
{
    Q_OBJECT
public:
    UrlOpenRecorder();
    ~UrlOpenRecorder() override;

    QList<QUrl> opened;

public slots:
    void open(const QUrl &url);

private:
    QStringList m_schemes;
};

#endif
