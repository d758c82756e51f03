#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

struct FriendLookup;
class QWidget;

// Opens the computer the user named: an address as it stands, a friend named
// by e-mail address once the presence library has placed that friend. The
// look-up, adding a friend and sending an invitation run off the
// user-interface thread; the questions and messages come back on it:
// someone not in the friends list may be added (and is then placed again),
// someone without the program may be invited, an offline friend or a presence
// service that is not running opens no window.
class ComputerOpening : public QObject {
    Q_OBJECT
public:
    using OpenWindow = std::function<void(const QString& address)>;

    // presenceReady: whether the presence library has started. productPage:
    // the web address an invitation names.
    ComputerOpening(std::function<bool()> presenceReady, QString productPage, OpenWindow open,
                    QWidget* parent);

    // The address or e-mail address of a friend's computer.
    void Open(const QString& nameOrAddress);

    // A question with Yes and No (true for Yes) and a message; tests replace
    // them. Both show plain text: an e-mail address is never markup.
    std::function<bool(const QString& caption, const QString& text)> ask;
    std::function<void(const QString& caption, const QString& text)> tell;

signals:
    // One Open has ended, with a window or without.
    void Settled();

private:
    void LookUp(const QString& eMail, bool added);
    void Answered(const QString& eMail, const FriendLookup& lookup, bool added);
    void AddFriend(const QString& eMail, int id);
    void Invite(const QString& eMail);
    void Tell(const QString& caption, const QString& text);

    std::function<bool()> m_presenceReady;
    QString m_productPage;
    OpenWindow m_open;
    QPointer<QWidget> m_parent;
};
