// Starts the main window with an image loaded, saves PNGs of the window and of its right-click
// menu, and prints the time from entering main to the window being shown.
#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QScreen>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "app/ConfigNVDS.h"
#include "app/QtPrompter.h"

using namespace nvds;

namespace {

// Milliseconds since the kernel started this process (10 ms resolution), so the figure includes
// loading the executable and its libraries.
long long MsSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    double uptime = 0;
    std::ifstream("/proc/uptime") >> uptime;
    double started = std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return static_cast<long long>((uptime - started) * 1000);
}

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer clock;
    clock.start();
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: nvds-screenshot IMAGE.nvds OUTPUT_FOLDER\n");
        return 2;
    }
    QString outDir = argv[2];
    QtPrompter prompter;
    QtFileChooser chooser;
    CConfigNVDS window(prompter, chooser);
    if (!window.OnInitDialog()) {
        return 1;
    }
    window.OpenImagePath(argv[1]);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        return 1;
    }
    std::printf("start-up to shown window: %lld ms from main, %lld ms from process start\n",
                static_cast<long long>(clock.elapsed()), MsSinceProcessStart());
    QTest::qWait(200);
    QScreen* screen = window.screen();
    QRect frame = window.frameGeometry();
    bool ok = window.grab().save(outDir + "/main-window.png");

    QTableWidget* list = window.m_list;
    QPoint cell = list->visualItemRect(list->item(2, COL_VALUE)).center();
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, cell);
    QTest::qWait(200);
    QRect menu = window.m_pPopupMenu->frameGeometry();
    QRect shot = frame.united(menu).adjusted(-2, -2, 2, 2);
    ok = screen->grabWindow(0, shot.x(), shot.y(), shot.width(), shot.height())
             .save(outDir + "/context-menu.png") &&
         ok;
    window.m_pPopupMenu->hide();

    // The cell editor over a value.
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                       list->visualItemRect(list->item(1, COL_VALUE)).center());
    QTest::qWait(100);
    ok = window.grab().save(outDir + "/cell-editor.png") && ok;
    window.EndCellEdit();

    // The status bar with a production record set, after a burn it recorded.
    window.m_strRecordTarget = "/srv/line/bench.db";
    window.ShowRecordPane("C0 11 22 33 44 55 verified");
    QTest::qWait(100);
    ok = window.grab().save(outDir + "/record-status.png") && ok;

    // The question before burning an address that may already be on a chip (No is the default).
    prompter.SetParent(&window);
    line::AddressInfo info;
    info.known = true;
    info.state = line::RECORD_ABANDONED;
    info.station = {"bench1", "/dev/ttyUSB0"};
    info.atMs = 1796630400000;
    QTimer::singleShot(300, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (box == nullptr) {
            ok = false;
            return;
        }
        QRect area = box->frameGeometry().adjusted(-2, -2, 2, 2);
        ok = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                 .save(outDir + "/record-question.png") &&
             ok;
        box->close();
    });
    prompter.AskDefaultNo(MayBeOnChipQuestion(0xC01122334455, info));
    return ok ? 0 : 1;
}
