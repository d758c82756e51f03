// The info bar's tips: all fourteen, in a shuffled order, never the same tip
// twice in a row, naming the product site where two of them ask for it.

#include "app/shell/infobar/TipList.h"

#include <QSet>
#include <gtest/gtest.h>

TEST(TipList, ShowsEveryTipOncePerRoundAndNeverTheSameTwiceInARow) {
    const QString site = "http://127.0.0.1:8080/";
    const QStringList texts = TipList::Texts(site);
    ASSERT_EQ(texts.size(), 14);
    EXPECT_EQ(texts.front(), "Drovick is a free program; give it to your friends!");
    EXPECT_EQ(texts.back(), "Want to watch your search?  Use Network Monitor.");
    EXPECT_EQ(texts.filter(site).size(), 2);

    bool someOrderDiffers = false;
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        TipList tips(site, seed);
        QString previous;
        QStringList firstRound;
        for (int i = 0; i < 14 * 3; ++i) {
            const QString tip = tips.Next();
            EXPECT_NE(tip, previous) << "seed " << seed << " draw " << i;
            previous = tip;
            if (i < 14)
                firstRound << tip;
        }
        EXPECT_EQ(QSet<QString>(firstRound.begin(), firstRound.end()),
                  QSet<QString>(texts.begin(), texts.end()));
        someOrderDiffers = someOrderDiffers || firstRound != texts;
    }
    EXPECT_TRUE(someOrderDiffers);
}

TEST(TipList, OneTipRepeatsAndNoTipsGiveNothing) {
    TipList one(QStringList{"only"}, 7);
    EXPECT_EQ(one.Next(), "only");
    EXPECT_EQ(one.Next(), "only");
    TipList none(QStringList{}, 7);
    EXPECT_EQ(none.Next(), QString());
}
