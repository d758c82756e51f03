// Shows each of the library's dialogs in a telling state against a scripted
// service and saves a picture of each into HALVARA_SCREENSHOT_DIR, for a
// person to look at (scripts/screenshot-dialogs runs it under Xvfb).

#include "DialogDriver.h"
#include "HalvaraClient.h"
#include "ScriptedPresence.h"
#include "UserMessages.h"

#include <QDir>
#include <QPixmap>
#include <QWizard>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

using namespace dialogdriver;

namespace {

QString g_folder;
int g_failures = 0;

void Save(QWidget* window, const char* name) {
    if (!window) {
        std::fprintf(stderr, "%s: the window never showed\n", name);
        ++g_failures;
        return;
    }
    // Let layouts and pending paints settle first.
    WaitUntil([] { return false; }, std::chrono::milliseconds(150));
    const QString path = QDir(g_folder).filePath(QString(name) + ".png");
    if (!window->grab().save(path)) {
        std::fprintf(stderr, "%s: cannot write %s\n", name, qPrintable(path));
        ++g_failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

void NewFriend(HalvaraClient& client) {
    Caller caller([&] { return client.Add("Drovick", "http://drovick.example", 155); });
    QWidget* dialog = WaitForWindow("NewFriendDialog");
    Save(dialog, "new-friend-opened");
    Type(dialog, "eMail", "ben@example.org");
    Click(Button(dialog, "Find"));
    WaitUntil([&] { return Button(dialog, "OK")->isEnabled(); });
    Save(dialog, "new-friend-found");
    Type(dialog, "eMail", "nobody@example.org");
    Click(Button(dialog, "Find"));
    QMessageBox* question = WaitForMessageBox();
    Save(question, "new-friend-invite-question");
    Save(dialog, "new-friend-not-found");
    if (question)
        question->button(QMessageBox::No)->click();
    Click(Button(dialog, "Cancel"));
    caller.Answer();
}

void Register(HalvaraClient& client) {
    Caller caller([&] { return client.AddIdentity(); });
    QWidget* wizard = WaitForWindow("RegisterWizard");
    Type(wizard, "name", "Ann Smith");
    Type(wizard, "eMail", "taken@example.org");
    Type(wizard, "password", "mine");
    Type(wizard, "confirmation", "mine");
    Save(wizard, "register-page1");
    auto* asWizard = qobject_cast<QWizard*>(wizard);
    if (asWizard) {
        Click(asWizard->button(QWizard::NextButton));
        WaitUntil([&] {
            return asWizard->currentId() == 1 && wizard->cursor().shape() != Qt::WaitCursor;
        });
    }
    Save(wizard, "register-page2-taken");
    if (asWizard) {
        Click(asWizard->button(QWizard::BackButton));
        Type(wizard, "eMail", "ann.smith@example.org");
        Click(asWizard->button(QWizard::NextButton));
        WaitUntil([&] {
            return asWizard->currentId() == 1 && wizard->cursor().shape() != Qt::WaitCursor;
        });
    }
    Save(wizard, "register-page2-free");
    if (asWizard)
        Click(asWizard->button(QWizard::CancelButton));
    caller.Answer();
}

void SystemMessage(ScriptedPresence& script, QWidget& window) {
    script.messageTitle = "Halvara news";
    script.messageText = "Version 1.18 is out, with faster searches and fewer surprises.\n"
                         "Read what changed at http://halvara.example/news before you update.";
    FakeService service(script.Handler());
    auto messages = MakeUserMessages();
    HalvaraClient client(*messages);
    Caller caller([&] {
        client.SetParentWindow(reinterpret_cast<HalvaraWindow>(&window));
        return 0;
    });
    QWidget* dialog = WaitForWindow("SystemMessageDialog");
    Save(dialog, "system-message");
    Click(Button(dialog, "OK"));
    caller.Answer();
    script.messageText.clear();
}

void ChangeIdentity(HalvaraClient& client) {
    Caller caller([&] { return client.ChangeIdentity(); });
    QWidget* dialog = WaitForWindow("ChangeIdentityDialog");
    WaitUntil([&] { return Button(dialog, "Delete identity")->isEnabled(); });
    Type(dialog, "password", "secret");
    Save(dialog, "change-identity");
    Click(Button(dialog, "Cancel"));
    caller.Answer();
}

} // namespace

int main(int argc, char** argv) {
    const char* folder = std::getenv("HALVARA_SCREENSHOT_DIR");
    if (!folder || !*folder) {
        std::fprintf(stderr, "HALVARA_SCREENSHOT_DIR names no folder\n");
        return 2;
    }
    g_folder = QString::fromLocal8Bit(folder);
    std::filesystem::create_directories(folder);
    // The scripted service plays halvserve; nothing is launched.
    setenv("HALVSERVE_PATH", "/bin/true", 1);
    ListeningPort directory;
    setenv("HALVARA_DIRECTORY", ("127.0.0.1:" + std::to_string(directory.Port())).c_str(), 1);

    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Drovick");
    window.resize(640, 420);
    window.show();

    ScriptedPresence script;
    script.directory["ben@example.org"] = {42, "b3n"};
    script.directory["taken@example.org"] = {77, "theirs"};
    script.identities = {{"ann@example.org", "a"},
                         {"ann.work@example.org", "w"},
                         {"", ""},
                         {"ann.games@example.org", "g"}};
    script.active = 1;

    SystemMessage(script, window);
    FakeService service(script.Handler());
    auto messages = MakeUserMessages();
    HalvaraClient client(*messages);
    client.SetParentWindow(reinterpret_cast<HalvaraWindow>(&window));
    NewFriend(client);
    Register(client);
    ChangeIdentity(client);
    return g_failures == 0 ? 0 : 1;
}
