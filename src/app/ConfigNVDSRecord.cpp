// The production record of the window's burns: choosing it, checking the address before a
// burn and recording the burn after it.
#include <QSysInfo>
#include <QTableWidget>

#include "app/ConfigNVDS.h"
#include "line/ProductionRecord.h"
#include "platform/Sha256.h"

namespace nvds {

namespace {

// The device address is the value of the list's first row.
constexpr uint32_t BDADDR_TAG = 1;

constexpr const char* MSG_ALREADY_BURNED =
    "This address was already burned to another chip. Burn anyway?";
constexpr const char* MSG_NOT_BURNED = "The chip was not burned.";

}  // namespace

void CConfigNVDS::OnProductionRecord() {
    std::optional<QString> chosen =
        m_chooser.RecordTarget(this, QString::fromStdString(m_strRecordTarget));
    if (chosen) {
        m_strRecordTarget = chosen->trimmed().toStdString();
    }
}

// Opens the record and looks the list's address up before anything is burned. Null, after a
// message, when the burn must not start: the record cannot be opened or read, or the user
// declined to burn an address another chip already carries.
std::unique_ptr<line::ProductionRecord> CConfigNVDS::OpenRecordForBurn(uint64_t& address) {
    if (m_list->rowCount() == 0 || RowTag(0) != BDADDR_TAG) {
        m_prompter->Message("The list shows no device address to record. " +
                            std::string(MSG_NOT_BURNED));
        return nullptr;
    }
    address = line::AddressValue(CellText(0, COL_VALUE).toStdString());
    std::string error;
    std::unique_ptr<line::ProductionRecord> record =
        line::OpenProductionRecord(m_strRecordTarget, line::AddressPool{}, error);
    if (!record) {
        m_prompter->Message(error + "\n" + MSG_NOT_BURNED);
        return nullptr;
    }
    line::RecordState state = line::RECORD_RESERVED;
    if (!record->StateOf(address, state)) {
        // No row is the normal answer for a new address; a failed look-up leaves its text.
        if (!record->LastError().empty()) {
            m_prompter->Message(record->LastError() + "\n" + MSG_NOT_BURNED);
            return nullptr;
        }
        return record;
    }
    if (state == line::RECORD_VERIFIED && !m_prompter->Ask(MSG_ALREADY_BURNED)) {
        return nullptr;
    }
    return record;
}

void CConfigNVDS::RecordBurned(line::ProductionRecord& record, uint64_t address,
                               const NvdsImage& image, double seconds) {
    const line::Station station{QSysInfo::machineHostName().toStdString(),
                                m_connectDlg->m_strInterface};
    if (!record.RecordBurn(address, station, Sha256Hex(image.data(), image.size()), seconds)) {
        m_prompter->Message("The chip was burned with " + line::AddressText(address) +
                            ", but the burn could not be recorded: " + record.LastError());
    }
}

}  // namespace nvds
