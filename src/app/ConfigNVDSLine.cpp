// The station board reached from Operate > Production line...
#include "app/ConfigNVDS.h"
#include "app/StationBoard.h"

namespace nvds {

void CConfigNVDS::OnProductionLine() {
    if (!m_board) {
        BoardContext context;
        context.sysDbPath = GetSysDbPath();
        context.userDbPath = m_strUserDbPath;
        context.ini = &m_ini;
        context.record = m_strRecordTarget;
        context.links = m_links;
        m_board = std::make_unique<CStationBoard>(*m_prompter, m_chooser, std::move(context));
    }
    m_board->show();
    m_board->raise();
    m_board->activateWindow();
}

}  // namespace nvds
