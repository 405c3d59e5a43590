// Writes PNGs of the Properties dialog in its three states and of the About box.
// Usage: nvds-usertags-screenshot OUTPUT_FOLDER
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <string>

#include "platform/AppFolder.h"
#include "usertags/AboutDlg.h"
#include "usertags/NewTag.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: nvds-usertags-screenshot OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    // Work on a copy of the shipped user database: the pictures must not change it.
    QTemporaryDir scratch;
    const std::string userDb = scratch.filePath(QStringLiteral("userkey_db.xml")).toStdString();
    QFile::copy(QString::fromStdString(nvds::GetAppFolder() + "/userkey_db.xml"),
                QString::fromStdString(userDb));
    nvds::RecordingPrompter prompter;
    nvds::CNewTag dlg(prompter, nvds::GetAppFolder() + "/zbkey_db.xml", userDb);
    dlg.OnInitDialog();
    dlg.resize(640, 520);
    dlg.show();
    bool ok = dlg.grab().save(out + "/properties-browsing.png");
    dlg.OnNew();
    ok = dlg.grab().save(out + "/properties-adding.png") && ok;
    dlg.OnNew();
    dlg.OnListClick(0);
    dlg.OnEdit();
    ok = dlg.grab().save(out + "/properties-editing.png") && ok;
    dlg.hide();

    nvds::CAboutDlg about;
    about.show();
    ok = about.grab().save(out + "/about.png") && ok;
    return ok ? 0 : 1;
}
