// The per-request pipeline: reads the request's values in order and runs the checks until one
// decides.
#include "inspect/pipeline.h"

namespace vell {

Verdict RunRequestPipeline(const Inspection& in) {
  bool tooLong = false;
  const std::string serverName = ReadServerVariable(in.server, "SERVER_NAME", &tooLong);
  Verdict verdict = CheckRequestByIP(serverName, in, tooLong);
  if (verdict != kNextNotification) return verdict;

  RequestInfo info;
  const auto read = [&](RequestInfo::Position p, const char* name) {
    info.values[p] = ReadServerVariable(in.server, name, &info.tooLong[p]);
  };
  read(RequestInfo::kClientAddress, "REMOTE_ADDR");
  read(RequestInfo::kClientHost, "REMOTE_HOST");
  read(RequestInfo::kRequestMethod, "REQUEST_METHOD");
  info.values[RequestInfo::kReferer] = ReadReferer(in.server, &info.tooLong[RequestInfo::kReferer]);
  verdict = CheckClientRules(info, in);
  if (verdict != kNextNotification) return verdict;

  // Every check after this one sees the URL as it arrived; the rewrite comes last.
  const std::string url = ReadHeader(in.server, "url", &tooLong);
  // One pass over the URL answers both the URL rules and the rewrite.
  PatternSet::Scan urlScan = in.rules.urlPatterns.ScanSubject(url);
  verdict = CheckUrlRules(url, urlScan, in, tooLong);
  // A URL that could not be read is not rewritten.
  if (verdict != kNextNotification || tooLong) return verdict;
  return ApplyRewriteRules(url, urlScan, in);
}

}  // namespace vell
