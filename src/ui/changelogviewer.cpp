#include "changelogviewer.h"

#include "configuration.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QScreen>
#include <QSettings>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

ChangeLogViewer *ChangeLogViewer::m_instance = nullptr;

namespace {
const int DefaultWidth = 617;
const int DefaultHeight = 500;
const int RequestTimeoutMs = 2000;
}

ChangeLogViewer::ChangeLogViewer(QWidget *parent)
    : QDialog(parent, Qt::WindowSystemMenuHint)
    , m_textEdit(nullptr)
    , m_manager(nullptr)
    , m_reply(nullptr)
    , m_timeoutTimer(nullptr)
    , m_mirrorsRead(false)
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));
    resize(DefaultWidth, DefaultHeight);

    m_textEdit = new QTextEdit(this);
    m_textEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    m_textEdit->setReadOnly(true);
    m_textEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont font = m_textEdit->font();
    font.setStyleHint(QFont::TypeWriter);
    font.setFamily(font.defaultFamily());
    m_textEdit->setFont(font);

    QDialogButtonBox *buttons = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    QVBoxLayout *layout = new QVBoxLayout(this);
    layout->addWidget(m_textEdit);
    layout->addWidget(buttons);
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
}

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget *parent, const QString &version)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent);
        m_instance->requestRemote(version);
    }
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

void ChangeLogViewer::requestRemote(QString version)
{
    if (m_reply)
        return;
    m_textEdit->setText(tr("Loading..."));
    if (!version.isEmpty())
        m_version = version;

    QString url = getRemoteUrl();
    if (url.isEmpty()) {
        m_textEdit->setText(tr("Failed to load changelog."));
        return;
    }
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    url += m_version + QStringLiteral("/changelog_client.txt");

    if (!m_manager)
        m_manager = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(url)};
    // A redirection counts as a failed mirror, so it is never followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    m_reply = m_manager->get(request);
    connect(m_reply, &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);

    if (!m_timeoutTimer) {
        m_timeoutTimer = new QTimer(this);
        m_timeoutTimer->setSingleShot(true);
        m_timeoutTimer->setInterval(RequestTimeoutMs);
        connect(m_timeoutTimer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    m_timeoutTimer->start();
}

QString ChangeLogViewer::getRemoteUrl()
{
    if (m_mirrorsRead)
        return getRandomMirror();
    m_mirrorsRead = true;

    const QDir appDir(Configuration::getAppRootPath());
    const QString updateIni = appDir.absoluteFilePath(QStringLiteral("update.ini"));
    const QString mirrorsIni = appDir.absoluteFilePath(QStringLiteral("mirrors.ini"));
    // Only an existing "update.ini" with an alpha address keeps the mirror list unread.
    if (QFile::exists(updateIni)) {
        QSettings settings(updateIni, QSettings::IniFormat);
        const QString alpha = settings.value(QStringLiteral("Channel/alpha")).toString();
        if (!alpha.isEmpty())
            return alpha;
    }
    if (QFile::exists(mirrorsIni)) {
        QSettings settings(mirrorsIni, QSettings::IniFormat);
        QStringList names;
        const int size = settings.beginReadArray(QStringLiteral("mirrors"));
        for (int i = 0; i < size; ++i) {
            settings.setArrayIndex(i);
            names.append(settings.value(QStringLiteral("mirror")).toString());
        }
        settings.endArray();
        for (const QString &name : std::as_const(names)) {
            settings.beginGroup(name);
            const QString url = settings.value(QStringLiteral("url")).toString();
            settings.endGroup();
            if (!url.isEmpty())
                m_mirrorUrls.append(url);
        }
        return getRandomMirror();
    }
    return QString();
}

QString ChangeLogViewer::getRandomMirror()
{
    if (m_mirrorUrls.isEmpty())
        return QString();
    const int index = int(QRandomGenerator::global()->bounded(quint32(m_mirrorUrls.size())));
    return m_mirrorUrls.takeAt(index);
}

void ChangeLogViewer::onRequestFinished()
{
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (m_timeoutTimer)
        m_timeoutTimer->stop();
    reply->deleteLater();

    if (reply->error() == QNetworkReply::NoError) {
        QTextStream stream(reply);
        const QString text = stream.readAll();
        if (!text.contains(QLatin1String("document has moved"))) {
            load(text);
            return;
        }
    }
    requestRemote(QString());
}

void ChangeLogViewer::onRequestTimeout()
{
    if (m_reply)
        m_reply->abort();
}

void ChangeLogViewer::load(const QString &text)
{
    m_textEdit->setText(text);
    if (text.isEmpty())
        return;

    const QFontMetrics metrics(m_textEdit->font());
    int widest = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        widest = qMax(widest, metrics.horizontalAdvance(line));
    int width = widest > 0 ? widest + 50 : DefaultWidth;
    int height = DefaultHeight;

    const QScreen *screen = this->screen();
    const QRect area = screen ? screen->availableGeometry() : QRect();
    if (area.isValid()) {
        width = qMin(width, area.width());
        if (area.height() < height)
            height = area.height();
    }
    resize(width, height);
}
