#ifndef NEWSBANNER_H
#define NEWSBANNER_H

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class QTextDocument;

// One-line news ticker: scrolls a short rich text from right to left and
// pauses 3 s between passes. A click on a link of the text opens it; a click
// elsewhere opens the address of a "<!--URL=address-->" comment, if any.
class NewsBanner : public QWidget
{
public:
    explicit NewsBanner(QWidget *parent = nullptr);

    // Replaces the text and starts a new pass at once.
    void setNews(const QString &news);
    // Link address of the text under a widget position, or an empty string.
    QString anchorAt(const QPoint &pos) const;

    // State of the current pass, for the window's tests and diagnostics.
    float offset() const { return m_offset; }
    int textWidth() const { return m_textWidth; }
    int textHeight() const { return m_textHeight; }
    bool isPaused() const { return m_paused; }
    QString linkUrl() const { return m_linkUrl; }
    int scrollTimerId() const { return m_timer.timerId(); }

protected:
    void timerEvent(QTimerEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QBasicTimer m_timer;
    QTextDocument *m_document;
    float m_offset;
    qint32 m_textWidth;
    qint32 m_textHeight;
    bool m_paused;
    QString m_linkUrl;
};

#endif
