// Fuzzes reading a tree file (.swt). The container's errors (EStreamer) have a root of their
// own and are expected outcomes too. A tree that reads must write back (compressed) and read
// again: an error there is a finding, so it ends the process. The checksum of an uncompressed
// checksummed input is put right first, so that mutations reach the node records.
#include <cstdio>
#include <cstdlib>

#include "FuzzSupport.h"
#include "Streamer.h"
#include "SwStreamers.h"

using namespace skeinwork;

namespace {

// Writes the right checksum into an uncompressed input whose flags ask for one.
void FixChecksum(TStringStream& stream) {
  TSwBinaryStreamer streamer;
  const int64_t flagsAt = static_cast<int64_t>(streamer.ContainerSignature().size()) + 2;
  const int64_t checksumAt = flagsAt + 1;
  if (stream.Size() < checksumAt + 4) return;
  uint8_t flags = 0;
  stream.SetPosition(flagsAt);
  stream.ReadBuffer(&flags, 1);
  if ((flags & TStreamer::FlagCompressed) || !(flags & TStreamer::FlagChecksummed)) return;
  stream.SetPosition(0);
  uint32_t checksum = streamer.Container().CalculateAdler(stream, checksumAt);
  uint8_t bytes[4] = {static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
                      static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
  stream.SetPosition(checksumAt);
  stream.WriteBuffer(bytes, sizeof bytes);
  stream.SetPosition(0);
}

void RoundTrip(TSwTreeNode* root) {
  try {
    TMemoryStream copy;
    TSwBinaryStreamer writer;
    writer.Container().SetFlags(writer.Container().Flags() | TStreamer::FlagCompressed);
    writer.Write(copy, root);
    copy.SetPosition(0);
    TSwBinaryStreamer again;
    (void)again.Read(copy);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "A tree that was read does not write and read back: %s\n", error.what());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return SwFuzzRun([&] {
    std::unique_ptr<TSwTreeNode> root;
    try {
      TStringStream stream(SwFuzzBytes(data, size));
      FixChecksum(stream);
      TSwBinaryStreamer reader;
      root = reader.Read(stream, u"fuzz.swt");
    } catch (const EStreamer&) {
      return;
    }
    RoundTrip(root.get());
  });
}
