#pragma once

// Shell stand-ins: system folders and opening documents or web addresses.

#include "platform/base/wintypes.h"

#include <QString>

inline constexpr int CSIDL_DESKTOP = 0x0000;
inline constexpr int CSIDL_PERSONAL = 0x0005;
inline constexpr int CSIDL_MYMUSIC = 0x000d;
inline constexpr int CSIDL_APPDATA = 0x001a;
inline constexpr int CSIDL_LOCAL_APPDATA = 0x001c;
inline constexpr int CSIDL_COMMON_APPDATA = 0x0023;

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;

inline constexpr INT_PTR SE_ERR_FNF = 2;
inline constexpr INT_PTR SE_ERR_NOASSOC = 31;

// The folder's path without a trailing delimiter; empty for an unknown folder
// or when the system has none. The common application-data folder is the
// user's configuration folder (XDG_CONFIG_HOME, else ~/.config).
QString GetSpecialFolderPath(int folder);

// Opens file (a web address or a local file) with the desktop's handler for
// it. Only the "open" verb (or none) is known. Returns a value above 32 on
// success, else SE_ERR_NOASSOC (unknown verb, or nothing could open it) or
// SE_ERR_FNF (no file given).
INT_PTR ShellExecute(HWND parent, const QString& operation, const QString& file, const QString& parameters,
                     const QString& directory, int showCmd);
