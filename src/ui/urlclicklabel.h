#ifndef URLCLICKLABEL_H
#define URLCLICKLABEL_H

#include <QLabel>
#include <QString>

// A picture label that opens its address in the desktop's browser when
// clicked with any button.
class UrlClickLabel : public QLabel
{
public:
    explicit UrlClickLabel(QWidget *parent = nullptr);

    void setUrl(const QString &url) { m_url = url; }
    QString url() const { return m_url; }

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString m_url;
};

#endif
