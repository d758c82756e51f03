#pragma once

#include "bridge/CStdExcept.h"
#include "service/Acquaintance.h"
#include "service/ContactNetwork.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

// A directory in memory for the contact records: profiles by ID, a scripted
// queue of random-pool answers, and a record of what was asked.
class FakeDirectory : public ContactDirectory {
public:
    std::string localAddress = "10.1.1.1";
    std::map<std::int32_t, DirectoryProfile> profiles;
    std::map<std::int32_t, std::string> addresses;
    // Answers of the random-IP query, in order; an empty queue fails the query.
    std::deque<std::string> randomAnswers;
    // When set, the random-IP query always gives this answer.
    std::string randomAlways;
    std::int32_t nextNewId = 4711;
    // Runs once inside the next LookupProfile, to act while Add is between its
    // two holds of the list lock.
    std::function<void()> onceDuringLookup;

    // How long a profile look-up takes, to widen the gap between Add's lock holds.
    std::chrono::microseconds lookupDelay{0};

    int randomQueries = 0;
    std::vector<std::tuple<std::int32_t, std::string, bool>> poolChanges;
    std::vector<std::pair<std::int32_t, std::string>> updateIPs;
    // The password that went with each of updateIPs.
    std::vector<std::string> updateIPPasswords;
    std::vector<std::pair<std::int32_t, std::int32_t>> registeredAcquaintances;

    std::string LocalAddress() override {
        if (localAddress == "0.0.0.0")
            throw CStdExcept("DiversInet", 25);
        return localAddress;
    }
    DirectoryProfile LookupProfile(std::int32_t contactId) override {
        if (onceDuringLookup) {
            auto hook = std::move(onceDuringLookup);
            onceDuringLookup = nullptr;
            hook();
        }
        if (lookupDelay.count() > 0)
            std::this_thread::sleep_for(lookupDelay);
        auto found = profiles.find(contactId);
        if (found == profiles.end())
            throw CStdExcept("InternetDatabase", 229);
        return found->second;
    }
    std::string LookupIP(std::int32_t contactId) override {
        auto found = addresses.find(contactId);
        if (found == addresses.end())
            throw CStdExcept("InternetDatabase", 996);
        return found->second;
    }
    void RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId) override {
        registeredAcquaintances.emplace_back(contactId, ownId);
    }
    std::int32_t RegisterNewID() override { return nextNewId; }
    void UpdateIP(std::int32_t ownId, const std::string& ip, const std::string& password) override {
        updateIPs.emplace_back(ownId, ip);
        updateIPPasswords.push_back(password);
    }
    std::string GetRandomIP(std::int32_t) override {
        std::lock_guard lock(m_lock);
        ++randomQueries;
        if (!randomAlways.empty())
            return randomAlways;
        if (randomAnswers.empty())
            throw CStdExcept("InternetDatabase", 1064);
        std::string answer = randomAnswers.front();
        randomAnswers.pop_front();
        return answer;
    }
    void InsertRandomIP(std::int32_t tos, const std::string& ownIp) override {
        poolChanges.emplace_back(tos, ownIp, true);
    }
    void RemoveRandomIP(std::int32_t tos, const std::string& ownIp) override {
        poolChanges.emplace_back(tos, ownIp, false);
    }

private:
    std::mutex m_lock;
};

// The peer calls of the contact records, recorded; contacts listed in
// unreachable fail every call.
class FakePeers : public ContactPeers {
public:
    struct TosNotice {
        std::int32_t contactId;
        std::int32_t tos;
        bool on;
    };
    std::vector<std::int32_t> unreachable;
    std::map<std::string, std::int32_t> anonAnswers;
    // When set, the acquaintance notice fails (neither sent nor left behind).
    bool noticeFails = false;

    std::vector<std::pair<std::int32_t, std::string>> announcements;
    std::vector<std::int32_t> notices;
    std::vector<TosNotice> tosNotices;

    void AnnounceOwnIP(Acquaintance& contact, std::int32_t, const std::string& ownIp) override {
        Check(contact);
        announcements.emplace_back(contact.ID(), ownIp);
    }
    void SendAcquaintanceNotice(Acquaintance& contact, std::int32_t) override {
        if (noticeFails)
            throw CStdExcept("InternetDatabase", 141);
        notices.push_back(contact.ID());
    }
    void SendTOSNotice(Acquaintance& contact, std::int32_t, std::int32_t tos, bool on) override {
        Check(contact);
        tosNotices.push_back({contact.ID(), tos, on});
    }
    std::int32_t AnonTOSQuery(const std::string& ip, std::int32_t) override {
        auto found = anonAnswers.find(ip);
        if (found == anonAnswers.end())
            throw CStdExcept("Protocol", 51);
        return found->second;
    }

private:
    void Check(const Acquaintance& contact) {
        for (std::int32_t id : unreachable)
            if (id == contact.ID())
                throw CStdExcept("Protocol", 51);
    }
};

// The refusal number a call throws, 0 when it does not throw.
template <typename Operation>
int RefusalOf(Operation&& operation) {
    try {
        operation();
    } catch (const CStdExcept& e) {
        return e.Number();
    }
    return 0;
}
