#pragma once

namespace nvds {

enum class LinkFault;

/// The fixed texts of the link, shown exactly as written here by both front ends.
constexpr const char* MSG_OPEN_FAILED = "Open COM port failed!";
constexpr const char* MSG_TARGET_DISCONNECT = "Target is disconnect! Pleace connect to target!";
constexpr const char* MSG_CONNECT_OVERTIME =
    "Connection is overtime!\n\nTips: After press the \"Start\" button, please reset the target "
    "to establish a connection!";
constexpr const char* MSG_CONNECT_FAIL = "Connect Fail, Retry?";
constexpr const char* MSG_LINK_LOST = "Connection is lost, re-connect?";

/// The words that name a fault in the cause line after a failure; nullptr for none.
const char* FaultText(LinkFault fault);

}  // namespace nvds
