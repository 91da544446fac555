// Fuzzes the descriptor line readers: the input (after its first byte, which picks the
// buffer size) is a text file read line by line to its end with ReadLN and with ReadHdrLN.
// ReadLN is checked line by line against its rule; both must stay inside the buffer, move
// forward with every line, stop at the end of the file and release their scratch blocks.
#include <cstring>
#include <memory>
#include <string>

#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"
#include "engine/platform/platform.h"
#include "tarnpak/stdinputoutput.h"
#include "fuzz_support.h"

namespace {

// Every call costs a few system calls, and passing over a long line one more per buffer
// full, so the file and the calls per reader are bounded to keep the run fast: the lines
// and buffers of every kind fit within these bounds.
constexpr std::size_t kMaxInput = 257;
constexpr int kMaxCalls = 24;

// The line ReadLN delivers from position pos of text for a buffer of size bytes, and the
// position it leaves: at most size - 1 bytes are read; the line ends at the first line feed
// among them, or at a NUL; CR and LF at its end go; the rest of a longer line is passed over.
std::string expectedLine(const std::string& text, long* pos, long size) {
  long left = *pos < (long)text.size() ? (long)text.size() - *pos : 0;
  long n = left < size - 1 ? left : size - 1;
  if (n <= 0) return "";
  const char* p = text.data() + *pos;
  const void* lf = std::memchr(p, '\n', (std::size_t)n);
  long end = lf ? (long)(static_cast<const char*>(lf) - p) : n;
  std::string line(p, (std::size_t)end);
  line.resize(std::strlen(line.c_str()));  // the delivered text ends at a NUL
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (!lf && n == size - 1) {
    const void* next = std::memchr(p + n, '\n', (std::size_t)(left - n));
    end = next ? (long)(static_cast<const char*>(next) - p) : left;
  }
  *pos += end + 1;
  return line;
}

void readAllLines(int fd, const std::string& text, long size) {
  std::unique_ptr<char[]> buf(new char[size]);  // exactly size bytes, for the sanitizer
  for (long pos = 0, before = -1, calls = 0; pos != before && calls < kMaxCalls; calls++) {
    before = pos;
    std::string want = expectedLine(text, &pos, size);
    ReadLN(fd, buf.get(), size);
    FUZZ_CHECK(want == buf.get());
    FUZZ_CHECK(platFdSeek(fd, 0, 1) == pos);
  }
}

void readAllHeaderLines(int fd, long fileSize, long size) {
  std::unique_ptr<char[]> buf(new char[size]);
  for (long before = 0, calls = 0; calls < kMaxCalls; calls++) {
    ReadHdrLN(fd, buf.get(), size);
    std::size_t n = std::strlen(buf.get());
    FUZZ_CHECK(n <= (std::size_t)(size - 1));
    FUZZ_CHECK(n == 0 || (buf[n - 1] != '\r' && buf[n - 1] != '\n'));
    long after = platFdSeek(fd, 0, 1);
    FUZZ_CHECK(after <= fileSize + 1);
    if (after == before) {
      // Standing still is allowed only where nothing is left to read.
      FUZZ_CHECK(n == 0 && (after >= fileSize || size == 1));
      break;
    }
    FUZZ_CHECK(after > before);
    before = after;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzFile& file = fuzzInputFile("lines.txt");
  static const int fd = platFdOpenRead(file.path.c_str());
  FUZZ_CHECK(fd >= 0);
  if (size == 0 || size > kMaxInput) return 0;
  // Small buffers reach the passing over of long lines; a text of more than 16 buffers
  // would only make more system calls.
  long bufferSize = 1 + data[0] % 64;
  std::size_t length = size - 1 < (std::size_t)(16 * bufferSize) ? size - 1 : 16 * bufferSize;
  std::string text(reinterpret_cast<const char*>(data) + 1, length);
  fuzzSetContents(file, text.data(), text.size());

  FUZZ_CHECK(platFdSeek(fd, 0, 0) == 0);
  readAllLines(fd, text, bufferSize);
  FUZZ_CHECK(platFdSeek(fd, 0, 0) == 0);
  readAllHeaderLines(fd, (long)text.size(), bufferSize);
  FUZZ_CHECK(memLiveBlocks("stdinputoutput") == 0);
  return 0;
}
