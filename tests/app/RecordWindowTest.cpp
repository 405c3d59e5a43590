// The production record of the main window's burns, against the simulated chip: the record
// is chosen through the window's file chooser, checked before every burn and written after it.
#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSysInfo>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <optional>

#include "connect/ChipFixture.h"
#include "line/RecordScratch.h"
#include "platform/Sha256.h"

namespace nvds::test {
namespace {

constexpr const char* EMPTY_QUESTION =
    "Target NVDS data is empty. Do you want to burn the default NVDS data to target?";
constexpr const char* ALREADY_BURNED =
    "This address was already burned to another chip. Burn anyway?";
using Texts = std::vector<std::string>;

// Answers the record dialog with `answer` and keeps the record it was opened with.
struct RecordChooser : NoChooser {
    std::optional<QString> RecordTarget(QWidget*, const QString& current) override {
        shownWith = current;
        return answer;
    }
    std::optional<QString> answer;
    QString shownWith;
};

class RecordWindowTest : public ChipFixture {
protected:
    void SetUp() override {
        ChipFixture::SetUp();
        OpenWindow();
    }
    void OpenWindow() {
        std::string data = std::getenv("NVDS_TEST_DATA") + std::string("/app/");
        m_window = std::make_unique<CConfigNVDS>(m_prompter, m_records, data + "sys_db.xml",
                                                 data + "user_db.xml");
        ASSERT_TRUE(m_window->OnInitDialog());
        m_window->show();
    }
    void ChooseRecord(std::optional<QString> answer) {
        m_records.answer = std::move(answer);
        m_window->Action(ID_PRODUCTION_RECORD)->trigger();
    }
    /// Connects at start-up to an erased chip and burns the defaults (no record set yet).
    void StartUpConnect() {
        StartChip();
        RememberChip();
        m_prompter.answers = {true};
        m_window->StartConnectTimer();
        ASSERT_TRUE(WaitFor([&] { return m_window->m_nTimerId == 0; }));
        ASSERT_EQ(m_prompter.Texts(), Texts{EMPTY_QUESTION});
        ASSERT_TRUE(m_window->m_bConnected);
        m_prompter.Clear();
    }
    std::vector<line::RecordRow> Rows(const std::string& path) {
        std::string error;
        std::vector<line::RecordRow> rows;
        auto record = line::OpenProductionRecordToRead(path, error);
        EXPECT_TRUE(record && record->Rows(rows)) << error;
        return rows;
    }
    std::string SettingsText() {
        std::ifstream in(m_dir / "ZB446x NVDS Configurator_config" / "config.ini");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    RecordChooser m_records;
};

// Custom mode burns the same address again and again: the first burn is recorded, the second
// asks first; No burns nothing, Yes burns and updates the one row.
TEST_F(RecordWindowTest, SecondBurnOfAVerifiedAddressAsksFirst) {
    StartUpConnect();
    const std::string path = (m_dir / "line.db").string();
    ChooseRecord(QString::fromStdString(path));
    const uint64_t address = line::AddressValue(Value(1).toStdString());

    m_window->OnBurn();
    EXPECT_EQ(m_prompter.Texts(), Texts{});
    std::vector<line::RecordRow> rows = Rows(path);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, line::RECORD_VERIFIED);
    EXPECT_EQ(rows[0].imageSha256, Sha256Hex(NvdsArea().data(), NVDS_IMAGE_SIZE));

    SetValue(3, "0x20");
    const std::vector<uint8_t> before = NvdsArea();
    const std::vector<uint8_t> imageBefore = Image();
    m_prompter.answers = {false};
    m_window->OnBurn();
    EXPECT_EQ(m_prompter.Texts(), Texts{ALREADY_BURNED});
    EXPECT_EQ(NvdsArea(), before);
    EXPECT_EQ(Image(), imageBefore);
    EXPECT_EQ(Rows(path)[0].imageSha256, rows[0].imageSha256);

    m_prompter.Clear();
    m_prompter.answers = {true};
    m_window->OnBurn();
    EXPECT_EQ(m_prompter.Texts(), Texts{ALREADY_BURNED});
    EXPECT_NE(NvdsArea(), before);
    EXPECT_EQ(NvdsArea(), Image());
    rows = Rows(path);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].address, address);
    EXPECT_EQ(rows[0].state, line::RECORD_VERIFIED);
    EXPECT_EQ(rows[0].station.host, QSysInfo::machineHostName().toStdString());
    EXPECT_EQ(rows[0].station.port, CHIP_ENTRY);
    EXPECT_EQ(rows[0].imageSha256, Sha256Hex(NvdsArea().data(), NVDS_IMAGE_SIZE));
    EXPECT_GT(rows[0].seconds, 0);
    EXPECT_EQ(Value(1).toStdString(), line::AddressText(address));
}

