#include "service/TosTable.h"

#include "bridge/CStdExcept.h"
#include "service/Halvara.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace {

int RefusalNumber(auto&& operation) {
    try {
        operation();
    } catch (const CStdExcept& e) {
        return e.Number();
    }
    return 0;
}

// The engine with a registry of its own and a directory that refuses every
// connection, so a new identity gets no ID and no contact lists are loaded.
class EngineWithoutDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        Set("XDG_CONFIG_HOME", (m_dir.Path() / "config").string());
        Set("XDG_RUNTIME_DIR", m_dir.Path().string());
        Set("HALVARA_DIRECTORY", "127.0.0.1:9");
    }
    void Set(const std::string& name, const std::string& value) { m_environment.Set(name, value); }

    testsupport::TempDir m_dir;
    testsupport::ScopedEnvironment m_environment;
};

TEST(TosTableTest, CountedRegistrationsStayActiveUntilTheLastOff) {
    TosTable table;
    EXPECT_EQ(table.NumActiveTOS(), 0);
    table.RegisterTOS(5, true, true);
    table.RegisterTOS(5, true, true);
    EXPECT_EQ(table.Count(5), 2);

    table.RegisterTOS(5, false, true);
    EXPECT_TRUE(table.IsActive(5));
    EXPECT_EQ(table.Count(5), 1);
    EXPECT_EQ(table.NumActiveTOS(), 1);

    table.RegisterTOS(5, false, true);
    EXPECT_FALSE(table.IsActive(5));
    EXPECT_EQ(table.Count(5), 0);
    EXPECT_EQ(table.NumActiveTOS(), 0);

    // The triple stays, so a further counted off is taken without going below 0.
    table.RegisterTOS(5, false, true);
    EXPECT_EQ(table.Count(5), 0);
    // An inactive triple starts again at 1, whatever count it had.
    table.RegisterTOS(5, true, true);
    EXPECT_EQ(table.Count(5), 1);
    EXPECT_TRUE(table.IsActive(5));
}

TEST(TosTableTest, UncountedRegistrationSetsTheCountOutright) {
    TosTable table;
    table.RegisterTOS(7, true, false);
    table.RegisterTOS(7, true, false);
    EXPECT_EQ(table.Count(7), 1);
    table.RegisterTOS(7, false, false);
    EXPECT_FALSE(table.IsActive(7));
    table.RegisterTOS(7, false, false);
    EXPECT_EQ(table.Count(7), 0);

    // Uncounted on over a counted stack of registrations flattens it to 1.
    table.RegisterTOS(8, true, true);
    table.RegisterTOS(8, true, true);
    table.RegisterTOS(8, true, false);
    EXPECT_EQ(table.Count(8), 1);
    EXPECT_EQ(table.NumActiveTOS(), 1);
}

TEST(TosTableTest, RefusesPlainPresenceAndUnknownOff) {
    TosTable table;
    EXPECT_EQ(RefusalNumber([&] { table.RegisterTOS(-1, true, true); }), 562);
    EXPECT_EQ(RefusalNumber([&] { table.RegisterTOS(-1, false, false); }), 562);
    EXPECT_EQ(RefusalNumber([&] { table.RegisterTOS(9, false, true); }), 596);
    EXPECT_TRUE(table.Triples().empty());
    // Plain presence counts as active without ever being registered.
    EXPECT_TRUE(table.IsActive(-1));
    EXPECT_FALSE(table.IsActive(9));
}

TEST(TosTableTest, SeveralTosNumbersAreKeptApart) {
    TosTable table;
    table.RegisterTOS(155, true, true);
    table.RegisterTOS(3, true, true);
    table.RegisterTOS(155, false, true);
    EXPECT_FALSE(table.IsActive(155));
    EXPECT_TRUE(table.IsActive(3));
    EXPECT_EQ(table.NumActiveTOS(), 1);
    ASSERT_EQ(table.Triples().size(), 2u);
    EXPECT_EQ(table.Triples()[0].tos, 155);
}

TEST(TosTableTest, TableThatCannotGrowIsRefused) {
    TosTable table;
    for (std::size_t i = 0; i < TosTable::kMaxEntries; ++i)
        table.RegisterTOS(static_cast<std::int32_t>(i + 1), true, true);
    EXPECT_EQ(RefusalNumber([&] { table.RegisterTOS(-5, true, true); }), 604);
    // An existing triple can still be registered again.
    table.RegisterTOS(1, true, true);
    EXPECT_EQ(table.Count(1), 2);
}

TEST_F(EngineWithoutDirectory, UnregistersOnlyWhatIsActive) {
    Halvara engine;
    EXPECT_EQ(engine.NumActiveTOS(), 0);
    EXPECT_EQ(RefusalNumber([&] { engine.UpdateTOS(155, false); }), 500);

    engine.UpdateTOS(155, true);
    engine.UpdateTOS(155, true);
    engine.UpdateTOS(155, false);
    EXPECT_EQ(engine.NumActiveTOS(), 1);
    engine.UpdateTOS(155, false);
    EXPECT_EQ(engine.NumActiveTOS(), 0);
    // The triple is still there but inactive: refused by the engine before the
    // table would quietly take it.
    EXPECT_EQ(RefusalNumber([&] { engine.UpdateTOS(155, false); }), 500);
    // Plain presence passes the active test and is then refused by the table.
    EXPECT_EQ(RefusalNumber([&] { engine.UpdateTOS(-1, false); }), 562);
    EXPECT_EQ(RefusalNumber([&] { engine.UpdateTOS(-1, true); }), 562);
}

TEST_F(EngineWithoutDirectory, FailsContactOperationsButKeepsItsIdentityTable) {
    Halvara engine;
    EXPECT_FALSE(engine.IsRegistered());
    EXPECT_EQ(RefusalNumber([&] { engine.GetMyID(); }), Halvara::kNoState);
    EXPECT_EQ(RefusalNumber([&] { engine.GetFriend(0); }), Halvara::kNoState);
    EXPECT_EQ(RefusalNumber([&] { engine.Add(5, true); }), Halvara::kNoState);
    EXPECT_EQ(RefusalNumber([&] { engine.AddAnonAcquaintances(5, 0); }), 618);
    EXPECT_EQ(RefusalNumber([&] { engine.AddAnonAcquaintances(5, 155); }), Halvara::kNoState);
    EXPECT_NE(RefusalNumber([&] { engine.LookupID("ann@example.org"); }), 0);
    // The identity table needs no directory.
    EXPECT_EQ(engine.GetActiveIdentity(), -1);
    EXPECT_EQ(engine.AddIdentity("Ann", "pw"), 0);
    EXPECT_EQ(engine.GetIdentity(0), "Ann");
    EXPECT_EQ(engine.GetHighestIdentity(), 0);
    // Switching to it needs its state, which needs an ID: refused, nothing changes.
    EXPECT_NE(RefusalNumber([&] { engine.SetIdentity(0, "pw"); }), 0);
    EXPECT_EQ(engine.GetActiveIdentity(), -1);
}

} // namespace
