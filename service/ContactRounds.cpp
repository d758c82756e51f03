#include "ContactRounds.h"

#include "Contacts.h"
#include "EngineDirectory.h"
#include "EnginePeers.h"
#include "PresenceCalls.h"
#include "SideBySide.h"
#include "TimedSocket.h"
#include "TosTable.h"
#include "bridge/CStdExcept.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <vector>

ContactRounds::ContactRounds(ContactRoundsHost& host, EngineDirectory& directory,
                             EnginePeers& peers, const std::atomic<bool>& callsRunning,
                             int offlineRoundMs)
    : m_host(host)
    , m_directory(directory)
    , m_peers(peers)
    , m_callsRunning(callsRunning)
    , m_offlineRoundMs(offlineRoundMs) {}

void ContactRounds::ContactRound(BackgroundLoop::Control& control, Contacts& contacts) {
    std::shared_ptr<Acquaintance> own;
    try {
        own = contacts.OwnEntry();
    } catch (const CStdExcept&) {
        return;
    }
    const std::int32_t ownId = own->ID();
    const std::string ownIp = own->IP();
    if (ownId < 1)
        return;

    // Each contact's address refreshed from the directory and told ours. The
    // run flag is looked at with the contact's exchange lock held, so once
    // going offline has cleared it no contact hears the old address after
    // 0.0.0.0.
    const std::function<bool()> running = [&control] { return control.ShouldRun(); };
    ForEachSideBySide(contacts.OtherContacts(), kSideBySideCalls, running,
                      [&](Acquaintance& contact) {
                          try {
                              contact.Internet()->SetIP(m_directory.LookupIP(contact.ID()));
                              std::lock_guard exchange(contact.ExchangeLock());
                              if (!control.ShouldRun())
                                  return;
                              m_peers.AnnounceOwnIP(contact, ownId, ownIp);
                          } catch (const CStdExcept&) {
                              // Unknown to the directory or not running: it
                              // hears from us when it next asks.
                          }
                      });
    if (!control.ShouldRun())
        return;

    // Which friends run what the local user runs.
    const TosTable ownTos = own->CopyTOSTable();
    for (const TosTable::Triple& triple : ownTos.Triples()) {
        if (!triple.active)
            continue;
        ForEachSideBySide(
            contacts.OtherFriends(), kSideBySideCalls, running,
            [&](Acquaintance& friendEntry) { QueryTOS(friendEntry, ownId, triple.tos, running); });
        if (!control.ShouldRun())
            return;
    }

    if (!CollectWaitingAcquaintances(control, contacts, ownId, Friend::OwnPassword(own)))
        return;

    ForEachSideBySide(contacts.Acquaintances(), kSideBySideCalls, running,
                      [&](Acquaintance& acquaintance) {
                          try {
                              std::lock_guard exchange(acquaintance.ExchangeLock());
                              if (!control.ShouldRun())
                                  return;
                              // An acquaintance that no longer knows us is kept
                              // as it is.
                              m_peers.KnownQuery(acquaintance.IP(), acquaintance.ID(), ownId);
                          } catch (const CStdExcept&) {
                          }
                      });
    if (!control.ShouldRun())
        return;

    if (!SendTOSNotices(control, contacts))
        return;
    m_contactRounds.fetch_add(1);
    m_host.BroadcastUpdateContacts();
}

