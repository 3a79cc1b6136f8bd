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
  using P = RequestInfo::Position;
  info.values[P::kClientAddress] = ReadServerVariable(in.server, "REMOTE_ADDR", &info.tooLong[P::kClientAddress]);
  info.values[P::kClientHost] = ReadServerVariable(in.server, "REMOTE_HOST", &info.tooLong[P::kClientHost]);
  info.values[P::kRequestMethod] = ReadServerVariable(in.server, "REQUEST_METHOD", &info.tooLong[P::kRequestMethod]);
  info.values[P::kReferer] = ReadReferer(in.server, &info.tooLong[P::kReferer]);
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
