#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget *parent)
    : QLabel(parent)
{
}

void UrlClickLabel::mousePressEvent(QMouseEvent *event)
{
    Q_UNUSED(event);
    if (!m_url.isEmpty())
        QDesktopServices::openUrl(QUrl(m_url));
}
