// The ids of every dialog the product and the suite show, and of their controls: the
// product's dialogs, which the suite's programs answer when they run the product's
// operations, and the suite's password dialog, which the product's verification shows.
// Kept in one place so that no id stands for two dialogs or two controls of one dialog.
#pragma once

#include "platform/WinTypes.h"

// ---- The product's dialog templates ----
inline constexpr UINT IDD_BAD_PASSWORD = 138;
inline constexpr UINT IDD_INVALID_USER = 180;
inline constexpr UINT IDD_PROGRESS = 207;
inline constexpr UINT IDD_SHARE_LIST = 603;
inline constexpr UINT IDD_SELECT_USERS = 604;
inline constexpr UINT IDD_ADD_ERROR = 605;
inline constexpr UINT IDD_CONFIRM_REPLACE = 701;
inline constexpr UINT IDD_BACKUP_WARNING = 713;
inline constexpr UINT IDD_DB_CONVERT = 714;

// ---- Icons shown by the templates ----
inline constexpr UINT IDI_ACCESS_ERROR = 140;
inline constexpr UINT IDI_REPLACE = 703;
inline constexpr UINT IDI_WARNING = 712;

// ---- Controls ----
// The replace confirmation's extra buttons; like Yes (IDOK) and No (IDCANCEL), their id is the
// dialog's result.
inline constexpr int IDC_YES_TO_ALL = 3;
inline constexpr int IDC_NO_TO_ALL = 4;
inline constexpr int IDC_PROGRESS_LIST = 201;
inline constexpr int IDC_PROGRESS_TEXT = 900;
inline constexpr int IDC_PROGRESS_BAR = 902;
inline constexpr int IDC_FILES_REMAINING = 904;
inline constexpr int IDC_PROGRESS_ANIMATION = 908;
inline constexpr int IDC_SHARE_LIST = 601;
inline constexpr int IDC_SHARE_ANIMATION = 913;
inline constexpr int IDC_REPLACE_ICON = 906;
inline constexpr int IDC_REPLACE_NAME = 907;
inline constexpr int IDC_BAD_PASSWORD_TEXT = 909;
inline constexpr int IDC_WARNING_DONT_SHOW = 914;
inline constexpr int IDC_CONVERT_TEXT = 918;
inline constexpr int IDC_CONVERT_WARNING = 919;
inline constexpr int IDC_CONVERT_DONT_SHOW = 920;
inline constexpr int IDC_INVALID_USER_TEXT = 923;

// ---- The suite's password dialogs: the prompt, the account the password is for, the
// password field and, when a new password is chosen, a second field to confirm it; OK and
// Cancel.
inline constexpr unsigned kPasswordDialogId = 9101;     // asks for a password
inline constexpr unsigned kNewPasswordDialogId = 9102;  // chooses a password (typed twice)
inline constexpr int kPasswordPromptId = 9110;
inline constexpr int kPasswordAccountId = 9111;
inline constexpr int kPasswordEditId = 9112;
inline constexpr int kPasswordConfirmId = 9113;
