#include "usertags/AboutDlg.h"

#include <gtest/gtest.h>

#include <QLabel>

#include "platform/BuildVersion.h"

namespace nvds {
namespace {

// The About box shows the fixed caption and version text, and the revision `--version` prints.
TEST(AboutBox, ShowsTheVersionAndTheRevisionItWasBuiltFrom) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About ZB446x NVDS Configurator"));
    QStringList texts;
    for (const QLabel* label : about.findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) {
            texts << label->text();
        }
    }
    EXPECT_EQ(texts, (QStringList{QStringLiteral("ZB446x NVDS Configurator"),
                                  QStringLiteral("Version 1.29"),
                                  QStringLiteral("Revision ") + BuildRevision()}));
    EXPECT_NE(VersionLine("nvds").find(std::string("(revision ") + BuildRevision() + ")"),
              std::string::npos);
}

}  // namespace
}  // namespace nvds
