// HexDump: the hex dump text that the viewer's dump pane and the command-line error report show.
//
// SwFormatHexDump lays a run of bytes out as lines of "OFFSET    HEX...   CHARS", optionally with
// a marker line ("-- HERE --") just above a chosen offset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skeinwork {

struct TSwHexDumpOptions {
  int BytesPerLine = 16;
  char Replacement = '.';           // shown for bytes below 32
  bool AsciiOnly = false;           // bytes from 127 up are shown as the replacement too
  std::string Marker = "-- HERE --";
  int64_t BaseOffset = 0;           // offset of the run's first byte
  int Alignment = 0;                // column of the first byte in the first line
  bool ColourMarkup = false;        // not used by the library's own callers
  std::string LineSeparator = "\r\n";
};

// Dumps `bytes`; with a marker offset inside [base, base + size] a marker line goes just above
// the byte at that offset, and the bytes after it keep their columns.
std::string SwFormatHexDump(std::string_view bytes, const TSwHexDumpOptions& options,
                            std::optional<int64_t> markerOffset = std::nullopt);

}  // namespace skeinwork
