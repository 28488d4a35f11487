#include "newsbanner.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimerEvent>
#include <QUrl>

namespace {
const int ScrollInterval = 10;
const int PauseInterval = 3000;
const float ScrollStep = 0.5f;
// The text enters this many pixels inside the right edge and has left the
// widget once it is this far beyond the left edge.
const int EdgeMargin = 10;
}

NewsBanner::NewsBanner(QWidget *parent)
    : QWidget(parent)
    , m_document(new QTextDocument(this))
    , m_offset(0)
    , m_textWidth(0)
    , m_textHeight(0)
    , m_paused(false)
{
    setMinimumHeight(16);
    setMaximumHeight(16);
    setObjectName(QStringLiteral("NewsBanner"));
}

void NewsBanner::setNews(const QString &news)
{
    if (!m_linkUrl.isNull())
        m_linkUrl = QString();

    static const QRegularExpression linkComment(QStringLiteral("<!--(.+)-->"));
    const QRegularExpressionMatch match = linkComment.match(news);
    if (match.hasMatch()) {
        const QString comment = match.captured(1);
        const int equals = comment.indexOf(QLatin1Char('='));
        if (equals >= 0 && comment.left(equals) == QLatin1String("URL"))
            m_linkUrl = comment.mid(equals + 1);
    }

    m_document->setHtml(news);
    m_document->setDocumentMargin(0);

    m_offset = float(width() - EdgeMargin);
    m_paused = false;

    const QSizeF size = m_document->size();
    m_textWidth = qint32(size.width());
    m_textHeight = qint32(size.height());
    setMinimumHeight(m_textHeight);
    setMaximumHeight(m_textHeight);

    m_timer.start(ScrollInterval, this);
}

QString NewsBanner::anchorAt(const QPoint &pos) const
{
    const QPointF textPos(int(pos.x() - m_offset), pos.y());
    return m_document->documentLayout()->anchorAt(textPos);
}

void NewsBanner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (m_paused) {
        m_paused = false;
        m_timer.start(ScrollInterval, this);
    }
    m_offset -= ScrollStep;
    update();
}

void NewsBanner::mousePressEvent(QMouseEvent *event)
{
    const QString anchor = anchorAt(event->position().toPoint());
    if (!anchor.isEmpty())
        QDesktopServices::openUrl(QUrl(anchor));
    else if (!m_linkUrl.isEmpty())
        QDesktopServices::openUrl(QUrl(m_linkUrl));
    event->accept();
}

void NewsBanner::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    if (m_paused)
        return;

    if (int(m_offset) > width())
        m_offset = float(width() - EdgeMargin);

    {
        QPainter painter(this);
        painter.translate(QPointF(m_offset, (height() - m_textHeight) / 2));
        m_document->drawContents(&painter);
    }

    if (int(m_offset) + m_textWidth < -EdgeMargin) {
        m_offset = float(width() - EdgeMargin);
        m_paused = true;
        m_timer.start(PauseInterval, this);
    }

    if (anchorAt(mapFromGlobal(QCursor::pos())).isEmpty())
        setCursor(Qt::ArrowCursor);
    else
        setCursor(Qt::PointingHandCursor);
}
