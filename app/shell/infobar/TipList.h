#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

// The tips the info bar rotates through: the fourteen texts in a random order
// drawn once, then shown round and round. As no two texts are equal, the same
// tip never shows twice in a row unless the list holds only one.
class TipList {
public:
    // site: the product web site two tips name. seed: the shuffle's seed.
    TipList(const QString& site, std::uint32_t seed);
    // Seeded from the clock.
    explicit TipList(const QString& site);
    // Any texts, shuffled (for a list of another size).
    TipList(QStringList texts, std::uint32_t seed);

    // The next tip, wrapping after the last; "" when the list is empty.
    QString Next();
    int Size() const { return static_cast<int>(m_tips.size()); }

    // The fourteen texts in their listed order, before shuffling.
    static QStringList Texts(const QString& site);

private:
    QStringList m_tips;
    int m_last = -1;
};