// A record that cannot be opened stops the burn before anything is sent, with its reason.
TEST_F(RecordWindowTest, RecordThatCannotBeOpenedBurnsNothing) {
    StartUpConnect();
    const std::string notRecord = (m_dir / "notes.txt").string();
    std::ofstream(notRecord) << "not a database, but long enough to be read as a file header\n";
    const std::string missing = (m_dir / "missing" / "line.db").string();
    // A record that opens but whose look-up fails.
    const std::string broken = (m_dir / "broken.db").string();
    std::string error;
    ASSERT_TRUE(line::OpenProductionRecord(broken, {}, error)) << error;
    Sql(broken, "DROP TABLE record_address");
    const struct {
        std::string target;
        std::string message;
    } cases[] = {
        {missing, "cannot open production record " + missing +
                      ": unable to open database file\nThe chip was not burned."},
        {notRecord, notRecord +
                        " is not a production record (not an SQLite database)\nThe chip was "
                        "not burned."},
        {broken, "production record " + broken +
                     ": no such table: record_address\nThe chip was not burned."},
    };
    SetValue(3, "0x20");
    const std::vector<uint8_t> before = NvdsArea();
    for (const auto& c : cases) {
        ChooseRecord(QString::fromStdString(c.target));
        m_prompter.Clear();
        m_window->OnBurn();
        EXPECT_EQ(m_prompter.Texts(), Texts{c.message});
        EXPECT_EQ(NvdsArea(), before) << c.target;
    }
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
}

// A burn that cannot be written to the record has still happened: the message says so, and
// the address steps on as after any burn, since this chip now carries it.
TEST_F(RecordWindowTest, BurnThatCannotBeRecordedIsReportedAndTheAddressStepsOn) {
    StartUpConnect();
    const std::string path = (m_dir / "line.db").string();
    std::string error;
    ASSERT_TRUE(line::OpenProductionRecord(path, {}, error)) << error;
    Sql(path,
        "CREATE TRIGGER refuse BEFORE INSERT ON record_address"
        " BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    ChooseRecord(QString::fromStdString(path));
    m_window->Action(ID_BDADDR_INCREASE)->trigger();
    SetValue(1, "C0 11 22 33 44 FF");
    SetValue(3, "0x20");
    m_window->OnBurn();
    EXPECT_EQ(m_prompter.Texts(),
              Texts{"The chip was burned with C0 11 22 33 44 FF, but the burn could not be "
                    "recorded: production record " +
                    path + ": disk says no"});
    EXPECT_EQ(NvdsArea(), Image());
    EXPECT_EQ(Value(1), "C0 11 22 33 45 00");
    EXPECT_EQ(Rows(path).size(), 0u);
}

// The record is kept under its own key after the six, and only while one is set.
TEST_F(RecordWindowTest, RecordIsKeptInTheSettingsWhileSet) {
    const QString url = "postgresql://line@db.example/records?sslmode=require";
    ChooseRecord(url);
    m_window->OnQuit();
    EXPECT_EQ(SettingsText(),
              "[Setting]\nOSC=\nINTERFACE=\nBAUDRATE=\nREMEBER_CONNECT=False\n"
              "AUTO_CONNECT=False\nBDADDR_TYPE=0\nPRODUCTION_RECORD=" +
                  url.toStdString() + "\n");

    OpenWindow();
    ChooseRecord(std::nullopt);  // cancelled: the record stays
    EXPECT_EQ(m_records.shownWith, url);
    ChooseRecord(QString());  // off
    EXPECT_EQ(m_records.shownWith, url);
    m_window->OnQuit();
    EXPECT_EQ(SettingsText(),
              "[Setting]\nOSC=\nINTERFACE=\nBAUDRATE=\nREMEBER_CONNECT=False\n"
              "AUTO_CONNECT=False\nBDADDR_TYPE=0\n");
    OpenWindow();
    ChooseRecord(std::nullopt);
    EXPECT_EQ(m_records.shownWith, "");
}

// The dialog itself: the field starts with the record set, Browse fills it from the save
// dialog, a text typed by hand is taken as typed, Off empties it and Cancel changes nothing.
TEST(RecordDialog, BrowseTypeOffAndCancel) {
    struct Browsing : NoChooser {
        QString SavePath(QWidget*, const QString&) override { return "/srv/line/bench.db"; }
    } chooser;
    const struct {
        const char* button;  // pressed after Browse
        const char* typed;   // replaces the field before the button, when not null
        std::optional<QString> expected;
    } cases[] = {
        {"OK", nullptr, QString("/srv/line/bench.db")},
        {"OK", " postgresql://line@db/records ", QString("postgresql://line@db/records")},
        {"Off", nullptr, QString()},
        {"Cancel", nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        QString startedWith;
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            ASSERT_NE(dialog, nullptr);
            auto* field = dialog->findChild<QLineEdit*>("recordTarget");
            startedWith = field->text();
            for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
                if (button->text().remove('&') == "Browse...") {
                    button->click();
                }
            }
            if (c.typed != nullptr) {
                field->setText(c.typed);
            }
            for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
                if (button->text().remove('&') == c.button) {
                    button->click();
                }
            }
            if (QApplication::activeModalWidget() == dialog) {
                dialog->close();  // the button was not found: end the case
            }
        });
        EXPECT_EQ(chooser.RecordTarget(nullptr, "old.db"), c.expected) << c.button;
        EXPECT_EQ(startedWith, "old.db");
    }
}

}  // namespace
}  // namespace nvds::test
