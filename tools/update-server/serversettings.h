#ifndef SERVERSETTINGS_H
#define SERVERSETTINGS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the update server answers, read from its INI settings file:
//
//   [versions]   stable, stable_label, beta, beta_label, alpha, alpha_label
//   [news]       text
//   [banner]     picture, click
//
// Lines are "key = value"; the value is everything after the first "=", with
// the blanks around it removed. "#" or ";" at the start of a line makes a
// comment. The file is UTF-8; the replies carry Latin-1.
struct ServerSettings
{
    static const int ChannelCount = 3;
    static const int MaxVersionsReply = 511;
    static const int MaxNewsReply = 4095;
    static const int MaxBannerReply = 1024;

    QString versions[ChannelCount];
    QString labels[ChannelCount];
    QString news;
    QString bannerUrl;
    QString clickUrl;

    // Reads settings from the file's bytes. Values the clients could not take
    // apart (a version that is not a decimal number, a "," inside a label or a
    // banner address) are dropped; every problem adds a line to warnings.
    static ServerSettings parse(const QByteArray &content, QStringList *warnings = nullptr);

    // The datagrams sent back. An empty banner reply means: do not answer.
    QByteArray versionsReply() const;
    QByteArray newsReply() const;
    QByteArray bannerReply() const;
};

#endif
