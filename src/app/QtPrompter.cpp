#include "app/QtPrompter.h"

#include <QApplication>
#include <QMessageBox>

namespace nvds {

namespace {

QString Caption() {
    return QApplication::applicationDisplayName();
}

}  // namespace

void QtPrompter::Message(const std::string& text) {
    QMessageBox::information(m_pParent, Caption(), QString::fromLocal8Bit(text));
}

bool QtPrompter::Ask(const std::string& text) {
    return QMessageBox::question(m_pParent, Caption(), QString::fromLocal8Bit(text),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace nvds
