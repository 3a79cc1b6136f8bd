// The per-request pipeline: reads the request's values in order and runs the checks until one
// decides.
#include "inspect/pipeline.h"

namespace vell {

Verdict RunRequestPipeline(const Inspection& in) {
  const std::string serverName = ReadServerVariable(in.server, "SERVER_NAME");
  Verdict verdict = CheckRequestByIP(serverName, in);
  if (verdict != kNextNotification) return verdict;

  RequestInfo info;
  info.values[RequestInfo::kClientAddress] = ReadServerVariable(in.server, "REMOTE_ADDR");
  info.values[RequestInfo::kClientHost] = ReadServerVariable(in.server, "REMOTE_HOST");
  info.values[RequestInfo::kRequestMethod] = ReadServerVariable(in.server, "REQUEST_METHOD");
  info.values[RequestInfo::kReferer] = ReadReferer(in.server);
  verdict = CheckClientRules(info, in);
  if (verdict != kNextNotification) return verdict;

  // Every check after this one sees the URL as it arrived; the rewrite comes last.
  const std::string url = ReadHeader(in.server, "url");
  // One pass over the URL answers both the URL rules and the rewrite.
  PatternSet::Scan urlScan = in.rules.urlPatterns.ScanSubject(url);
  verdict = CheckUrlRules(url, urlScan, in);
  if (verdict != kNextNotification) return verdict;
  return ApplyRewriteRules(url, urlScan, in);
}

}  // namespace vell
