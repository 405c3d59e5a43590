#include "app/QtPrompter.h"

#include <QMessageBox>

#include "app/ConfigNVDS.h"

namespace nvds {

namespace {

// Message boxes carry the program's name as their caption.
QString Caption() {
    return QString::fromLatin1(CConfigNVDS::CAPTION);
}

}  // namespace

void QtPrompter::Message(const std::string& text) {
    QMessageBox::information(m_pParent, Caption(), QString::fromLocal8Bit(text));
}

bool QtPrompter::Ask(const std::string& text) {
    return QMessageBox::question(m_pParent, Caption(), QString::fromLocal8Bit(text),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

bool QtPrompter::AskDefaultNo(const std::string& text) {
    return QMessageBox::question(m_pParent, Caption(), QString::fromLocal8Bit(text),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace nvds
