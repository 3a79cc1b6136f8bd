// Fuzzes the access-log reader of vell replay: any bytes as a log file, plain or gzip-compressed,
// in each format or detected. Every request's views must point into live memory.
// Input: one byte (format: 0 detect, 1 W3C, 2 combined, 3 common, 4 URL list; bit 3: compress the
// rest with gzip), then the file.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/access_log.h"

namespace {

const std::string& LogPath() {
  static const std::string path = "/tmp/vell-access-log-fuzz-" + std::to_string(getpid()) + ".log";
  return path;
}

// Where the requests' bytes are summed, so that reading them is not optimised away.
volatile std::size_t sink = 0;

std::size_t Touch(std::string_view text) {
  std::size_t sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  using vell::tools::LogFormat;
  const LogFormat kFormats[] = {LogFormat::Unknown, LogFormat::W3C, LogFormat::Combined,
                                LogFormat::Common, LogFormat::UrlList};
  const LogFormat format = kFormats[(data[0] & 7u) % 5];
  if ((data[0] & 8u) != 0) {
    gzFile gz = gzopen(LogPath().c_str(), "wb");
    if (gz == nullptr) return 0;
    if (size > 1) gzwrite(gz, data + 1, static_cast<unsigned>(size - 1));
    gzclose(gz);
  } else if (std::FILE* file = std::fopen(LogPath().c_str(), "wb")) {
    std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);
  }
  vell::tools::AccessLogReader reader;
  std::string error;
  if (!reader.Open(LogPath(), format, &error)) return 0;
  vell::tools::LogRequest request;
  std::size_t sum = 0;
  while (reader.Next(&request)) {
    sum += Touch(request.method) + Touch(request.url) + Touch(request.clientIp) + Touch(request.host) +
           Touch(request.referer) + Touch(request.userAgent);
  }
  sink = sum;
  return 0;
}
