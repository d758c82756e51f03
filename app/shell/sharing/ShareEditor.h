#pragma once

#include <string>

class PeerServices;
class ShareTable;

// How the windows change the shares: on the table the running servers hold,
// so a peer's next request sees the change, and saved with the settings at
// once, so a share asked over the message bus (which starts from the file)
// keeps it. Used on the user-interface thread.
class ShareEditor {
public:
    explicit ShareEditor(PeerServices& services);

    // The served table, for reading.
    const ShareTable& Shares() const;
    // Shares the folder, or stops sharing it when it is an entry of its own.
    // False with error set when the table refused or the file was not written.
    bool SetShared(const std::string& folder, bool shared, std::string& error);

private:
    PeerServices& m_services;
};
