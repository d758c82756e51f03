// The transfer agent's window as the program uses it: opened by a hand-off,
// fed by the queue's worker through queued calls, downloading from a real
// transfer server, closing itself when it was opened for the transfers.

#include "ShellGuiTestSupport.h"
#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/transfer/TransferPartRecord.h"
#include "app/peer/transfer/TransferQueueFile.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/shell/frame/SessionMessages.h"
#include "app/shell/frame/ToolWindowKinds.h"
#include "app/shell/frame/WindowKinds.h"
#include "app/shell/transfers/TransferAgent.h"
#include "app/shell/transfers/TransferAgentModel.h"
#include "app/shell/transfers/TransferAgentView.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QMdiArea>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr char kFriend[] = "127.0.0.5";

std::string Pattern(std::size_t size, int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 31 + static_cast<std::size_t>(seed));
    return bytes;
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A friend's transfer server that announces a large file, sends its first
// blocks and then goes silent: the download stays in hand, part done, until
// it is stopped.
class StallingPeer {
public:
    static constexpr std::int32_t kAnnounced = 1024000;
    static constexpr int kBlocksSent = 3;

    explicit StallingPeer(int port) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        // The transfer server of the case before left the port in TIME_WAIT.
        const int reuse = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, kFriend, &address.sin_addr);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_fd, 8) != 0)
            return;
        m_listening = true;
        m_thread = std::thread([this] { Serve(); });
    }
    ~StallingPeer() {
        m_stop.store(true);
        shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        close(m_fd);
    }
    bool Listening() const { return m_listening; }

private:
    void Serve() {
        const int connection = accept(m_fd, nullptr, nullptr);
        if (connection < 0)
            return;
        char request[520];
        std::size_t got = 0;
        while (got < sizeof request && !m_stop.load()) {
            const ssize_t n = recv(connection, request + got, sizeof request - got, 0);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        const std::int32_t size = kAnnounced; // little-endian on this machine
        send(connection, &size, sizeof size, MSG_NOSIGNAL);
        const std::string block(kTransferBlockSize, 'x');
        for (int i = 0; i < kBlocksSent; ++i)
            send(connection, block.data(), block.size(), MSG_NOSIGNAL);
        while (!m_stop.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        close(connection);
    }

    int m_fd = -1;
    bool m_listening = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Every status each file showed, in the order the window showed them.
class StatusRecorder {
public:
    explicit StatusRecorder(TransferAgentModel& model) {
        QObject::connect(&model, &QAbstractItemModel::rowsInserted, &model,
                         [this, &model](const QModelIndex&, int first, int last) {
                             for (int row = first; row <= last; ++row)
                                 Record(model, row);
                         });
        QObject::connect(&model, &QAbstractItemModel::dataChanged, &model,
                         [this, &model](const QModelIndex& from, const QModelIndex& to) {
                             for (int row = from.row(); row <= to.row(); ++row)
                                 Record(model, row);
                         });
    }
    QStringList Of(const QString& fileName) const { return m_seen.value(fileName); }

private:
    void Record(TransferAgentModel& model, int row) {
        const QString file = model.index(row, TransferAgentModel::kFileName).data().toString();
        m_seen[file] << model.index(row, TransferAgentModel::kStatus).data().toString();
    }
    QMap<QString, QStringList> m_seen;
};

// "Transferring (n%)" texts only, n rising.
bool RisingPercentages(const QStringList& statuses) {
    int last = -1;
    for (const QString& status : statuses) {
        if (!status.startsWith(QStringLiteral("Transferring (")) ||
            !status.endsWith(QStringLiteral("%)")))
            return false;
        bool number = false;
        const int percent = status.mid(14, status.size() - 16).toInt(&number);
        if (!number || percent <= last || percent > 100)
            return false;
        last = percent;
    }
    return true;
}

// Presses the button of the next message box that shows.
void AnswerQuestion(QMessageBox::StandardButton button, QString& text) {
    QTimer::singleShot(0, [button, &text] {
        QMessageBox* box = nullptr;
        shelltest::ProcessUntil(
            [&] { return (box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())); });
        if (!box)
            return;
        text = box->text();
        box->button(button)->click();
    });
}

} // namespace

class TransferAgentGuiTest : public QObject {
    Q_OBJECT

    testsupport::ScopedEnvironment m_environment;
    testsupport::TempDir m_dir;
    LogEvent m_log;
    DrovickSettings m_settings;
    QMdiArea m_area;
    std::unique_ptr<WindowKinds> m_kinds;
    TransferDownloadOptions m_options;

    TransferItem Download(const std::string& name) const {
        return {(m_dir.Path() / "share" / name).string(), kFriend,
                (m_dir.Path() / "downloads" / name).string(), kLocalHostAddress};
    }

