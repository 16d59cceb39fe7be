// The root's INI reader: section headers and key=value lines, every value
// handed to the caller's callback with its section and key. Nothing is kept.
#ifndef KA_FRAME_INI_READER_H
#define KA_FRAME_INI_READER_H

#include "ka/fs.h"
#include "ka/system.h"
#include "ka/text.h"

#include <cstdint>

namespace ka {

// Root slot 23, on the module's own file system, streams and text service.
// Lines are read in text mode up to their line feed, at most 1023 bytes each:
// a longer line is handled as its first 1023 bytes and ends the reading. Each
// line is converted from `codePage` (65001: a leading byte-order mark on the
// first line is dropped) and is a key=value line (split at its first '='),
// else a "[word]" section header, else logged as ignored with its number.
// No trimming, no comments. False for a null path or callback, a path that
// is not an existing file, or a callback that returned false (which stops
// the reading); true otherwise, also when the file cannot be opened.
bool ReadIni(KaFileSystem& files, KaFileStreamFactory& streams, KaStringUtil& text,
             const wchar_t* path, uint32_t codePage, void* context, IniValueCallback callback);

}  // namespace ka

#endif
