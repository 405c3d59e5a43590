// The main window against a simulated chip on a pty that the Interface list offers as
// "UART(chip)". Message boxes go to a recording prompter; a hook can act while a question is
// open, as a user would.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTableWidget>
#include <QTest>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/ConfigNVDS.h"
#include "app/WindowProbe.h"
#include "common/NvdsRun.h"
#include "common/ScriptedChooser.h"
#include "sim/SimLink.h"

namespace nvds::test {

namespace fs = std::filesystem;

struct HookPrompter : RecordingPrompter {
    bool Ask(const std::string& text) override {
        if (onAsk) {
            onAsk(text);
        }
        return RecordingPrompter::Ask(text);
    }
    std::function<void(const std::string&)> onAsk;
};

constexpr const char* EMPTY_QUESTION =
    "Target NVDS data is empty. Do you want to burn the default NVDS data to target?";
using Texts = std::vector<std::string>;

/// Pumps events until `done` holds or `ms` have passed.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QTest::qWait(5);
    }
    return done();
}

class ChipFixture : public ::testing::Test {
protected:
    static constexpr const char* CHIP_ENTRY = "UART(chip)";

    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("nvds_con_" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
        m_links = std::make_shared<LinkFactory>(LinkEnvironment{"", {}, (m_dir / "chip").string()});
        m_window = std::make_unique<CConfigNVDS>(m_prompter, m_chooser, AppData("sys_db.xml"),
                                                 AppData("user_db.xml"), m_links);
        ASSERT_TRUE(m_window->OnInitDialog());
        m_window->show();
    }
    void TearDown() override {
        m_window.reset();
        m_sim.reset();
        fs::remove_all(m_dir);
    }

    /// (Re)starts the chip on the same link path, keeping its flash.
    void StartChip(SimOptions options = {}) {
        std::vector<uint8_t> flash = m_sim ? m_sim->Flash() : std::vector<uint8_t>{};
        m_sim.reset();
        options.linkPath = (m_dir / "chip").string();
        m_sim = std::make_unique<CSimLink>(options);
        ASSERT_TRUE(m_sim->Start());
        m_sim->SetFlash(flash);
    }
    /// The connect dialog connects to the chip by itself when it opens.
    void RememberChip() {
        CConnectInterface& dlg = *m_window->m_connectDlg;
        dlg.m_strCrystal = "16MHz";
        dlg.m_strInterface = CHIP_ENTRY;
        dlg.m_strBaud = "115200";
        dlg.m_bRemember = dlg.m_bAutoConnect = true;
    }
    /// Connects at start-up to an erased `chip` and answers the offer of the defaults.
    void StartUpConnect(SimOptions chip = {}, bool burnDefaults = true) {
        StartChip(chip);
        RememberChip();
        m_prompter.answers = {burnDefaults};
        m_window->StartConnectTimer();
        ASSERT_TRUE(WaitFor([&] { return m_window->m_nTimerId == 0; }));
        ASSERT_EQ(m_prompter.Texts(), Texts{EMPTY_QUESTION});
        ASSERT_TRUE(m_window->m_bConnected);
        m_prompter.Clear();
    }
    std::string SettingsText() const {
        return ReadFile(m_dir / "ZB446x NVDS Configurator_config" / "config.ini");
    }
    std::vector<uint8_t> NvdsArea() {
        std::vector<uint8_t> flash = m_sim->Flash();
        return {flash.begin(), flash.begin() + NVDS_IMAGE_SIZE};
    }
    std::vector<uint8_t> Image() { return {m_window->m_image.begin(), m_window->m_image.end()}; }
    QString Value(int tag) const { return m_window->CellText(TagRow(*m_window, tag), COL_VALUE); }
    void SetValue(int tag, const char* text) {
        m_window->SetCellText(TagRow(*m_window, tag), COL_VALUE, text);
    }
    std::string Pane(int pane) const { return m_window->PaneText(pane).toStdString(); }

    fs::path m_dir;
    HookPrompter m_prompter;
    ScriptedChooser m_chooser;
    std::unique_ptr<CSimLink> m_sim;
    std::shared_ptr<const LinkFactory> m_links;  // the Interface list offers the chip
    std::unique_ptr<CConfigNVDS> m_window;
};

}  // namespace nvds::test
