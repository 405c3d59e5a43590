#pragma once

#include <string>

namespace nvds {

class CProgstarDlg;
class LinkFactory;

/// Makes `engine` ready for a connect over the interface `port` with crystal index `crystal`
/// and working rate row `baudRow`, on the link `links` makes for it: SPI_ENTRY takes the USB
/// bridge (rate settings stay as they were), anything else is the path of a serial device.
/// Starts the receive dispatch and clears the connect state. No operation may be running on the
/// engine.
void SetUpLink(CProgstarDlg& engine, const LinkFactory& links, const std::string& port, int crystal,
               int baudRow);

}  // namespace nvds
