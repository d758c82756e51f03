#include "app/shell/sharing/ShareEditor.h"

#include "app/files/DrovickSettings.h"
#include "app/files/ShareTable.h"
#include "app/session/PeerServices.h"

ShareEditor::ShareEditor(PeerServices& services)
    : m_services(services) {}

const ShareTable& ShareEditor::Shares() const {
    return *m_services.Settings().GetShareTable();
}

bool ShareEditor::SetShared(const std::string& folder, bool shared, std::string& error) {
    return m_services.ChangeShares(
        [&](ShareTable& table, std::string& refusal) {
            if (shared ? table.Add(folder) : table.Remove(folder))
                return true;
            refusal = shared ? "the folder could not be shared" : "the folder was not shared";
            return false;
        },
        error);
}
