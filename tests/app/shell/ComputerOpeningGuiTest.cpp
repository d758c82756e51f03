// Opening a friend's computer by e-mail address through the real presence
// library, with real users on loopback addresses: the directory (halvdir) and
// each user's presence service (halvserve). The test process is Ada; Bo is her
// friend, Cy is registered but not her friend, and nobody has the address
// nobody@example.org.

#include "ShellGuiTestSupport.h"
#include "app/peer/PresenceDirectory.h"
#include "app/shell/dialogs/ComputerOpening.h"
#include "library/halvara.h"
#include "tools/PresenceNetwork.h"

#include <QWidget>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using presencenetwork::PresenceNetwork;

struct Shown {
    QString caption;
    QString text;
};

class ComputerOpeningGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shelltest::Application(); }

    ComputerOpeningGuiTest()
        : m_opening([this] { return m_ready; }, QStringLiteral("http://127.0.0.1/drovick"),
                    [this](const QString& address) { m_opened << address; }, &m_parent) {
        m_opening.ask = [this](const QString& caption, const QString& text) {
            m_asked.push_back({caption, text});
            return m_answer;
        };
        m_opening.tell = [this](const QString& caption, const QString& text) {
            m_told.push_back({caption, text});
        };
    }

    // Opens and waits until the opening has ended.
    bool Open(const QString& address) {
        int settled = 0;
        auto connection =
            QObject::connect(&m_opening, &ComputerOpening::Settled, [&] { ++settled; });
        m_opening.Open(address);
        const bool ended = shelltest::ProcessUntil([&] { return settled > 0; }, 60s);
        QObject::disconnect(connection);
        return ended;
    }

    // The messages shown so far, for failure messages.
    std::string Told() const {
        std::string all;
        for (const Shown& told : m_told)
            all += told.text.toStdString() + "\n";
        return all;
    }

    QWidget m_parent;
    bool m_ready = false;
    bool m_answer = false;
    QStringList m_opened;
    std::vector<Shown> m_asked;
    std::vector<Shown> m_told;
    ComputerOpening m_opening;
};

TEST_F(ComputerOpeningGuiTest, FriendsByEMailAreFoundAddedInvitedOrSaidToBeOffline) {
    PresenceNetwork network(3);
    ASSERT_TRUE(network.Dir().Start());
    auto& ada = network.User(0);
    auto& bo = network.User(1);
    auto& cy = network.User(2);
    for (auto* user : {&ada, &bo, &cy})
        ASSERT_FALSE(user->Register().empty());

    // Before the presence library has started nobody is looked up.
    ASSERT_TRUE(Open(QString::fromStdString(bo.EMail())));
    EXPECT_TRUE(m_opened.isEmpty());
    ASSERT_EQ(m_told.size(), 1u);
    EXPECT_TRUE(m_told[0].text.contains(QString::fromStdString(bo.EMail())));
    EXPECT_TRUE(m_asked.empty());
    m_told.clear();

    ASSERT_TRUE(bo.Hold(kDrovickTos)) << bo.HoldOutput(kDrovickTos);
    ASSERT_TRUE(cy.Hold(kDrovickTos)) << cy.HoldOutput(kDrovickTos);
    ASSERT_EQ(ada.Halvara({"add", bo.EMail()}).code, 0);
    // This process is Ada from here on.
    for (const auto& [name, value] : ada.Environment())
        setenv(name.c_str(), value.c_str(), 1);
    ASSERT_EQ(Halvara_InitializeHeadless(kDrovickTos), 1);
    m_ready = true;

    // A friend whose program runs: the window opens on the friend's address,
    // whatever the letter case typed.
    ASSERT_TRUE(Open(QStringLiteral(" BO@example.org ")));
    EXPECT_EQ(m_opened, QStringList{QString::fromStdString(bo.Address())});
    EXPECT_TRUE(m_asked.empty());
    EXPECT_TRUE(m_told.empty()) << Told();

    // Not a friend yet: No opens nothing, Yes adds Cy and opens Cy's computer.
    const QString cyMail = QString::fromStdString(cy.EMail());
    ASSERT_TRUE(Open(cyMail));
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0].caption, QStringLiteral("Add a new friend"));
    EXPECT_EQ(m_asked[0].text,
              cyMail + QStringLiteral(" is not in your friends list.\nWould you like to add him "
                                      "or her?"));
    EXPECT_EQ(m_opened.size(), 1);
    m_answer = true;
    ASSERT_TRUE(Open(cyMail));
    ASSERT_EQ(m_asked.size(), 2u);
    EXPECT_EQ(m_opened.size(), 2);
    EXPECT_EQ(m_opened.back(), QString::fromStdString(cy.Address()));
    EXPECT_TRUE(m_told.empty()) << Told();
    EXPECT_TRUE(ada.Contact("friends", cy.EMail()).has_value()) << ada.LastFailure();

    // Nobody of that address: the invitation is offered and sent; no window.
    ASSERT_TRUE(Open(QStringLiteral("nobody@example.org")));
    ASSERT_EQ(m_asked.size(), 3u);
    EXPECT_EQ(m_asked[2].caption, QStringLiteral("Invite a new friend"));
    EXPECT_EQ(m_asked[2].text, QStringLiteral("nobody@example.org does not have Drovick.\nWould "
                                              "you like to invite him or her to get it?"));
    EXPECT_EQ(m_opened.size(), 2);
    EXPECT_TRUE(m_told.empty()) << Told();
    // The directory queued the mail: Ada to nobody, naming the product, its
    // page and the application number.
    const auto outbox = network.Dir().Admin({"outbox"});
    EXPECT_NE(outbox.output.find("\tada@example.org\tAda Lind\tnobody@example.org\tDrovick\t"
                                 "http://127.0.0.1/drovick\t155\t"),
              std::string::npos)
        << outbox.output;

    // A friend whose program has stopped, and the address of nobody online.
    ASSERT_EQ(bo.Release(kDrovickTos), 0);
    ASSERT_TRUE(Open(QString::fromStdString(bo.EMail())));
    ASSERT_TRUE(Open(QStringLiteral("0.0.0.0")));
    EXPECT_EQ(m_opened.size(), 2);
    ASSERT_EQ(m_told.size(), 2u) << Told();
    for (const Shown& told : m_told) {
        EXPECT_EQ(told.caption, QStringLiteral("Open Computer"));
        EXPECT_EQ(told.text, QStringLiteral("Your friend is offline."));
    }
    EXPECT_EQ(m_asked.size(), 3u);
    Halvara_Deallocate(kDrovickTos);
}

} // namespace
