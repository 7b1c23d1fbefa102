#include "ktorrin.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <vector>

#include <qi/log.hpp>

#include "ktpath.h"
#include "orrinlog.h"

static const char* const kTailLog = "/var/volatile/var/log/naoqi/tail-naoqi.log";
// The file passes through this much memory, however long it is.
static const size_t kReadBuffer = 256 * 1024;

KTOrrin::KTOrrin(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
  : AL::ALModule(broker, name) {
  setModuleDescription("ktorrinは、rukoのシステムコントロールのためのモジュールです。");

  functionName("getRobotLog", getName(), "ロボットのログを取得する", 0);
  BIND_METHOD(KTOrrin::getRobotLog);

  // Bound through the virtual, so a remote call runs this override.
  functionName("init", getName(), "初期化、最初に必ず実行しなければならない", 0);
  BIND_METHOD(KTOrrin::init);

  lineLoc = 0;
  transLineNo = 40;
}

KTOrrin::~KTOrrin() {}

void KTOrrin::init() {
  {
    std::lock_guard<std::mutex> lock(readMutex);
    lineLoc = 0;
    transLineNo = 40;
  }
  KTLOG(qi::LogLevel_Info) << "システムモジュールを初期化しました";
}

// Newlines in p[0, n), sixteen bytes at a time where the processor can.
static size_t countLineFeeds(const char* p, size_t n) {
  size_t count = 0, i = 0;
#ifdef __SSE2__
  const __m128i lf = _mm_set1_epi8('\n');
  while (n - i >= 16) {
    // Each byte lane counts up to 255 matches before they are summed.
    size_t blocks = std::min<size_t>((n - i) / 16, 255);
    __m128i lanes = _mm_setzero_si128();
    for (size_t b = 0; b < blocks; ++b, i += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, lf));
    }
    __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
  }
#endif
  for (; i < n; ++i) count += p[i] == '\n';
  return count;
}

std::string KTOrrin::getRobotLog() {
  int keep;
  {
    std::lock_guard<std::mutex> lock(readMutex);
    keep = transLineNo > 0 ? transLineNo : 0;
  }
  // The file is streamed once through a fixed buffer: the lines are counted,
  // and only where each of the newest `keep` lines starts is kept (start of
  // line L in starts[L % (keep + 1)]). Those lines are read again at the end.
  const size_t slots = static_cast<size_t>(keep) + 1;
  std::vector<long long> starts(slots, 0);
  std::vector<char> buffer(kReadBuffer);
  long long lineFeeds = 0, end = 0;
  bool openPiece = false;  // bytes after the last line feed
  int fd = open(ktRobotPath(kTailLog).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    for (;;) {
      ssize_t n = read(fd, &buffer[0], buffer.size());
      if (n < 0 && errno == EINTR) continue;
      // A read error ends the file there, as the end of the file does.
      if (n <= 0) break;
      size_t size = static_cast<size_t>(n);
      size_t found = countLineFeeds(&buffer[0], size);
      // Only the last keep + 1 line feeds of the buffer can start a line
      // that is still among the newest.
      size_t wanted = std::min(found, slots);
      size_t scan = size;
      for (size_t k = wanted; k-- > 0;) {
        const char* at = static_cast<const char*>(memrchr(&buffer[0], '\n', scan));
        scan = static_cast<size_t>(at - &buffer[0]);
        long long line = lineFeeds + static_cast<long long>(found - wanted + k) + 1;
        starts[static_cast<size_t>(line) % slots] = end + static_cast<long long>(scan) + 1;
      }
      lineFeeds += static_cast<long long>(found);
      end += n;
      openPiece = buffer[size - 1] != '\n';
    }
  }
  long long count = lineFeeds + (openPiece ? 1 : 0);

  long long from, to;
  {
    std::lock_guard<std::mutex> lock(readMutex);
    // Lines older than the newest transLineNo are skipped.
    if (lineLoc < count - keep) lineLoc = static_cast<int>(count - keep);
    from = lineLoc;
    to = count;
    if (lineLoc < count) lineLoc = static_cast<int>(count);
  }
  std::string sendStr;
  if (from < to && fd >= 0) {
    long long offset = starts[static_cast<size_t>(from) % slots];
    sendStr.resize(static_cast<size_t>(end - offset));
    size_t got = 0;
    while (got < sendStr.size()) {
      ssize_t n = pread(fd, &sendStr[got], sendStr.size() - got, offset + static_cast<long long>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // cut meanwhile: what is left of it
      got += static_cast<size_t>(n);
    }
    sendStr.resize(got);
    if (!sendStr.empty() && sendStr[sendStr.size() - 1] != '\n') sendStr += '\n';
  }
  if (fd >= 0) close(fd);
  return sendStr;
}
