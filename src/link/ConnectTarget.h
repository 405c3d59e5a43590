#pragma once

#include <functional>
#include <memory>

#include "link/LinkTexts.h"
#include "link/LinkTransport.h"

namespace nvds {

class CProgstarDlg;
class Prompter;
class UsbTransport;

/// Progress of a connect: a position 0..99 that wraps.
using ConnectProgress = std::function<void(int position)>;

/// Catches the boot loader after a reset and sets the working rate, repeating the sync step of
/// the engine's link until it succeeds, engine.Cancel() is called (quietly) or 20 s have
/// passed (with the overtime message). Returns 1 (engine's connected flag set) or 0.
int ConnectTarget(CProgstarDlg& engine, Prompter& prompter, const ConnectProgress& progress = {});

/// The sync step of a UART link: the port opened at the sync rate first; each attempt pulses
/// the reset line every 21st time, sends a sync byte and waits 10 ms for STATUS_ACK; an answer
/// is followed by the confirmed baud command at the sync rate, the port reopened at the
/// working rate and the command confirmed again there.
std::unique_ptr<SyncStep> MakeUartSync();

/// The sync step of the USB bridge: a sync byte out and one byte in per attempt.
std::unique_ptr<SyncStep> MakeBridgeSync(UsbTransport& usb);

}  // namespace nvds
