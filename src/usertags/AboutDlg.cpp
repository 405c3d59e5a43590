#include "usertags/AboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "platform/BuildVersion.h"
#include "usertags/AppIcon.h"
#include "usertags/UserTagTexts.h"

namespace nvds {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromLatin1(TITLE_ABOUT));
    auto* icon = new QLabel;
    icon->setPixmap(MakeAppIcon(48));
    auto* texts = new QVBoxLayout;
    texts->addWidget(new QLabel(QStringLiteral("ZB446x NVDS Configurator")));
    texts->addWidget(
        new QLabel(QStringLiteral("Version ") + QString::fromLatin1(ProgramVersion())));
    texts->addWidget(
        new QLabel(QStringLiteral("Revision ") + QString::fromLatin1(BuildRevision())));
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(texts);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
}

}  // namespace nvds
