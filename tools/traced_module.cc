// Serves requests to a private copy of the filter module through its trace export.
#include "tools/traced_module.h"

#include <stdexcept>

namespace vell::tools {

namespace {

void WINAPI Collect(void* user, const VELL_TRACE_EVENT* event) {
  auto& request = *static_cast<TracedRequest*>(user);
  TracedEvent& out = request.events.emplace_back();
  out.type = event->type;
  out.check = event->check;
  out.ruleList = event->ruleList;
  out.ruleIndex = event->ruleIndex;
  out.exclusion = event->exclusion;
  out.fired = event->fired != 0;
  out.gaveUp = event->gaveUp != 0;
  out.verdict = event->verdict;
  out.enforced = event->enforced != 0;
  out.logLines = static_cast<int>(event->logLines);
  out.metaCharBits = event->metaCharBits;
  if (event->spanBegin != VELL_NO_SPAN) out.span = std::make_pair(event->spanBegin, event->spanEnd);
  if (event->ruleName) out.ruleName = event->ruleName;
  if (event->subject) out.subject.assign(event->subject, event->subjectLength);
  if (event->form) out.form = event->form;
  if (event->text) out.text.assign(event->text, event->textLength);
  if (out.type == VELL_EVENT_REWRITE) request.rewritten = true;
  if (out.type == VELL_EVENT_DONE) {
    request.decided = out.verdict;
    request.enforced = out.enforced;
    request.newUrl = out.text;
  }
}

}  // namespace

const TracedEvent* TracedRequest::Deciding() const {
  for (const TracedEvent& event : events) {
    if (event.type == VELL_EVENT_ACTIONS && event.verdict != kVerdictNext) return &event;
  }
  return nullptr;
}

int TracedRequest::LogLines() const {
  int lines = 0;
  for (const TracedEvent& event : events) {
    if (event.type == VELL_EVENT_ACTIONS) lines += event.logLines;
  }
  return lines;
}

TracedModule::TracedModule(const std::string& modulePath, const std::string& configText)
    : copy_(modulePath, configText) {
  if (copy_.module().traceRequest == nullptr) {
    throw std::runtime_error("\"" + modulePath + "\" has no VellTraceRequest export (an older build)");
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = 0x60000;
  if (!copy_.module().GetFilterVersion(&version)) {
    throw std::runtime_error("GetFilterVersion refused to load the filter");
  }
}

TracedRequest TracedModule::Serve(SimulatedRequest& request) {
  TracedRequest traced;
  traced.answered = copy_.module().traceRequest(request.context(), request.headersRecord(),
                                                &Collect, &traced);
  return traced;
}

TracedRequest TracedModule::Serve(const RequestValues& values) {
  SimulatedRequest request({{"SERVER_NAME", values.serverName},
                            {"REMOTE_ADDR", values.remoteAddr},
                            {"REMOTE_HOST", values.remoteHost},
                            {"REQUEST_METHOD", values.method},
                            {"ALL_HTTP", values.allHttp}},
                           {{"url", values.url}});
  return Serve(request);
}

}  // namespace vell::tools