bool ContactRounds::CollectWaitingAcquaintances(BackgroundLoop::Control& control,
                                                Contacts& contacts, std::int32_t ownId,
                                                const std::string& ownPassword) {
    // Who added us while we could not be reached: each becomes an
    // acquaintance and is told so; the directory forgets them only then. The
    // list is read and cleared with the own password, as only its owner may.
    std::vector<std::int32_t> waiting;
    try {
        waiting = m_directory.LookupAcquaintances(ownId, ownPassword);
    } catch (const CStdExcept&) {
    }
    bool listChanged = false;
    for (std::int32_t id : waiting) {
        if (!control.ShouldRun())
            return false;
        if (id == ownId || contacts.FindContact(id))
            continue;
        try {
            contacts.Add(id, false, true, m_directory, m_peers);
            listChanged = true;
        } catch (const CStdExcept&) {
            // Listed meanwhile, or not a valid ID.
        }
    }
    if (!waiting.empty()) {
        // The directory forgets them only once they are written here: a kill
        // in between would lose them for good. The engine's lock is only
        // tried, as whoever holds it may be waiting for this round to stop;
        // then they are collected again next time.
        if (listChanged) {
            std::unique_lock lock(m_host.EngineLock(), std::defer_lock);
            while (!lock.try_lock()) {
                if (!control.Sleep(10))
                    return false;
            }
            try {
                m_host.FlushLocked();
            } catch (const CStdExcept&) {
                waiting.clear();
            }
        }
    }
    if (!waiting.empty()) {
        try {
            m_directory.DeleteAcquaintances(ownId, ownPassword);
        } catch (const CStdExcept&) {
            // Collected again next time; adding them twice is refused.
        }
    }
    if (listChanged)
        m_host.BroadcastUpdateContacts();
    return true;
}

bool ContactRounds::SendTOSNotices(BackgroundLoop::Control& control, Contacts& contacts) {
    std::shared_ptr<Acquaintance> own;
    try {
        own = contacts.OwnEntry();
    } catch (const CStdExcept&) {
        return false;
    }
    const std::int32_t ownId = own->ID();
    // The table as it is now: a later registration starts a new round, which
    // supersedes this one.
    const TosTable ownTos = own->CopyTOSTable();
    const std::function<bool()> running = [&control] { return control.ShouldRun(); };
    ForEachSideBySide(
        contacts.OtherContacts(), kSideBySideCalls, running, [&](Acquaintance& contact) {
            for (const TosTable::Triple& triple : ownTos.Triples()) {
                std::lock_guard exchange(contact.ExchangeLock());
                if (!control.ShouldRun())
                    return;
                try {
                    m_peers.SendTOSNotice(contact, ownId, triple.tos, triple.active != 0);
                } catch (const CStdExcept&) {
                    // An unreachable contact hears of the TOS
                    // when it next asks.
                    return;
                }
            }
        });
    if (!control.ShouldRun())
        return false;
    return true;
}

void ContactRounds::AnnounceOffline() {
    auto contacts = m_host.ContactsOrNull();
    if (!contacts)
        return;
    std::int32_t ownId = -1;
    try {
        ownId = contacts->OwnID();
    } catch (const CStdExcept&) {
    }
    if (ownId < 1)
        return;
    // Every contact with an address hears it, not only those marked online: a
    // contact that added us is listed with its address without ever being
    // marked online. The calls run side by side and all end by one peer time
    // limit from now, waiting for a contact busy in another exchange
    // included, so contacts whose addresses accept and never answer cost the
    // bridge or the end that limit once.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_offlineRoundMs);
    std::vector<std::shared_ptr<Acquaintance>> reachable;
    for (const auto& contact : contacts->OtherContacts())
        if (contact->IP() != "0.0.0.0" && !contact->IP().empty())
            reachable.push_back(contact);
    ForEachSideBySide(
        reachable, kOfflineAnnouncers, [] { return true; },
        [&](Acquaintance& contact) {
            std::unique_lock exchange(contact.ExchangeLock(), std::defer_lock);
            if (!exchange.try_lock_until(deadline))
                return;
            try {
                m_peers.AnnounceOfflineBy(contact.IP(), contact.ID(), ownId, deadline);
            } catch (const CStdExcept&) {
            }
        });
    if (m_host.IsEngineOnline()) {
        try {
            m_directory.UpdateIP(ownId, "0.0.0.0", Friend::OwnPassword(contacts->OwnEntry()));
        } catch (const CStdExcept&) {
        }
    }
}

