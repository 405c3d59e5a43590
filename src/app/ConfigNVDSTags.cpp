// Tag commands: reset one tag, reset all, clear the list, and the device address modes.
#include <QAction>
#include <QTableWidget>
#include <ctime>

#include "app/AppTexts.h"
#include "app/ConfigNVDS.h"
#include "platform/Clock.h"

namespace nvds {

void CConfigNVDS::OnResetTag() {
    if (!m_prompter->Ask(ASK_RESET_TAG)) {
        return;
    }
    if (!m_tagTable[m_nTag].IsDefined()) {
        return;
    }
    SetCellText(m_nItem, COL_VALUE, QString::fromLocal8Bit(m_tagTable[m_nTag].def.defaultText));
    if (m_nTag == 1) {
        AdvanceBdAddr();
    }
}

void CConfigNVDS::OnResetAll() {
    if (m_list->rowCount() > 0 && !m_prompter->Ask(ASK_RESET_ALL)) {
        return;
    }
    ShowTags(m_tagTable, 1);
    AdvanceBdAddr();
}

void CConfigNVDS::OnClearAll() {
    if (!m_prompter->Ask(ASK_CLEAR_ALL)) {
        return;
    }
    m_list->setRowCount(0);
    Action(ID_FILE_SAVE_AS)->setEnabled(false);
}

void CConfigNVDS::OnBdAddrCustom() {
    SetBdAddrMode(BDADDR_CUSTOM);
}
void CConfigNVDS::OnBdAddrIncrease() {
    SetBdAddrMode(BDADDR_INCREASE);
}
void CConfigNVDS::OnBdAddrDecrease() {
    SetBdAddrMode(BDADDR_DECREASE);
}

void CConfigNVDS::OnBdAddrRandom() {
    SetBdAddrMode(BDADDR_RANDOM);
    if (m_list->rowCount() > 0) {
        BdAddrHalves halves = ReadBdAddr();
        WriteBdAddr(halves.upper, RandomLowerHalf(static_cast<uint32_t>(std::time(nullptr)),
                                                  static_cast<uint32_t>(Ticks())));
    }
}

BdAddrHalves CConfigNVDS::ReadBdAddr() const {
    return nvds::ReadBdAddr(CellText(0, COL_VALUE).toLocal8Bit().toStdString());
}

void CConfigNVDS::WriteBdAddr(uint32_t upper, uint32_t lower) {
    SetCellText(0, COL_VALUE, QString::fromStdString(FormatBdAddr(upper, lower)));
}

void CConfigNVDS::AdvanceBdAddr() {
    if (m_list->rowCount() == 0) {
        return;  // no address row to step
    }
    BdAddrHalves halves = ReadBdAddr();
    uint32_t lower =
        nvds::AdvanceBdAddr(m_nBdAddrMode, halves.lower, static_cast<uint32_t>(std::time(nullptr)),
                            static_cast<uint32_t>(Ticks()));
    WriteBdAddr(halves.upper, lower);
}

}  // namespace nvds
