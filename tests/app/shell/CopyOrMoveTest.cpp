// Copy-or-move of the application: the local cases with their questions and
// the trash, and a friend's file handed to the transfer agent and downloaded
// from a real transfer server.

#include "app/shell/copy/CopyOrMove.h"

#include "app/files/ShareTable.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/shell/copy/CopyQuestions.h"
#include "app/shell/copy/HeadlessTransferAgent.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QCursor>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Answers every question the same way and remembers the captions.
class ScriptedQuestions : public CopyQuestions {
public:
    bool AskOverwrite(const QString& caption) override {
        captions << caption;
        return answer;
    }
    bool answer = false;
    QStringList captions;
};

// Remembers hand-offs; the local cases must never reach it.
class RecordingHandOff : public TransferHandOff {
public:
    bool HandOff(const TransferItem& download) override {
        items.push_back(download);
        return true;
    }
    std::vector<TransferItem> items;
};

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A path as the request carries it: the name's bytes.
QByteArray Q(const fs::path& path) {
    return QByteArray::fromStdString(path.string());
}

// A file a.txt ("new") to copy or move onto b.txt ("old") in one folder, and an
// operation whose questions the test answers.
struct LocalFiles {
    LocalFiles() {
        Write(dir.Path() / "a.txt", "new");
        Write(dir.Path() / "b.txt", "old");
    }
    CopyOrMoveRequest AOntoB(const QString& sourceComputer, const QString& targetComputer,
                             bool move) const {
        return {sourceComputer, Q(dir.Path() / "a.txt"), targetComputer, Q(dir.Path() / "b.txt"),
                move};
    }
    testsupport::TempDir dir;
    ScriptedQuestions questions;
    RecordingHandOff handOff;
    CopyOrMove operation{questions, handOff};
};

} // namespace

class CopyOrMoveTest : public QObject {
    Q_OBJECT

