// "Choose target computer" and "Computer information" driven through their
// widgets. With DROVICK_SCREENSHOT_DIR set, each dialog is also saved there as
// a PNG for a person to look at.

#include "app/files/DrovickSettings.h"
#include "app/shell/dialogs/ChooseTargetComputerDialog.h"
#include "app/shell/dialogs/ComputerInfoDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

namespace {

struct ChooseTargetParts {
    QRadioButton* mine = nullptr;
    QRadioButton* remote = nullptr;
    QLineEdit* name = nullptr;
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
};

ChooseTargetParts PartsOf(QDialog& dialog) {
    ChooseTargetParts parts;
    for (auto* radio : dialog.findChildren<QRadioButton*>()) {
        if (radio->text() == "My computer")
            parts.mine = radio;
        else if (radio->text() == "Remote computer:")
            parts.remote = radio;
    }
    parts.name = dialog.findChild<QLineEdit*>();
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    parts.ok = buttons ? buttons->button(QDialogButtonBox::Ok) : nullptr;
    parts.cancel = buttons ? buttons->button(QDialogButtonBox::Cancel) : nullptr;
    return parts;
}

// A radio button takes clicks on its mark and text only, not on the rest of
// its row.
void ClickRadio(QRadioButton* radio) {
    QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(8, radio->height() / 2));
}

void SaveShot(QWidget& widget, const QString& name) {
    const QString folder = qEnvironmentVariable("DROVICK_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    QVERIFY(widget.grab().save(folder + "/" + name + ".png"));
}

} // namespace

class ComputerDialogsGuiTest : public QObject {
    Q_OBJECT

private slots:
    void chooseTargetEnablesTheNameAndOkByChoice() {
        DrovickSettings settings;
        settings.targetChoice = 0;
        settings.remoteComputer = "10.0.0.7";
        ChooseTargetComputerDialog dialog(settings);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto parts = PartsOf(dialog);
        QVERIFY(parts.mine && parts.remote && parts.name && parts.ok);
        QCOMPARE(dialog.windowTitle(), QString("Choose target computer"));

        QVERIFY(parts.mine->isChecked());
        QCOMPARE(parts.name->text(), QString("10.0.0.7"));
        QVERIFY(!parts.name->isEnabled());
        QVERIFY(parts.ok->isEnabled());

        ClickRadio(parts.remote);
        QVERIFY(parts.name->isEnabled());
        QVERIFY(parts.ok->isEnabled());
        parts.name->selectAll();
        QTest::keyClick(parts.name, Qt::Key_Delete);
        QVERIFY(!parts.ok->isEnabled());
        // Enter with OK disabled neither closes nor stores.
        QTest::keyClick(parts.name, Qt::Key_Return);
        QVERIFY(dialog.isVisible());
        QTest::keyClicks(parts.name, "ada@example.org");
        QVERIFY(parts.ok->isEnabled());

        // My computer needs no name.
        parts.name->clear();
        ClickRadio(parts.mine);
        QVERIFY(!parts.name->isEnabled());
        QVERIFY(parts.ok->isEnabled());
        QCOMPARE(settings.remoteComputer, std::string("10.0.0.7"));
    }

    void chooseTargetOpensWithTheLastChoiceAndOkStoresIt() {
        DrovickSettings settings;
        settings.targetChoice = 1;
        settings.remoteComputer = "ada@example.org";
        {
            ChooseTargetComputerDialog dialog(settings);
            auto parts = PartsOf(dialog);
            QVERIFY(parts.remote->isChecked());
            QVERIFY(parts.name->isEnabled());
            QCOMPARE(parts.name->text(), QString("ada@example.org"));
            parts.name->setText("192.168.1.20");
            QTest::mouseClick(parts.cancel, Qt::LeftButton);
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QCOMPARE(settings.remoteComputer, std::string("ada@example.org"));
        }
        {
            ChooseTargetComputerDialog dialog(settings);
            auto parts = PartsOf(dialog);
            parts.name->setText("192.168.1.20");
            SaveShot(dialog, "choose-target-computer");
            QTest::mouseClick(parts.ok, Qt::LeftButton);
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QVERIFY(dialog.IsRemote());
            QCOMPARE(dialog.ComputerName(), QString("192.168.1.20"));
            QCOMPARE(settings.targetChoice, 1);
            QCOMPARE(settings.remoteComputer, std::string("192.168.1.20"));
        }
        {
            ChooseTargetComputerDialog dialog(settings);
            auto parts = PartsOf(dialog);
            parts.mine->click();
            QTest::mouseClick(parts.ok, Qt::LeftButton);
            QVERIFY(!dialog.IsRemote());
            QCOMPARE(dialog.ComputerName(), QString("(Local)"));
            QCOMPARE(settings.targetChoice, 0);
            // The name stays for the next time "Remote computer:" is chosen.
            QCOMPARE(settings.remoteComputer, std::string("192.168.1.20"));
        }
    }

    // The settings field holds 509 bytes: 510 or more are stored as empty,
    // counted in the bytes the file holds, not in letters.
    void chooseTargetStoresOverlongNamesAsEmpty() {
        const struct {
            QString name;
            std::string stored;
        } cases[] = {
            {QString(509, 'a'), std::string(509, 'a')},
            {QString(510, 'a'), std::string()},
            {QString(255, QChar(0x00e9)), std::string()}, // 510 bytes in UTF-8
        };
        for (const auto& entry : cases) {
            DrovickSettings settings;
            settings.targetChoice = 1;
            settings.remoteComputer = "old";
            ChooseTargetComputerDialog dialog(settings);
            PartsOf(dialog).name->setText(entry.name);
            QTest::mouseClick(PartsOf(dialog).ok, Qt::LeftButton);
            QCOMPARE(settings.remoteComputer, entry.stored);
            // The window still opens the computer that was typed.
            QCOMPARE(dialog.ComputerName(), entry.name);
        }
    }

    void computerInformationShowsTheNamesOrSaysItHasNone() {
        ComputerInfoDialog dialog("workstation", "ada");
        QCOMPARE(dialog.windowTitle(), QString("Computer information"));
        QStringList shown;
        for (auto* field : dialog.findChildren<QLineEdit*>())
            shown << field->text();
        QCOMPARE(shown, QStringList({"workstation", "ada"}));
        SaveShot(dialog, "computer-information");

        for (auto properties :
             {std::vector<std::string>{"workstation"}, std::vector<std::string>{}}) {
            QString text, caption;
            // The box is modal: answer it from the event loop once it shows.
            QTimer answer;
            connect(&answer, &QTimer::timeout, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box)
                    return;
                text = box->text();
                caption = box->windowTitle();
                box->accept();
            });
            answer.start(20);
            ComputerInfoDialog::ShowFor(!properties.empty(), properties, nullptr);
            QCOMPARE(text, QString("Could not get the computer's information."));
            QCOMPARE(caption, QString("Drive Information"));
        }
    }
};

QTEST_MAIN(ComputerDialogsGuiTest)
#include "ComputerDialogsGuiTest.moc"
