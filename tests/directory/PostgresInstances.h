#pragma once

// Tests of halvdir instances on the test program's own PostgreSQL server,
// each test with a fresh database.

#include "HalvdirProcess.h"

#include <gtest/gtest.h>
#include <memory>

namespace halvdirtest {

inline constexpr std::chrono::seconds kLimit{20};

class PostgresInstances : public ::testing::Test {
protected:
    void SetUp() override {
        m_server = testsupport::PostgresServer::Shared();
        if (!m_server)
            GTEST_SKIP() << "PostgreSQL tests skipped: " << testsupport::PostgresServer::Problem();
        m_database = m_server->NewDatabase();
        m_uri = m_server->Uri(m_database);
    }

    // An instance serving the test's database, started.
    std::unique_ptr<HalvdirProcess> Instance() {
        auto instance = std::make_unique<HalvdirProcess>(
            std::vector<std::string>{"--threads", "16"}, testsupport::HalvdirServer::Launch::later);
        instance->UseLocation(m_uri);
        instance->Start();
        return instance;
    }

    testsupport::PostgresServer* m_server = nullptr;
    std::string m_database;
    std::string m_uri;
};

} // namespace halvdirtest
