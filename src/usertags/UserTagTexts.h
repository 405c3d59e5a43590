#pragma once

namespace nvds {

// The fixed texts of the Properties and About dialogs, shown exactly as written here.

constexpr const char* TITLE_PROPERTIES = "Properties";
constexpr const char* TITLE_ABOUT = "About ZB446x NVDS Configurator";

constexpr const char* MSG_NUM_LENGTH_ERROR = "Num length is error";
constexpr const char* MSG_USER_CODING_ERROR = "error coding";
constexpr const char* MSG_TAG_ERROR = "tag error!";
constexpr const char* MSG_TAG_OCCUPIED =
    "this tag position has been occupied ! Please select other tag!";
constexpr const char* MSG_TAG_INVALID = "this tag must be vilid!";
constexpr const char* MSG_NO_SELECTED_TAG = "There has no seleted tag!";
constexpr const char* MSG_ERROR_TAG = "Error tag";
constexpr const char* MSG_ERROR_NUM_DATAS = "error num datas";
constexpr const char* MSG_ERROR_BOOL_CODING = "error bool coding";
constexpr const char* MSG_NUM_TOO_BIG = "Num is too Big!";
constexpr const char* MSG_NO_SPACE_FOR_NUMBER = "There is not enough space to store this number!!";
/// Shown in the length field for a hex default with an odd number of digits.
constexpr const char* TEXT_INVALID_VALUE = "Invalid value !";
/// The limits of the ID, Name and Label fields.
constexpr const char* MSG_ENTER_INTEGER = "Enter an integer.";
constexpr const char* MSG_ENTER_USER_CODE = "Enter an integer between 100 and 254.";
constexpr const char* MSG_NAME_TOO_LONG = "Enter no more than 64 characters.";
constexpr const char* MSG_LABEL_TOO_LONG = "Enter no more than 128 characters.";
/// Asked before a tag is deleted: the question, the code, the label in quotes, then the end.
constexpr const char* ASK_DELETE_TAG = "Are you sure want to delete tag:";
constexpr const char* ASK_DELETE_TAG_END = "\" ?";
constexpr const char* ASK_GIVE_UP = "Do you sure give up these user configuration?";

}  // namespace nvds
