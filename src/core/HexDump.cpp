#include "HexDump.h"

#include <fmt/format.h>

#include <algorithm>

namespace skeinwork {

namespace {

// The lines of a run whose first byte stands in column `alignment`; line offsets follow the
// grid, so the offset of a line is that of the byte (present or not) in its first column.
std::string DumpRun(std::string_view bytes, const TSwHexDumpOptions& options, int64_t base, int alignment) {
  const int perLine = std::max(options.BytesPerLine, 1);
  alignment = ((alignment % perLine) + perLine) % perLine;
  std::string out;
  const int64_t positions = alignment + static_cast<int64_t>(bytes.size());
  for (int64_t lineStart = 0; lineStart < positions; lineStart += perLine) {
    if (lineStart) out += options.LineSeparator;
    std::string hex, chars;
    for (int column = 0; column < perLine; ++column) {
      if (column % 8 == 0 && column != 0 && column < perLine - 1) hex += ' ';
      int64_t index = lineStart + column - alignment;
      if (index < 0 || index >= static_cast<int64_t>(bytes.size())) {
        hex += "   ";
        chars += ' ';
        continue;
      }
      auto byte = static_cast<unsigned char>(bytes[index]);
      hex += fmt::format("{:02X} ", byte);
      chars += byte < 32 || (options.AsciiOnly && byte >= 127) ? options.Replacement : static_cast<char>(byte);
    }
    out += fmt::format("{:08X}    {}   {}", base + lineStart - alignment, hex, chars);
  }
  return out;
}

size_t FirstLineLength(const std::string& text, const std::string& separator) {
  size_t cut = separator.empty() ? std::string::npos : text.find(separator);
  return cut == std::string::npos ? text.size() : cut;
}

}  // namespace

std::string SwFormatHexDump(std::string_view bytes, const TSwHexDumpOptions& options,
                            std::optional<int64_t> markerOffset) {
  const int64_t base = options.BaseOffset;
  const int64_t size = static_cast<int64_t>(bytes.size());
  if (!markerOffset || *markerOffset < base || *markerOffset > base + size)
    return DumpRun(bytes, options, base, options.Alignment);

  const int64_t cut = *markerOffset - base;
  std::string before = cut ? DumpRun(bytes.substr(0, cut), options, base, options.Alignment) : std::string();
  // The marker is centred under the first line of what stands above it (or of the whole dump).
  size_t reference = cut ? FirstLineLength(before, options.LineSeparator)
                         : FirstLineLength(DumpRun(bytes, options, base, options.Alignment), options.LineSeparator);
  int64_t indent = (static_cast<int64_t>(reference) + 1 - static_cast<int64_t>(options.Marker.size())) / 2;
  std::string out = before;
  if (!out.empty()) out += options.LineSeparator;
  out += std::string(static_cast<size_t>(std::max<int64_t>(indent, 0)), ' ') + options.Marker;
  if (cut < size)
    out += options.LineSeparator +
           DumpRun(bytes.substr(cut), options, *markerOffset, static_cast<int>((options.Alignment + cut) % std::max(options.BytesPerLine, 1)));
  return out;
}

}  // namespace skeinwork
