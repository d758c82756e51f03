// The preferences sheet round trip into a real "Drovick.settings": what OK
// stores, what it leaves, what Cancel leaves, and the colour dialogs.

#include "ShellGuiTestSupport.h"
#include "app/files/DrovickSettings.h"
#include "app/shell/preferences/InstantMessagesPage.h"
#include "app/shell/preferences/PreferencesDialog.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>

namespace {

std::string FileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Answers the next colour dialog: picks colour, or cancels when it is invalid,
// and notes the colour the dialog started from.
void AnswerColourDialog(QColor colour, QColor& startedFrom) {
    QTimer::singleShot(50, [colour, &startedFrom] {
        auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        startedFrom = dialog->currentColor();
        if (!colour.isValid()) {
            dialog->reject();
            return;
        }
        dialog->setCurrentColor(colour);
        dialog->accept();
    });
}

class PreferencesGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shelltest::Application(); }

    void SetUp() override {
        m_file = m_temp.Path() / DrovickSettings::kFileName;
        DrovickSettings settings;
        settings.downloadDirectory = "/home/ann/Downloads";
        settings.showMainWindowOnStart = 0;
        settings.popUpOnReceipt = 0;
        ASSERT_TRUE(settings.SaveSettings(m_file));
        ASSERT_TRUE(m_settings.LoadSettings(m_file));
    }

    // Opens the sheet, shows the given tabs in turn, lets edit change the
    // controls, then presses OK or Cancel and saves the settings as the
    // program does at exit.
    template <typename Edit>
    void RunSheet(std::initializer_list<int> tabs, Edit edit, QDialogButtonBox::StandardButton press) {
        PreferencesDialog sheet(m_settings);
        sheet.show();
        for (int tab : tabs) {
            sheet.Tabs()->setCurrentIndex(tab);
            QApplication::processEvents();
        }
        edit(sheet);
        sheet.findChild<QDialogButtonBox*>()->button(press)->click();
        EXPECT_FALSE(sheet.isVisible());
        ASSERT_TRUE(m_settings.SaveSettings(m_file));
    }

    std::unique_ptr<DrovickSettings> Reloaded() const {
        auto reloaded = std::make_unique<DrovickSettings>();
        EXPECT_TRUE(reloaded->LoadSettings(m_file));
        return reloaded;
    }

    testsupport::TempDir m_temp;
    std::filesystem::path m_file;
    DrovickSettings m_settings;
};

TEST_F(PreferencesGuiTest, OkStoresOnlyThePagesThatWereShown) {
    // The sheet opens on "General"; "Folders" is never shown.
    RunSheet({2}, [](PreferencesDialog& sheet) {
        sheet.findChild<QCheckBox*>("popUpOnReceipt")->setChecked(true);
        sheet.findChild<QCheckBox*>("showMainWindowOnStart")->setChecked(true);
        // Typed into a page that was never shown: it must not count.
        sheet.findChild<QLineEdit*>("downloadDirectory")->setText("/elsewhere");
    }, QDialogButtonBox::Ok);
    const auto stored = Reloaded();
    EXPECT_EQ(stored->popUpOnReceipt, 1);
    EXPECT_EQ(stored->showMainWindowOnStart, 1);
    EXPECT_EQ(stored->downloadDirectory, "/home/ann/Downloads");
    // Colours shown and left alone keep their exact words.
    EXPECT_EQ(stored->messageTextColour, 0u);
    EXPECT_EQ(stored->messageBubbleColour, 0xff8080u);

    // A second sheet opened on "Instant messages" never shows "General", so
    // it leaves what "General" stores as it was.
    PreferencesDialog sheet(m_settings);
    sheet.Tabs()->setCurrentIndex(2);
    sheet.show();
    QApplication::processEvents();
    sheet.findChild<QCheckBox*>("showMainWindowOnStart")->setChecked(false);
    sheet.accept();
    EXPECT_EQ(m_settings.showMainWindowOnStart, 1);
}

TEST_F(PreferencesGuiTest, CancelStoresNothing) {
    const std::string before = FileBytes(m_file);
    RunSheet({0, 1, 2}, [](PreferencesDialog& sheet) {
        sheet.findChild<QCheckBox*>("showMainWindowOnStart")->setChecked(true);
        sheet.findChild<QLineEdit*>("downloadDirectory")->setText("/elsewhere");
        sheet.findChild<QCheckBox*>("popUpOnReceipt")->setChecked(true);
        QColor startedFrom;
        AnswerColourDialog(Qt::green, startedFrom);
        sheet.findChild<QPushButton*>("textSet")->click();
    }, QDialogButtonBox::Cancel);
    EXPECT_EQ(FileBytes(m_file), before);
}

TEST_F(PreferencesGuiTest, FoldersPageShowsTheDirectoryAndStoresAtMost299Characters) {
    std::string shown;
    const QString longPath = "/" + QString(319, QChar(u'd'));
    RunSheet({1}, [&](PreferencesDialog& sheet) {
        auto* edit = sheet.findChild<QLineEdit*>("downloadDirectory");
        shown = edit->text().toStdString();
        // Going away and back keeps what the user typed.
        edit->setText(longPath);
        sheet.Tabs()->setCurrentIndex(0);
        QApplication::processEvents();
        sheet.Tabs()->setCurrentIndex(1);
        QApplication::processEvents();
        EXPECT_EQ(edit->text(), longPath);
    }, QDialogButtonBox::Ok);
    EXPECT_EQ(shown, "/home/ann/Downloads");
    EXPECT_EQ(Reloaded()->downloadDirectory, longPath.left(299).toStdString());

    // Characters are never split to fit the field's bytes.
    RunSheet({1}, [](PreferencesDialog& sheet) {
        sheet.findChild<QLineEdit*>("downloadDirectory")->setText("/" + QString(298, QChar(u'é')));
    }, QDialogButtonBox::Ok);
    const std::string stored = Reloaded()->downloadDirectory;
    EXPECT_EQ(stored, ("/" + QString(149, QChar(u'é'))).toUtf8().toStdString());
}

TEST_F(PreferencesGuiTest, ColourDialogsStartFromTheSwatchAndStoreRedInTheLowByte) {
    QColor textStartedFrom;
    QColor bubbleStartedFrom;
    RunSheet({2}, [&](PreferencesDialog& sheet) {
        AnswerColourDialog(QColor(0x12, 0x34, 0x56), textStartedFrom);
        sheet.findChild<QPushButton*>("textSet")->click();
        // A cancelled colour dialog leaves the swatch as it was.
        AnswerColourDialog(QColor(), bubbleStartedFrom);
        sheet.findChild<QPushButton*>("bubbleSet")->click();
        EXPECT_EQ(sheet.findChild<QFrame*>("textSwatch")->palette().color(QPalette::Window),
                  QColor(0x12, 0x34, 0x56));
        shelltest::Screenshot(sheet, "preferences-instant-messages");
        sheet.Tabs()->setCurrentIndex(0);
        shelltest::Screenshot(sheet, "preferences-general");
        sheet.Tabs()->setCurrentIndex(1);
        shelltest::Screenshot(sheet, "preferences-folders");
    }, QDialogButtonBox::Ok);
    EXPECT_EQ(textStartedFrom, QColor(0, 0, 0));
    // 0xff8080: red 0x80, green 0x80, blue 0xff.
    EXPECT_EQ(bubbleStartedFrom, QColor(0x80, 0x80, 0xff));
    const auto stored = Reloaded();
    EXPECT_EQ(stored->messageTextColour, 0x563412u);
    EXPECT_EQ(stored->messageBubbleColour, 0xff8080u);
}

} // namespace
