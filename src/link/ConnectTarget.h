#pragma once

#include <functional>

namespace nvds {

class CProgstarDlg;
class Prompter;

/// Progress of a connect: a position 0..99 that wraps.
using ConnectProgress = std::function<void(int position)>;

/// The connect message when no sync answer came within the limit.
constexpr const char* MSG_CONNECT_OVERTIME =
    "Connection is overtime!\n\nTips: After press the \"Start\" button, please reset the target "
    "to establish a connection!";

/// Catches the boot loader after a reset and sets the working rate. Serial: sync bytes every
/// 10 ms at the sync rate with a DTR pulse every 21 attempts, then the baud command at the sync
/// rate and again at the working rate. USB: sync bytes through the bridge. Limited to 20 s,
/// stopped by engine.Cancel(). Returns 1 (engine's connected flag set) or 0.
int ConnectTarget(CProgstarDlg& engine, Prompter& prompter, const ConnectProgress& progress = {});

}  // namespace nvds
