#include "app/shell/infobar/TipList.h"

#include <algorithm>
#include <chrono>
#include <random>

TipList::TipList(const QString& site, std::uint32_t seed)
    : TipList(Texts(site), seed) {}

TipList::TipList(const QString& site)
    : TipList(site, static_cast<std::uint32_t>(
                        std::chrono::system_clock::now().time_since_epoch().count())) {}

TipList::TipList(QStringList texts, std::uint32_t seed)
    : m_tips(std::move(texts)) {
    std::mt19937 generator(seed);
    std::shuffle(m_tips.begin(), m_tips.end(), generator);
}

QString TipList::Next() {
    if (m_tips.isEmpty())
        return {};
    m_last = (m_last + 1) % static_cast<int>(m_tips.size());
    return m_tips.at(m_last);
}

QStringList TipList::Texts(const QString& site) {
    return {
        QStringLiteral("Drovick is a free program; give it to your friends!"),
        QStringLiteral("This is a beta version; check for upgrades often."),
        QStringLiteral("Found a problem?  Please report it at %1").arg(site),
        QStringLiteral("Share your public files so your friends can find them!"),
        QStringLiteral("To share a directory, right-click it and select \"Share...\""),
        QStringLiteral("Downloading is easy- just drag and drop!"),
        QStringLiteral("Have an idea?  Submit your suggestions at %1").arg(site),
        QStringLiteral("The RaskSearch feature will search the Internet for you."),
        QStringLiteral("Add your friends so you can search their computers."),
        QStringLiteral("To add a friend, use \"Add...\" from the Friends menu."),
        QStringLiteral("Send a message to your friend!  Click the \"Message\" button."),
        QStringLiteral("You can easily reply to messages- just double-click them!"),
        QStringLiteral("Want to know who's surfing your machine?  Use Network Monitor."),
        QStringLiteral("Want to watch your search?  Use Network Monitor."),
    };
}
