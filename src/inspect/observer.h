// What the request path can tell a watcher: each check it starts, each rule it tests and whether
// it fired, the exclusions that took rules away, the actions taken, the rewrite and the verdict.
// vell explain and vell replay watch the one request path through this; the server path passes no
// observer and pays nothing for it.
#ifndef VELL_INSPECT_OBSERVER_H_
#define VELL_INSPECT_OBSERVER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "inspect/server_request.h"

namespace vell {

// The checks of the request path, in the order they run. The values are the exports' VELL_CHECK_*.
enum class CheckKind : uint8_t { kRequestByIP = 0, kClient = 1, kUrl = 2, kDeep = 3, kRewrite = 4 };

// The rule lists of config.ini. The values are the exports' VELL_LIST_*.
enum class RuleList : uint8_t { kBFilter = 0, kCFilter = 1, kSFilter = 2, kDFilter = 3, kRewrite = 4 };

// A rule by its list and its place in that list (from 0, in file order).
struct RuleRef {
  RuleList list = RuleList::kBFilter;
  std::size_t index = 0;
  bool operator==(const RuleRef&) const = default;
};

// "BFilter", "CFilter", ...
const char* RuleListName(RuleList list);

struct TraceEvent {
  // The values are the exports' VELL_EVENT_*.
  enum class Type : uint8_t {
    kCheck = 1,     // a check begins; subject is what it looks at
    kRule = 2,      // rule was tested on subject; fired says whether it fired
    kExcluded = 3,  // rule was passed over for this request by Exclude line `exclusion`
    kActions = 4,   // rule's actions were taken; verdict, enforced and logLines say what they did
    kRewrite = 5,   // Rewrite rule `rule` replaced the URL with text
    kDone = 6,      // the request path ended with verdict (held back when !enforced); text is the
                    // URL the server goes on with when it was replaced
  };
  static constexpr std::size_t kNoSpan = SIZE_MAX;

  Type type = Type::kCheck;
  CheckKind check = CheckKind::kRequestByIP;
  RuleRef rule;
  std::size_t exclusion = 0;
  bool fired = false;
  bool gaveUp = false;
  Verdict verdict = kNextNotification;
  bool enforced = true;
  int logLines = 0;
  uint32_t metaCharBits = 0;  // "MetaChar": the enabled bits whose pattern occurs in subject
  std::size_t spanBegin = kNoSpan;
  std::size_t spanEnd = kNoSpan;
  std::string_view ruleName;  // as the audit log gives it
  std::string_view subject;
  std::string_view form;      // deep rules: the decoded form or argument that matched
  std::string_view text;      // kActions: the redirect target; kRewrite, kDone: the new URL
};

// Told every step of one request, on the request's thread, while the request path runs. The event
// and the texts it points to are valid only during the call.
class PipelineObserver {
 public:
  virtual ~PipelineObserver() = default;
  virtual void OnEvent(const TraceEvent& event) = 0;
};

}  // namespace vell

#endif  // VELL_INSPECT_OBSERVER_H_
