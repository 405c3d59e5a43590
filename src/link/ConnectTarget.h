#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "link/LinkOutcome.h"
#include "link/LinkTransport.h"

namespace nvds {

class CProgstarDlg;
class UsbTransport;

/// How often a station looks whether its chip was taken out, and how many unanswered sync
/// attempts in a row mean it is gone (a single lost answer is line noise).
inline constexpr std::chrono::milliseconds CHIP_GONE_PERIOD{50};
inline constexpr int CHIP_GONE_MISSES = 3;

/// Progress of a connect: a position 0..99 that wraps.
using ConnectProgress = std::function<void(int position)>;

/// Catches the boot loader after a reset and sets the working rate, repeating the sync step of
/// the engine's link until it succeeds (Ok, the engine's connected flag set), engine.Cancel()
/// is called (Cancelled), the port does not open (OpenFailed) or 20 s have passed (Overtime,
/// the likely cause from what the attempts saw).
LinkOutcome ConnectTarget(CProgstarDlg& engine, const ConnectProgress& progress = {});

/// ConnectTarget without the 20 s limit, for a station that waits for the next chip: the same
/// sync steps (reset pulses included) until a chip answers, engine.Cancel() is called or the
/// port does not open.
LinkOutcome ConnectTargetUntilCancelled(CProgstarDlg& engine, const ConnectProgress& progress = {});

/// Waits until the chip on the engine's link no longer answers: every `period` a fresh sync
/// step (the link reopened at the sync rate, a reset pulse, one sync byte) tries to reach it;
/// `misses` attempts in a row without an answer mean it was taken out (1). 0 when
/// engine.Cancel() was called first. The engine's connected flag is cleared either way.
int WaitChipGone(CProgstarDlg& engine, std::chrono::milliseconds period = CHIP_GONE_PERIOD,
                 int misses = CHIP_GONE_MISSES);

/// The sync step of a UART link: the port opened at the sync rate first; each attempt pulses
/// the reset line every 21st time, sends a sync byte and waits 10 ms for STATUS_ACK; an answer
/// is followed by the confirmed baud command at the sync rate, the port reopened at the
/// working rate and the command confirmed again there.
std::unique_ptr<SyncStep> MakeUartSync();

/// The sync step of the USB bridge: a sync byte out and one byte in per attempt.
std::unique_ptr<SyncStep> MakeBridgeSync(UsbTransport& usb);

}  // namespace nvds
