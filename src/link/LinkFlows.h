#pragma once

#include <functional>
#include <string>

#include "catalogue/TagTypes.h"
#include "image/NvdsImage.h"

namespace nvds {

class CNvdsConfig;
class CProgstarDlg;
class Prompter;

/// Makes `engine` ready for a connect over the interface `port` with crystal index `crystal`
/// and working rate row `baudRow`: SPI_ENTRY takes the USB bridge (rate settings stay as they
/// were), anything else is the path of a serial device. Starts the receive dispatch and clears
/// the connect state. No operation may be running on the engine.
void SetUpLink(CProgstarDlg& engine, const std::string& port, int crystal, int baudRow);

/// Checks a freshly dumped image and, when it does not hold valid tags, runs `beforeMessage`
/// (the window clears its status pane) and says "Target NVDS data is error!". Returns what
/// CheckImage returned.
int CheckDumpedImage(CNvdsConfig& config, TagTable& table, NvdsImage& image, Prompter& prompter,
                     const std::function<void()>& beforeMessage = {});

}  // namespace nvds
