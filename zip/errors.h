// The ZIP engine's named exceptions. Fatal problems of an operation raise one
// of these; per-entry problems are reported through events and counts.
#pragma once

#include <string>

#include "base/exception.h"

namespace corvid::zip {

CORVID_DECLARE_EXCEPTION(EStreamError, Exception);
CORVID_DECLARE_EXCEPTION(EListError, Exception);
CORVID_DECLARE_EXCEPTION(EZipError, Exception);
CORVID_DECLARE_EXCEPTION(EBadZipFile, EZipError);
CORVID_DECLARE_EXCEPTION(EIncompleteZip, EZipError);
CORVID_DECLARE_EXCEPTION(EFatalUnzipError, EZipError);
CORVID_DECLARE_EXCEPTION(EUserCanceled, EZipError);
CORVID_DECLARE_EXCEPTION(EBiggerThanUncompressed, EZipError);
CORVID_DECLARE_EXCEPTION(EInvalidMatch, EZipError);
CORVID_DECLARE_EXCEPTION(EFileError, EZipError);

// The engine's fixed message texts, so that tests and callers name one place.
inline constexpr char kMsgPrematureEnd[] = "Premature end of file reached";
inline constexpr char kMsgUserAborted[] = "User Aborted Operation";
inline constexpr char kMsgBiggerThanUncompressed[] = "File is larger than uncompressed size!";
inline constexpr char kMsgNotValidZip[] = "Not a valid zip file!";
inline constexpr char kMsgIncompleteZip[] = "Incomplete Zip File";
inline constexpr char kMsgUserCanceledDisk[] = "User canceled loading new disk.";

}  // namespace corvid::zip
