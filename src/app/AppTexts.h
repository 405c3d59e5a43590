#pragma once

namespace nvds {

// The fixed texts of the main window and the station board, shown exactly as written here.

constexpr const char* MSG_FIRST_DUMP_FAIL =
    "Dump NVDS data from target is fail! Try to select higher bautrate to re-connect!";
constexpr const char* MSG_EMPTY_TARGET =
    "Target NVDS data is empty. Do you want to burn the default NVDS data to target?";
/// A tag whose coding the list has no editor width for.
constexpr const char* MSG_UNKNOWN_CODING = "error code: 001";
/// A tag whose coding the description does not know.
constexpr const char* MSG_FIND_ERROR_CODE = "find error code";
constexpr const char* ASK_RESET_TAG =
    "Reset this NVDS data will result in the loss of the current data, Continue?";
constexpr const char* ASK_RESET_ALL =
    "Reset all NVDS datas will result in the loss of all current datas, Continue?";
constexpr const char* ASK_CLEAR_ALL =
    "Clear all NVDS datas will result in the loss of all current datas, Continue?";

/// The end of every message about a burn with a record that stopped before the chip was burned.
constexpr const char* MSG_NOT_BURNED = "The chip was not burned.";
constexpr const char* MSG_NO_ADDRESS_TO_RECORD =
    "The list shows no device address to record. The chip was not burned.";
/// Followed by the reason the exported history could not be written.
constexpr const char* MSG_HISTORY_NOT_WRITTEN = "The history could not be written: ";
constexpr const char* TITLE_RUN_HISTORY = "Record of this run";
constexpr const char* TITLE_CHOOSE_RECORD = "Production record";
constexpr const char* ASK_CLOSE_RUNNING =
    "Stations are running. Stop them at once and close the board?";

}  // namespace nvds
