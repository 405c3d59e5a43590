// Saves PNGs of the station board: set up and idle, four stations burning, and after a run in
// which one station's chip failed its read-back. The stations run on in-process simulated chips.
// Usage: nvds-board-screenshot OUT_FOLDER   (run in the folder of the catalogue files)
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <cstdio>
#include <map>
#include <memory>

#include "app/BoardSetup.h"
#include "app/FileChooser.h"
#include "app/ProgstarApp.h"
#include "app/StationBoard.h"
#include "app/StationTile.h"
#include "catalogue/NvdsConfig.h"
#include "image/BuildImage.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"
#include "sim/InProcessLink.h"

using namespace nvds;

namespace {

class NoChooser : public FileChooser {
public:
    QString OpenPath(QWidget*, const QString&) override { return {}; }
    QString SavePath(QWidget*, const QString&) override { return {}; }
};

bool Save(QWidget& widget, const QString& path) {
    QCoreApplication::processEvents();
    bool saved = widget.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", path.toLocal8Bit().constData());
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    CProgstarApp::SetUpApplication();
    if (argc != 2) {
        std::fprintf(stderr, "usage: nvds-board-screenshot OUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const std::string scratch = out.toStdString() + "/board-scratch";
    std::remove((scratch + ".db").c_str());

    RecordingPrompter prompter;
    CNvdsConfig config(prompter, "zbkey_db.xml", "userkey_db.xml");
    TagTable table{};
    config.LoadTagDb("zbkey_db.xml", table);
    config.LoadTagDb("userkey_db.xml", table);
    NvdsImage image = ErasedImage();
    std::string invalid;
    BuildImage(table, image, invalid);
    const std::string golden = scratch + "-golden.nvds";
    WriteFileAtomically(golden, image.data(), image.size());

    // Four stations with a real part's flash times; the third one's chips have a weak page.
    std::map<std::string, std::shared_ptr<CSimLine>> chips;
    std::vector<ComPortEntry> ports;
    for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}) {
        SimOptions options;
        options.programMs = 60;
        options.weakPage = std::string(name) == "ttyUSB2" ? 3 : -1;
        chips[std::string("/dev/") + name] = std::make_shared<CSimLine>(options);
        ports.push_back({std::string("UART(") + name + ")", std::string("/dev/") + name});
    }
    BoardContext context;
    context.sysDbPath = "zbkey_db.xml";
    context.userDbPath = "userkey_db.xml";
    context.links = std::make_shared<CInProcessLinks>(chips);
    context.observer = [&chips](const line::StationEvent& event, const line::StationStatus&) {
        if ((event.kind == line::StationEvent::Done || event.kind == line::StationEvent::Error) &&
            event.hasAddress) {
            chips.at(event.port)->TakeOut();
        }
    };
    NoChooser chooser;
    auto owned = std::make_unique<CStationBoard>(prompter, chooser, std::move(context));
    CStationBoard& board = *owned;
    CBoardSetup& setup = *board.m_setup;
    setup.LoadGolden(golden);
    setup.m_editFirst->setText("C0 11 22 00 00 01");
    setup.m_editLast->setText("C0 11 22 00 03 E8");
    setup.m_editRecord->setText(QString::fromStdString(scratch + ".db"));
    setup.m_editLot->setText("2026-W49");
    int n = 1;
    for (const ComPortEntry& port : ports) {
        setup.TickStation(port.path, true, "Socket " + std::to_string(n++));
    }
    board.resize(1240, 700);
    board.show();
    bool ok = Save(board, out + "/board-idle.png");

    board.OnStart();
    (void)QTest::qWaitFor(
        [&] {
            int busy = 0;
            for (CStationTile* tile : board.m_tiles) {
                busy += tile->Status().page >= 6 ? 1 : 0;
            }
            return busy == 4;
        },
        30000);
    ok = Save(board, out + "/board-running.png") && ok;
    (void)QTest::qWaitFor(
        [&] {
            for (CStationTile* tile : board.m_tiles) {
                if (tile->Status().done + tile->Status().failures == 0) {
                    return false;
                }
            }
            return true;
        },
        30000);
    ok = Save(board, out + "/board-fail.png") && ok;
    board.OnStop();
    (void)QTest::qWaitFor([&] { return !board.Running(); }, 30000);
    owned.reset();  // the worker has closed the record
    std::remove((scratch + ".db").c_str());
    std::remove(golden.c_str());
    return ok ? 0 : 1;
}
