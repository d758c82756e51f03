#pragma once

#include "directory/InvitationDelivery.h"

#include <map>
#include <optional>
#include <string>

namespace halvdir {

struct MailSetup {
    SmtpSettings smtp;
    InvitationDelivery::Timing timing;
};

// The mail options of "halvdir serve": --smtp URL, --mail-from ADDRESS,
// --smtp-user NAME, and the password from --smtp-password-file FILE or the
// environment variable HALVDIR_SMTP_PASSWORD, never from the command line,
// where every user of the machine could read it. HALVDIR_MAIL_RETRY_SECONDS
// shortens the first retry delay and the outbox poll (for tests).
// Nothing without --smtp; error says what is wrong when the options are.
std::optional<MailSetup> ReadMailOptions(const std::map<std::string, std::string>& options,
                                         std::string& error);

} // namespace halvdir
