// Measures the desktop program's target commands against the paced simulated chip: how soon
// the start-up connect dialog appears, a connect from the click, dump and burn from the window
// against the same transfers called directly (as nvds dump/burn do), and idle CPU with the
// link open. Prints figures; never fails on a slow machine.
#include <sys/resource.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/ConfigNVDS.h"
#include "link/BaudTable.h"
#include "link/LinkConstants.h"
#include "sim/SimLink.h"

using namespace nvds;

namespace {

constexpr int ROUNDS = 5;

class NoFileChooser : public FileChooser {
public:
    QString OpenPath(QWidget*, const QString&) override { return {}; }
    QString SavePath(QWidget*, const QString&) override { return {}; }
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Fn>
double TimeMs(Fn fn) {
    QElapsedTimer clock;
    clock.start();
    fn();
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    auto dir =
        std::filesystem::temp_directory_path() / ("nvds_con_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    std::string link = (dir / "chip").string();

    SimOptions options;
    options.pace = true;
    options.eraseMs = 40;
    options.programMs = 2;
    options.linkPath = link;
    CSimLink sim(options);
    if (!sim.Start()) {
        std::fprintf(stderr, "cannot start the simulated chip\n");
        return 1;
    }
    RecordingPrompter prompter;
    prompter.defaultAnswer = true;
    NoFileChooser chooser;
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

    // Start-up: window shown -> connect dialog shown; then the click -> connected.
    QElapsedTimer sinceShown;
    double dialogMs = 0, connectMs = 0;
    QElapsedTimer sinceClick;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (dialogMs == 0 && dlg.isVisible()) {
            dialogMs = static_cast<double>(sinceShown.nsecsElapsed()) / 1e6;
            dlg.m_cmbInterface->setCurrentIndex(dlg.m_cmbInterface->findText("UART(chip)"));
            sinceClick.start();
            dlg.m_btnConnect->click();
        }
    });
    poll.start(1);
    sinceShown.start();
    window.StartConnectTimer();
    QObject::connect(&dlg, &QDialog::finished,
                     [&] { connectMs = static_cast<double>(sinceClick.nsecsElapsed()) / 1e6; });
    while (window.m_nTimerId != 0) {
        QTest::qWait(1);
    }
    poll.stop();
    double floorMs = ((1 + 1 + 11 + 1) * 10.0 / SYNC_BAUD_16MHZ + (11 + 1) * 10.0 / 115200) * 1e3;
    std::printf("connect dialog shown %.1f ms after the window (start-up timer 200 ms)\n",
                dialogMs);
    std::printf("connect from the click: %.1f ms; wire floor %.1f ms, DTR reset pulse 30 ms\n",
                connectMs, floorMs);

    std::vector<double> winDump, winBurn, directDump, directBurn;
    for (int round = 0; round < ROUNDS; ++round) {
        winBurn.push_back(TimeMs([&] { window.OnBurn(); }));
        winDump.push_back(TimeMs([&] { window.OnDump(); }));
        NvdsImage image = window.m_image;
        directBurn.push_back(TimeMs([&] { BurnImage(dlg.Engine(), true, image, {}); }));
        directDump.push_back(TimeMs([&] { DumpImage(dlg.Engine(), true, image, {}); }));
    }
    std::printf("%-6s %12s %12s %7s   (115200 baud, erase 40 ms, program 2 ms, median of %d)\n",
                "what", "window ms", "direct ms", "ratio", ROUNDS);
    std::printf("%-6s %12.1f %12.1f %7.3f\n", "dump", Median(winDump), Median(directDump),
                Median(winDump) / Median(directDump));
    std::printf("%-6s %12.1f %12.1f %7.3f\n", "burn", Median(winBurn), Median(directBurn),
                Median(winBurn) / Median(directBurn));

    double cpu = CpuSeconds();
    QElapsedTimer idle;
    idle.start();
    QTest::qWait(5000);
    std::printf("idle with the link open: %.3f%% of one core over %.1f s\n",
                (CpuSeconds() - cpu) / (static_cast<double>(idle.elapsed()) / 1e3) * 100.0,
                static_cast<double>(idle.elapsed()) / 1e3);
    std::printf("prompts shown: %zu (expected 1, the offer to burn the defaults)\n",
                prompter.shown.size());
    sim.Stop();
    std::filesystem::remove_all(dir);
    return 0;
}
