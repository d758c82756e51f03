// A SQLite directory of 100,000 users moved to PostgreSQL with "halvdir
// migrate", compared field by field, refused a second time unless forced,
// and served afterwards.

#include "PostgresInstances.h"
#include "directory/DirectoryStore.h"
#include "directory/Postgres.h"
#include "directory/Sqlite.h"

#include <gtest/gtest.h>
#include <random>

namespace {

using halvdirtest::kLimit;
using halvdirtest::PostgresInstances;
using testsupport::ChildProcess;

// What each table holds, column by column, as bytes (numbers in decimal,
// NULL as "NULL"), in an order both databases share.
struct TableShape {
    const char* table;
    const char* columns;
    const char* order;
    const char* kinds; // 'i' number, 'b' bytes
};

const TableShape kShapes[] = {
    {"users", "id, name, email, salt, hash, iterations, ip, created, updated", "id", "ibbbbibii"},
    {"waiting_acquaintances", "user_id, acquaintance_id, since", "user_id, acquaintance_id", "iii"},
    {"random_pool", "tos, ip, since", "tos, ip", "ibi"},
    {"system_messages", "number, published, title, body", "number", "iibb"},
    {"outbox",
     "id, sender_email, recipient, app_name, sender_name, app_url, app_id, requested, "
     "remote_address, sent, next_attempt, attempts, lease_until, claimer, last_error",
     "id", "ibbbbbiibiiiibb"},
    {"versions", "product, version, published", "product", "bii"},
};

using Rows = std::vector<std::vector<std::string>>;

Rows SqliteRows(const std::string& file, const TableShape& shape) {
    halvdir::SqliteConnection db(file);
    halvdir::SqliteStatement query(db.Handle(), std::string("SELECT ") + shape.columns + " FROM " +
                                                    shape.table + " ORDER BY " + shape.order);
    Rows rows;
    const std::string kinds = shape.kinds;
    while (query.Step()) {
        auto& row = rows.emplace_back();
        for (size_t i = 0; i < kinds.size(); ++i) {
            const int column = static_cast<int>(i);
            if (query.IsNull(column))
                row.push_back("NULL");
            else if (kinds[i] == 'i')
                row.push_back(std::to_string(query.Int(column)));
            else {
                auto blob = query.Blob(column);
                row.emplace_back(blob.begin(), blob.end());
            }
        }
    }
    return rows;
}

Rows PostgresRows(halvdir::PostgresConnection& db, const TableShape& shape) {
    db.Prepare(shape.table, std::string("SELECT ") + shape.columns + " FROM " + shape.table +
                                " ORDER BY " + shape.order);
    auto result = db.Run(shape.table, {});
    Rows rows;
    const std::string kinds = shape.kinds;
    for (int r = 0; r < result.Rows(); ++r) {
        auto& row = rows.emplace_back();
        for (size_t i = 0; i < kinds.size(); ++i) {
            const int column = static_cast<int>(i);
            if (result.IsNull(r, column))
                row.push_back("NULL");
            else if (kinds[i] == 'i')
                row.push_back(std::to_string(result.Int(r, column)));
            else
                row.push_back(result.Bytes(r, column));
        }
    }
    return rows;
}

// A directory of users as a long-running community has them: claimed and
// unclaimed IDs, names in other encodings than UTF-8, waiting lists, pools,
// messages, invitations sent and not.
void BuildCommunity(const std::string& file, int users) {
    { halvdir::StorePool create(file); }
    halvdir::SqliteConnection db(file);
    halvdir::SqliteTransaction transaction(db);
    std::mt19937 random(18);
    halvdir::SqliteStatement user(
        db.Handle(), "INSERT INTO users(id, name, email, salt, hash, iterations, ip, created, "
                     "updated) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    for (int id = 1; id <= users; ++id) {
        user.Reset();
        user.Bind(1, id).Bind(7, "10." + std::to_string(id >> 16) + "." +
                                     std::to_string((id >> 8) & 255) + "." +
                                     std::to_string(id & 255));
        user.Bind(8, 1'600'000'000 + id).Bind(9, 1'700'000'000 + id);
        if (id % 3 != 0) {
            std::vector<unsigned char> salt(16), hash(32);
            for (auto& byte : salt)
                byte = static_cast<unsigned char>(random());
            for (auto& byte : hash)
                byte = static_cast<unsigned char>(random());
            user.Bind(2, "J\xf6rg " + std::to_string(id))
                .Bind(3, "u" + std::to_string(id) + "@example.org");
            user.BindBlob(4, salt).BindBlob(5, hash).Bind(6, 10'000);
        } else {
            user.Bind(2, "").Bind(6, 0);
        }
        while (user.Step()) {
        }
    }
    // Added in another order than their IDs: the lists must keep it.
    db.Exec("INSERT INTO waiting_acquaintances(user_id, acquaintance_id, since) "
            "WITH RECURSIVE n(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM n "
            "WHERE value < 300) SELECT 1 + value % 7, 1000 - value, value FROM n");
    db.Exec("INSERT INTO random_pool(tos, ip, since) "
            "WITH RECURSIVE n(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM n "
            "WHERE value < 50) SELECT value % 5, '10.9.0.' || value, value FROM n");
    db.Exec("INSERT INTO system_messages VALUES(0, 1700000000, 'Welcome', 'Gr\xfc\xdf"
            "e'), "
            "(155, 1700000001, '', '')");
    db.Exec(
        "INSERT INTO outbox(sender_email, recipient, app_name, sender_name, app_url, app_id, "
        "requested, remote_address, sent, next_attempt, attempts, lease_until, claimer, "
        "last_error) WITH RECURSIVE n(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM n "
        "WHERE value < 20) SELECT 'u' || value || '@example.org', 'f' || value || '@example.org', "
        "'Drovick', 'J\xf6rg', '', 7, 1700000000 + value, '127.0.0.1', "
        "CASE WHEN value % 2 THEN 1700000100 END, 0, value % 3, 0, '', "
        "CASE WHEN value % 3 THEN '421 busy' ELSE '' END FROM n");
    db.Exec("INSERT INTO versions VALUES('drovick', 1017, 1700000000), ('halvara', 3, 1700000000)");
    // The last IDs were handed out and their users removed since: they must
    // not be handed out again.
    db.Exec("UPDATE sqlite_sequence SET seq = seq + 5 WHERE name = 'users'");
    transaction.Commit();
}

TEST_F(PostgresInstances, AMigratedCommunityIsTheSameFieldByFieldAndCarriesOn) {
    testsupport::TempDir folder;
    const std::string file = (folder.Path() / "directory.db").string();
    constexpr int kUsers = 100'000;
    BuildCommunity(file, kUsers);

    ChildProcess migrate(testsupport::BuildBin("halvdir"),
                         {"migrate", "--from", file, "--to", m_uri});
    ASSERT_EQ(migrate.Wait(std::chrono::seconds(240)), 0) << migrate.Output();
    EXPECT_NE(migrate.Output().find("copied 100000 users, 300 waiting acquaintances, 50 pool "
                                    "addresses, 2 system messages, 20 invitations, 2 versions"),
              std::string::npos)
        << migrate.Output();

    {
        halvdir::PostgresConnection db(m_uri);
        for (const auto& shape : kShapes) {
            Rows before = SqliteRows(file, shape);
            Rows after = PostgresRows(db, shape);
            ASSERT_EQ(after.size(), before.size()) << shape.table;
            for (size_t row = 0; row < before.size(); ++row)
                ASSERT_EQ(after[row], before[row]) << shape.table << " row " << row;
        }
        // A waiting list keeps the order its entries were added in.
        db.Prepare("order", "SELECT acquaintance_id FROM waiting_acquaintances "
                            "WHERE user_id = 2 ORDER BY seq");
        auto order = db.Run("order", {});
        ASSERT_GE(order.Rows(), 2);
        EXPECT_EQ(order.Int(0, 0), 999);
        EXPECT_EQ(order.Int(1, 0), 992);
    }

    // A second copy into a database with users is refused unless forced.
    ChildProcess again(testsupport::BuildBin("halvdir"),
                       {"migrate", "--from", file, "--to", m_uri});
    EXPECT_EQ(again.Wait(kLimit), 1);
    EXPECT_NE(again.Output().find("already holds 100000 users"), std::string::npos)
        << again.Output();

    // The migrated directory serves, and new IDs and invitations continue
    // after the copied ones.
    auto directory = Instance();
    ASSERT_TRUE(directory->Started()) << directory->Output();
    EXPECT_EQ(directory->Get("/cgi-bin/registerid").body, "NewID: 100006\n");
    EXPECT_EQ(directory->Get("/cgi-bin/lookupinfo?1").status, 200);
    EXPECT_EQ(directory->Get("/cgi-bin/checkpassword?1+guess").body, "NoMatch\n");
    EXPECT_EQ(directory->Get("/cgi-bin/lookupid?u2@example.org").body, "ID: 2\n");
    EXPECT_EQ(directory->Get("/cgi-bin/sysmestime?155").body, "1700000000 0\n");

    ChildProcess forced(testsupport::BuildBin("halvdir"),
                        {"migrate", "--from", file, "--to", m_uri, "--force"});
    EXPECT_EQ(forced.Wait(std::chrono::seconds(240)), 0) << forced.Output();
    EXPECT_EQ(m_server->Sql(m_database, "SELECT COUNT(*) FROM users").output, "100000\n");
}

} // namespace