    // The friend's transfer server sharing "share", listening; null when it
    // could not start.
    std::unique_ptr<TransferServer> ServeShare() const {
        auto table = std::make_shared<ShareTable>();
        if (!table->Add((m_dir.Path() / "share").string()))
            return nullptr;
        auto server = std::make_unique<TransferServer>(table, nullptr, m_options.port);
        if (!server->Start() ||
            !testsupport::WaitFor([&] { return server->IsListening(); }, std::chrono::seconds(10)))
            return nullptr;
        return server;
    }

private slots:
    void initTestCase() {
        m_environment.Set("HALVARA_ADDRESS", kFriend);
        m_environment.Set("XDG_RUNTIME_DIR", m_dir.Path().string());
        fs::create_directories(m_dir.Path() / "share");
        fs::create_directories(m_dir.Path() / "downloads");
        m_kinds = std::make_unique<WindowKinds>(m_settings);
        RegisterToolWindowKinds(*m_kinds, m_log);
        m_kinds->AttachArea(&m_area);
        m_area.resize(700, 400);
        m_area.show();
        m_options.port = testsupport::FreeTcpPort(kFriend);
    }

    // Two downloads handed off: the window opens for them, each row goes from
    // "Waiting" through "Transferring" and its percentages, both files arrive
    // whole, every arrival is announced, and the window then closes itself.
    void handedOffDownloadsArriveAndTheWindowClosesItself() {
        const std::string small = Pattern(25600, 1); // two and a half blocks
        const std::string large = Pattern(400000, 2);
        std::ofstream(m_dir.Path() / "share" / "small.bin", std::ios::binary) << small;
        std::ofstream(m_dir.Path() / "share" / "large.bin", std::ios::binary) << large;
        const auto server = ServeShare();
        QVERIFY(server);

        SessionMessages messages;
        QSignalSpy busDone(&messages, &SessionMessages::TransferDone);
        TransferAgent agent(*m_kinds, m_settings, nullptr, m_options);
        QSignalSpy received(&agent, &TransferAgent::FolderReceived);
        // A download the agent refuses leaves no window opened for it.
        TransferItem overlong = Download("small.bin");
        overlong.destinationPath.append(300, 'x');
        QVERIFY(!agent.HandOff(overlong));
        QVERIFY(!m_kinds->IsOpen("transfers"));
        QVERIFY(agent.HandOff(Download("small.bin")));
        QVERIFY(m_kinds->IsOpen("transfers"));
        // The rows reach the model by queued calls, so this sees every one.
        StatusRecorder statuses(agent.View()->Model());
        QVERIFY(agent.HandOff(Download("large.bin")));

        QTRY_VERIFY_WITH_TIMEOUT(!m_kinds->IsOpen("transfers"), 20000);
        QCOMPARE(Read(m_dir.Path() / "downloads" / "small.bin"), small);
        QCOMPARE(Read(m_dir.Path() / "downloads" / "large.bin"), large);
        const QString small_ = QString::fromStdString(Download("small.bin").sourcePath);
        const QString large_ = QString::fromStdString(Download("large.bin").sourcePath);
        // How the bytes split into receives decides which percentages show;
        // each row ends in its final state.
        for (const QString& file : {small_, large_}) {
            const QStringList seen = statuses.Of(file);
            QVERIFY2(seen.size() >= 3 &&
                         seen.mid(0, 2) == QStringList({"Waiting", "Transferring"}) &&
                         seen.last() == QStringLiteral("Verified") &&
                         RisingPercentages(seen.mid(2, seen.size() - 3)),
                     qPrintable(seen.join('|')));
        }
        // The large file shows percentages between its first and its last.
        QVERIFY2(statuses.Of(large_).size() > 4, qPrintable(statuses.Of(large_).join('|')));
        QCOMPARE(received.size(), 2);
        QCOMPARE(received.at(0).at(0).toString(),
                 QString::fromStdString((m_dir.Path() / "downloads").string()));
        QTRY_COMPARE_WITH_TIMEOUT(busDone.size(), 2, 10000);
        server->Stop(true);
    }

    // A window the user opened stays; closing it while a download hangs asks
    // first: No keeps it going, Yes stops the worker at once. A waiting row
    // is taken out with Remove.
    void userOpenedWindowAsksBeforeItStopsItsTransfers() {
        StallingPeer peer(m_options.port);
        QVERIFY(peer.Listening());
        TransferDownloadOptions patient = m_options;
        patient.callLimit = std::chrono::seconds(60);
        TransferAgent agent(*m_kinds, m_settings, nullptr, patient);
        QVERIFY(m_kinds->Open("transfers"));
        TransferAgentView* view = agent.View();
        QVERIFY(agent.HandOff(Download("stuck.bin")));
        QVERIFY(agent.HandOff(Download("later.bin")));
        TransferAgentModel& model = view->Model();
        QTRY_COMPARE_WITH_TIMEOUT(model.index(0, TransferAgentModel::kStatus).data().toString(),
                                  QStringLiteral("Transferring (3%)"), 10000);
        QCOMPARE(model.rowCount(), 2);
        shelltest::Screenshot(*view->parentWidget(), QStringLiteral("transfer-agent"));

        view->selectionModel()->select(model.index(1, 0), QItemSelectionModel::ClearAndSelect |
                                                              QItemSelectionModel::Rows);
        view->RemoveSelected();
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 1, 10000);
        QCOMPARE(view->Queue().RowCount(), 1);

