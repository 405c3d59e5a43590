// Saves PNGs of the connect dialog offering a simulated chip and of the main window while a
// burn runs. Usage: nvds-connect-screenshot OUTPUT_FOLDER
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "app/ConfigNVDS.h"
#include "app/QtPrompter.h"
#include "sim/SimLink.h"

using namespace nvds;

namespace {

// Answers every question Yes, so the erased chip gets the defaults.
class YesPrompter : public Prompter {
public:
    void Message(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    bool Ask(const std::string&) override { return true; }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: nvds-connect-screenshot OUTPUT_FOLDER\n");
        return 2;
    }
    QString out = argv[1];
    auto dir =
        std::filesystem::temp_directory_path() / ("nvds_con_shot_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string link = (dir / "zb446x-sim").string();
    SimOptions options;
    options.pace = true;
    options.eraseMs = 40;
    options.programMs = 60;  // slow enough to catch the burn half-way
    options.linkPath = link;
    CSimLink sim(options);
    if (!sim.Start()) {
        std::fprintf(stderr, "cannot start the simulated chip\n");
        return 1;
    }
    YesPrompter prompter;
    QtFileChooser chooser;
    CConfigNVDS window(prompter, chooser,
                       std::make_shared<LinkFactory>(LinkEnvironment{"", {}, link}));
    if (!window.OnInitDialog()) {
        return 1;
    }
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        return 1;
    }
    CConnectInterface& dlg = *window.m_connectDlg;

    bool ok = true;
    QTimer::singleShot(300, [&] {
        dlg.m_cmbInterface->setCurrentIndex(dlg.m_cmbInterface->findText("UART(zb446x-sim)"));
        ok = dlg.grab().save(out + "/connect-dialog.png") && ok;
        dlg.m_btnConnect->click();
    });
    // The start-up connect dumps the erased chip and burns the defaults; grab half-way.
    QTimer::singleShot(1200, [&] { ok = window.grab().save(out + "/burn-in-progress.png") && ok; });
    window.StartConnectTimer();
    while (window.m_nTimerId != 0) {
        QTest::qWait(5);
    }
    ok = window.m_bConnected && ok;
    sim.Stop();
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
