#include "app/ProgstarApp.h"

#include <QApplication>
#include <QTimer>

#include "app/ConfigNVDS.h"
#include "app/FileChooser.h"
#include "app/QtPrompter.h"

namespace nvds {

void CProgstarApp::SetUpApplication() {
    QGuiApplication::setDesktopFileName("zb446x-nvds-configurator");
}

int CProgstarApp::InitInstance(int argc, char** argv, std::shared_ptr<const LinkFactory> links) {
    QApplication app(argc, argv);
    SetUpApplication();
    QtPrompter prompter;
    QtFileChooser chooser;
    CConfigNVDS dialog(prompter, chooser, std::move(links));
    prompter.SetParent(&dialog);
    if (!dialog.OnInitDialog()) {
        return 1;
    }
    QStringList args = QApplication::arguments();
    if (args.size() > 1) {
        // Opened once the window is up, so that its messages appear over it.
        QString path = args.at(1);
        QTimer::singleShot(0, &dialog, [&dialog, path] {
            dialog.OpenImagePath(path.toLocal8Bit().toStdString());
        });
    }
    dialog.StartConnectTimer();
    dialog.exec();
    return 0;
}

}  // namespace nvds