    // Runs one operation and waits for its result on this thread.
    int Run(CopyOrMove& operation, const CopyOrMoveRequest& request) {
        std::optional<int> result;
        operation.Start(request, [&](int value) { result = value; });
        if (!QTest::qWaitFor([&] { return result.has_value(); }, 10000))
            return -1;
        return *result;
    }

private slots:
    void copyOntoExistingFileAsksAndObeysTheAnswer() {
        LocalFiles files;
        auto& [dir, questions, handOff, operation] = files;
        CopyOrMoveRequest request = files.AOntoB("(Local)", "127.0.0.1", false);

        questions.answer = false;
        QCOMPARE(Run(operation, request), CopyOrMove::kNothingDone);
        QCOMPARE(Read(dir.Path() / "b.txt"), std::string("old"));

        questions.answer = true;
        QCOMPARE(Run(operation, request), CopyOrMove::kDoneLocally);
        QCOMPARE(Read(dir.Path() / "b.txt"), std::string("new"));
        QCOMPARE(Read(dir.Path() / "a.txt"), std::string("new"));
        QCOMPARE(questions.captions, QStringList({"Copy File", "Copy File"}));

        // A target that is not there yet is copied without a question, on a
        // worker: the window goes on while the wait cursor shows.
        request.targetPath = Q(dir.Path() / "c.txt");
        std::optional<int> result;
        operation.Start(request, [&](int value) { result = value; });
        QVERIFY(!result.has_value());
        QCOMPARE(operation.Running(), 1);
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 10000);
        QCOMPARE(*result, CopyOrMove::kDoneLocally);
        QVERIFY(!QGuiApplication::overrideCursor());
        QCOMPARE(Read(dir.Path() / "c.txt"), std::string("new"));
        QCOMPARE(questions.captions.size(), 2);
        QVERIFY(handOff.items.empty());
        QCOMPARE(operation.Running(), 0);
    }

    void moveOntoExistingFilePutsTheOldOneInTheTrash() {
        LocalFiles files;
        auto& [dir, questions, handOff, operation] = files;
        testsupport::ScopedEnvironment environment;
        environment.Set("HOME", (dir.Path() / "home").string());
        environment.Set("XDG_DATA_HOME", (dir.Path() / "home" / "data").string());
        CopyOrMoveRequest request = files.AOntoB("127.0.0.1", "(Local)", true);

        questions.answer = false;
        QCOMPARE(Run(operation, request), CopyOrMove::kNothingDone);
        QCOMPARE(Read(dir.Path() / "b.txt"), std::string("old"));
        QVERIFY(fs::exists(dir.Path() / "a.txt"));

        questions.answer = true;
        QCOMPARE(Run(operation, request), CopyOrMove::kDoneLocally);
        QCOMPARE(questions.captions, QStringList({"Move File", "Move File"}));
        QVERIFY(!fs::exists(dir.Path() / "a.txt"));
        QCOMPARE(Read(dir.Path() / "b.txt"), std::string("new"));
        const fs::path trash = dir.Path() / "home" / "data" / "Trash";
        QCOMPARE(Read(trash / "files" / "b.txt"), std::string("old"));
        QVERIFY(fs::exists(trash / "info" / "b.txt.trashinfo"));
    }

    void samePlaceOnBothSidesDoesNothing() {
        testsupport::TempDir dir;
        Write(dir.Path() / "a.txt", "same");
        ScriptedQuestions questions;
        questions.answer = true;
        RecordingHandOff handOff;
        CopyOrMove operation(questions, handOff);
        for (bool move : {false, true}) {
            CopyOrMoveRequest request{"(Local)", Q(dir.Path() / "a.txt"), "127.0.0.1",
                                      Q(dir.Path() / "a.txt"), move};
            QCOMPARE(Run(operation, request), CopyOrMove::kNothingDone);
        }
        QVERIFY(questions.captions.isEmpty());
        QCOMPARE(Read(dir.Path() / "a.txt"), std::string("same"));
    }

    // A friend's file goes to the agent, which opens for it, downloads it from
    // the friend's transfer server and closes once its queue is done.
    void friendsFileIsDownloadedThroughTheAgent() {
        const std::string friendAddress = "127.0.0.5";
        testsupport::TempDir dir;
        testsupport::ScopedEnvironment environment;
        environment.Set("HALVARA_ADDRESS", friendAddress);
        fs::create_directories(dir.Path() / "share");
        fs::create_directories(dir.Path() / "downloads");
        // Two and a half blocks, so the download takes several receives.
        std::string content(25600, '\0');
        for (std::size_t i = 0; i < content.size(); ++i)
            content[i] = static_cast<char>(i * 7 + 3);
        Write(dir.Path() / "share" / "song.mp3", content);

        auto table = std::make_shared<ShareTable>();
        QVERIFY(table->Add((dir.Path() / "share").string()));
        TransferDownloadOptions options;
        options.port = testsupport::FreeTcpPort(friendAddress);
        TransferServer server(table, nullptr, options.port);
        QVERIFY(server.Start());
        QVERIFY(testsupport::WaitFor([&] { return server.IsListening(); }, 10s));

        ScriptedQuestions questions;
        HeadlessTransferAgent agent(nullptr, options);
        QSignalSpy closed(&agent, &HeadlessTransferAgent::Closed);
        QSignalSpy folders(&agent, &HeadlessTransferAgent::DownloadFolderChanged);
        CopyOrMove operation(questions, agent);
        const fs::path target = dir.Path() / "downloads" / "song.mp3";
        CopyOrMoveRequest request{QString::fromStdString(friendAddress),
                                  Q(dir.Path() / "share" / "song.mp3"), "(Local)", Q(target),
                                  false};

        QCOMPARE(Run(operation, request), CopyOrMove::kHandedOff);
        QVERIFY(agent.IsOpen());
        QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, 10000);
        QVERIFY(!agent.IsOpen());
        QCOMPARE(Read(target), content);
        QCOMPARE(folders.size(), 1);
        QCOMPARE(folders.at(0).at(0).toString(),
                 QString::fromStdString((dir.Path() / "downloads").string()));
        QVERIFY(questions.captions.isEmpty());
        server.Stop(true);
    }
};

QTEST_MAIN(CopyOrMoveTest)
#include "CopyOrMoveTest.moc"
