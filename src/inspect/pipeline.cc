// The per-request pipeline: reads the request's values in order and runs the checks until one
// decides.
#include "inspect/pipeline.h"

namespace vell {

Inspection::Inspection(const RuleSet& rules, AuditLog& auditLog, ServerRequest& server,
                       PipelineObserver* observer)
    : rules(rules), auditLog(auditLog), server(server), observer(observer) {}

const std::string& Inspection::ServerName() {
  if (!serverName_) ReadServerVariable(server, "SERVER_NAME", serverName_.emplace(), &serverNameTooLong_);
  return *serverName_;
}

const RequestInfo& Inspection::Info() {
  if (!info_) {
    RequestInfo& info = info_.emplace();
    const auto read = [&](RequestInfo::Position p, const char* name) {
      ReadServerVariable(server, name, info.values[p], &info.tooLong[p]);
    };
    read(RequestInfo::kClientAddress, "REMOTE_ADDR");
    read(RequestInfo::kClientHost, "REMOTE_HOST");
    read(RequestInfo::kRequestMethod, "REQUEST_METHOD");
    ReadReferer(server, info.values[RequestInfo::kReferer], &info.tooLong[RequestInfo::kReferer]);
  }
  return *info_;
}

const std::string& Inspection::Url() {
  if (!url_) ReadHeader(server, "url", url_.emplace(), &urlTooLong_);
  return *url_;
}

bool Inspection::ExclusionHolds(uint32_t exclusion) {
  if (exclusionAnswers_.empty()) exclusionAnswers_.assign(rules.exclusions.size(), 0);
  uint8_t& answer = exclusionAnswers_[exclusion];
  if (answer == 0) answer = ExclusionApplies(rules.exclusions[exclusion], *this) ? 1 : 2;
  return answer == 1;
}

int Inspection::ExcludedBy(RuleRef rule) {
  if (!rules.HasExclusions()) return -1;
  // Lines are tested in file order, so the first line that holds is the one reported.
  int first = -1;
  for (uint32_t e : rules.ExclusionsNaming(rule)) {
    if (ExclusionHolds(e)) {
      first = static_cast<int>(e);
      break;
    }
  }
  for (uint32_t e : rules.allRulesExclusions) {
    if (first >= 0 && static_cast<int>(e) > first) break;
    if (ExclusionHolds(e)) return static_cast<int>(e);
  }
  return first;
}

namespace {

Verdict Finish(Verdict verdict, Inspection& in) {
  if (in.decided) platform::SetThreadDecidingRule(RuleName(in.rules, in.decidingRule));
  if (in.observer != nullptr) {
    TraceEvent done;
    done.type = TraceEvent::Type::kDone;
    done.verdict = in.heldBack ? in.wouldVerdict : verdict;
    done.enforced = !in.heldBack;
    if (in.newUrl) done.text = *in.newUrl;
    in.Report(done);
  }
  return verdict;
}

bool Ends(Verdict verdict, const Inspection& in) {
  return verdict != kNextNotification || in.heldBack;
}

void ReportCheckTo(Inspection& in, CheckKind check, std::string_view subject) {
  TraceEvent event;
  event.type = TraceEvent::Type::kCheck;
  event.check = check;
  event.subject = subject;
  in.Report(event);
}

inline void ReportCheck(Inspection& in, CheckKind check, std::string_view subject) {
  if (in.observer != nullptr) ReportCheckTo(in, check, subject);
}

}  // namespace

Verdict RunRequestPipeline(Inspection& in) {
  Verdict verdict = CheckRequestByIP(in);
  if (Ends(verdict, in)) return Finish(verdict, in);

  verdict = CheckClientRules(in);
  if (Ends(verdict, in)) return Finish(verdict, in);

  // Every check after this one sees the URL as it arrived; the rewrite comes last.
  const std::string& url = in.Url();
  // One pass over the URL answers both the URL rules and the rewrite.
  PatternSet::Scan urlScan = in.rules.urlPatterns.ScanSubject(url);
  ReportCheck(in, CheckKind::kUrl, url);
  verdict = CheckUrlRules(urlScan, in);
  if (Ends(verdict, in)) return Finish(verdict, in);
  // A URL that could not be read is neither decoded nor rewritten.
  if (in.UrlTooLong()) return Finish(verdict, in);
  if (in.rules.HasDeepRules()) {
    ReportCheck(in, CheckKind::kDeep, url);
    DeepRequest deep(url);
    verdict = CheckDeepRules(deep, in);
    if (Ends(verdict, in)) return Finish(verdict, in);
  }
  ReportCheck(in, CheckKind::kRewrite, url);
  return Finish(ApplyRewriteRules(urlScan, in), in);
}

}  // namespace vell