        QString question;
        AnswerQuestion(QMessageBox::No, question);
        m_kinds->Close("transfers");
        QCOMPARE(question, QString::fromLatin1(TransferAgentView::kCloseQuestion));
        QVERIFY(m_kinds->IsOpen("transfers"));
        QVERIFY(view->Queue().IsWorkerActive());

        QElapsedTimer clock;
        clock.start();
        AnswerQuestion(QMessageBox::Yes, question);
        m_kinds->Close("transfers");
        QVERIFY(!m_kinds->IsOpen("transfers"));
        // Far inside the 60 s the silent peer would have held it.
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!fs::exists(m_dir.Path() / "downloads" / "later.bin"));
        // The part written stays, as whole blocks, under its part name.
        QVERIFY(!fs::exists(m_dir.Path() / "downloads" / "stuck.bin"));
        QCOMPARE(fs::file_size(m_dir.Path() / "downloads" / "stuck.bin.drovick-part"),
                 std::uintmax_t{StallingPeer::kBlocksSent * kTransferBlockSize});
    }

    // A window the user opened keeps every finished row with its final state:
    // a download that found half its file already there shows "Resuming"
    // and ends "Verified", one the friend refuses ends "Failed", and "Clear
    // finished" takes both away.
    void finishedRowsKeepTheirStateUntilCleared() {
        const std::string content = Pattern(400000, 3);
        std::ofstream(m_dir.Path() / "share" / "resume.bin", std::ios::binary) << content;
        const TransferItem resumed = Download("resume.bin");
        const fs::path destination = resumed.destinationPath;
        std::ofstream(PartFileOf(destination), std::ios::binary) << content.substr(0, 250000);
        QVERIFY(
            WritePartRecord(PartRecordOf(destination), {kFriend, resumed.sourcePath, 400000, 0}));
        const auto server = ServeShare();
        QVERIFY(server);

        TransferAgent agent(*m_kinds, m_settings, nullptr, m_options);
        QVERIFY(m_kinds->Open("transfers"));
        TransferAgentView* view = agent.View();
        TransferAgentModel& model = view->Model();
        StatusRecorder statuses(model);
        QVERIFY(agent.HandOff(resumed));
        QVERIFY(agent.HandOff(Download("missing.bin")));
        auto status = [&](int row) {
            return model.index(row, TransferAgentModel::kStatus).data().toString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(status(0), QStringLiteral("Verified"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(status(1), QStringLiteral("Failed"), 20000);
        QCOMPARE(Read(destination), content);
        QVERIFY(!fs::exists(PartFileOf(destination)));

        // Past the half already there from the first percentage on.
        const QStringList seen = statuses.Of(QString::fromStdString(resumed.sourcePath));
        const QStringList resuming = seen.filter(QStringLiteral("Resuming ("));
        QVERIFY2(!resuming.isEmpty() && resuming.first() >= QStringLiteral("Resuming (62%)") &&
                     seen.filter(QStringLiteral("Transferring (")).isEmpty(),
                 qPrintable(seen.join('|')));

        // The rows stay, and so does the window the user opened.
        QTest::qWait(300);
        QVERIFY(m_kinds->IsOpen("transfers"));
        QCOMPARE(model.rowCount(), 2);
        shelltest::Screenshot(*view->parentWidget(), QStringLiteral("transfer-agent-finished"));
        view->ClearFinished();
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 0, 10000);
        QCOMPARE(view->Queue().RowCount(), 0);
        m_kinds->Close("transfers");
        server->Stop(true);
    }

    // Downloads left in the queue file when the program ended open the
    // window by themselves at the next start, run, and close it again. The
    // window opened later shows the ended download until it is cleared.
    void downloadsLeftAtExitOpenTheWindowAtTheNextStart() {
        const std::string content = Pattern(120000, 4);
        std::ofstream(m_dir.Path() / "share" / "left.bin", std::ios::binary) << content;
        const fs::path queueFile = m_dir.Path() / "config" / kTransferQueueFileName;
        QVERIFY(SaveTransferQueue(queueFile, {Download("left.bin")}));
        const auto server = ServeShare();
        QVERIFY(server);

        TransferAgent agent(*m_kinds, m_settings, nullptr, m_options, queueFile);
        QVERIFY(!m_kinds->IsOpen("transfers"));
        QTRY_VERIFY_WITH_TIMEOUT(m_kinds->IsOpen("transfers"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_kinds->IsOpen("transfers"), 20000);
        QCOMPARE(Read(m_dir.Path() / "downloads" / "left.bin"), content);
        QVERIFY(LoadTransferQueue(queueFile).empty());

        QVERIFY(m_kinds->Open("transfers"));
        TransferAgentModel& model = agent.View()->Model();
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 1, 10000);
        QCOMPARE(model.index(0, TransferAgentModel::kStatus).data().toString(),
                 QStringLiteral("Verified"));
        agent.View()->ClearFinished();
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 0, 10000);
        QVERIFY(LoadSavedTransfers(queueFile).empty());
        m_kinds->Close("transfers");
        server->Stop(true);
    }
};

QTEST_MAIN(TransferAgentGuiTest)
#include "TransferAgentGuiTest.moc"