void ContactRounds::LiveCheckRound(BackgroundLoop::Control& control) {
    std::vector<std::shared_ptr<Acquaintance>> others;
    std::int32_t ownId = -1;
    {
        // An identity being loaded makes the round skip rather than wait.
        std::unique_lock identity(m_host.IdentityLock(), std::defer_lock);
        if (!identity.try_lock_for(std::chrono::milliseconds(kIdentityWaitMs)))
            return;
        auto contacts = m_host.ContactsOrNull();
        if (!contacts)
            return;
        try {
            ownId = contacts->OwnID();
        } catch (const CStdExcept&) {
            return;
        }
        others = contacts->OtherContacts();
    }
    std::atomic<bool> changed{false};
    const std::function<bool()> running = [&control] { return control.ShouldRun(); };
    ForEachSideBySide(others, kSideBySideCalls, running, [&](Acquaintance& contact) {
        const bool stored = contact.IsOnlineForTOS(-1);
        if (QueryTOS(contact, ownId, -1, running) != stored)
            changed = true;
    });
    if (!control.ShouldRun())
        return;
    m_liveRounds.fetch_add(1);
    if (changed)
        m_host.BroadcastUpdateContacts();
}

std::vector<FriendOnline> ContactRounds::QueryFriendsTOS(
    const std::vector<std::shared_ptr<Acquaintance>>& entries, std::int32_t ownId,
    std::int32_t tos) {
    // The longest one call takes: connect, send the header, wait for the reply.
    constexpr auto kOneCall = std::chrono::milliseconds(
        TimedSocket::kConnectLimitMs + PresenceCalls::kSendLimitMs + PresenceCalls::kBlockLimitMs);
    const auto deadline = std::chrono::steady_clock::now() + kOneCall;
    std::unordered_map<const Acquaintance*, std::size_t> positions;
    std::vector<FriendOnline> answers(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        positions.emplace(entries[i].get(), i);
        answers[i].id = entries[i]->ID();
        answers[i].online = entries[i]->IsOnlineForTOS(tos);
    }
    // Waiting behind another call to the same contact past the deadline gives
    // its stored presence instead of a second wait.
    const std::function<bool()> inTime = [this, deadline] {
        return m_callsRunning.load() && std::chrono::steady_clock::now() < deadline;
    };
    // Each thread writes only its own entry's answer.
    ForEachSideBySide(entries, std::min(entries.size(), kMaxSideBySideChecks), inTime,
                      [&](Acquaintance& contact) {
                          answers[positions.at(&contact)].online =
                              QueryTOS(contact, ownId, tos, inTime);
                      });
    return answers;
}

bool ContactRounds::QueryTOS(Acquaintance& contact, std::int32_t ownId, std::int32_t tos,
                             const std::function<bool()>& keepGoing) {
    std::int32_t answer = 0;
    {
        std::lock_guard exchange(contact.ExchangeLock());
        // Looked at again once the contact is free: a loop told to stop while
        // this waited behind another call to the same contact starts no new one.
        if (keepGoing && !keepGoing())
            return contact.IsOnlineForTOS(tos);
        try {
            answer = m_peers.TOSQuery(contact.IP(), contact.ID(), ownId, tos);
        } catch (const CStdExcept&) {
            // A call cut short by the end or a switch says nothing about the
            // contact, whose address must stay for the round of 0.0.0.0.
            if (!m_callsRunning.load())
                return contact.IsOnlineForTOS(tos);
            contact.MarkOffline(false);
            return false;
        }
    }
    contact.SetOnline(true);
    if (tos != -1 && (answer == 1) != contact.IsTOSActive(tos)) {
        try {
            contact.RegisterTOS(tos, answer == 1, false);
        } catch (const CStdExcept&) {
            // A full table keeps what it has; the answer stands.
        }
    }
    return answer == 1;
}
