// vell's own exports beside the server's filter interface: what a host other than IIS (the vell
// command, the nginx module, tests) may ask of the module. IIS never calls them; a module that
// lacks one is an older build, so hosts look each up and do without it when it is missing.
//
// Every export is safe to call from any thread once GetFilterVersion has returned, unless it
// says otherwise, and never lets an exception out.
#ifndef VELL_VELL_H_
#define VELL_VELL_H_

#include "vell/isapi.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Start-up options: called before GetFilterVersion, on the loading thread.

// Load config.ini and compile the rules, but neither rotate nor write the audit log: for hosts
// that only test a configuration (nginx -t). Entries are not written either.
#define VELL_START_NO_AUDIT_LOG 0x1u

// Sets the options of the next GetFilterVersion call (an OR of VELL_START_*). Default 0.
VELL_EXPORT void WINAPI VellSetStartOptions(DWORD options);

// ---- What start-up did.

#define VELL_LOAD_TEXT_SIZE 1024

typedef struct VELL_LOAD_REPORT {
  DWORD cbSize;        // in: sizeof(VELL_LOAD_REPORT)
  DWORD configRead;    // nonzero when config.ini was opened and read
  DWORD rulesInForce;  // rules that can fire: BFilter, CFilter, SFilter, deep rules and Rewrite
  DWORD errors;        // lines ignored or weakened, patterns that do not compile, a failed load
  DWORD warnings;      // what works but is likely unintended
  // The config file's full path, and the first error ("config.ini:12: unknown key ...") or, with
  // no error, "". Both NUL-terminated, cut to fit.
  CHAR configPath[VELL_LOAD_TEXT_SIZE];
  CHAR firstError[VELL_LOAD_TEXT_SIZE];
} VELL_LOAD_REPORT;

// Fills *report with what the last GetFilterVersion call loaded. FALSE when report is null, its
// cbSize is too small, or start-up has not run.
VELL_EXPORT BOOL WINAPI VellGetLoadReport(VELL_LOAD_REPORT* report);

// ---- The audit log while running.

// Closes and reopens the audit log at its configured path (after logrotate moved it away), under
// the log's lock. TRUE when the log is open afterwards or no log is configured.
VELL_EXPORT BOOL WINAPI VellReopenAuditLog(void);

// ---- What decided a request.

// The rule that decided the calling thread's last decided request (denied, redirected, or held back
// by detection-only mode) through HttpFilterProc or VellTraceRequest: its name as the audit log
// gives it or, for a rule without a name, its list and number ("SFilter#2"); "" before the thread's
// first such request. Ask right after a request answered with a deny or a redirect: requests that
// no rule decides leave it unchanged, so that the server path pays nothing for it.
VELL_EXPORT const char* WINAPI VellGetDecidingRule(void);

// ---- Version.

// The module's version, as its package and the Windows version resource carry it ("0.2.0").
VELL_EXPORT const char* WINAPI VellGetVersion(void);

// ---- Calls a host may leave out.

// The notifications (an OR of SF_NOTIFY_* bits) that HttpFilterProc answers, under the
// configuration the last GetFilterVersion loaded, with SF_STATUS_REQ_NEXT_NOTIFICATION and nothing
// else: no read, no header change, no audit line. A host may skip those calls; one that makes them
// sees no difference. 0 before start-up.
VELL_EXPORT DWORD WINAPI VellGetQuietNotifications(void);

// ---- Watching the request path.

// The checks of the request path, in the order they run.
#define VELL_CHECK_REQUEST_BY_IP 0u
#define VELL_CHECK_CLIENT 1u
#define VELL_CHECK_URL 2u
#define VELL_CHECK_DEEP 3u
#define VELL_CHECK_REWRITE 4u

// The rule lists of config.ini.
#define VELL_LIST_BFILTER 0u
#define VELL_LIST_CFILTER 1u
#define VELL_LIST_SFILTER 2u
#define VELL_LIST_DFILTER 3u
#define VELL_LIST_REWRITE 4u

// What an event reports.
#define VELL_EVENT_CHECK 1u     // a check begins; subject is what it looks at
#define VELL_EVENT_RULE 2u      // a rule was tested; fired says whether it fired
#define VELL_EVENT_EXCLUDED 3u  // a rule was passed over for this request by an exclusion
#define VELL_EVENT_ACTIONS 4u   // a fired rule's actions were taken; verdict is theirs
#define VELL_EVENT_REWRITE 5u   // a Rewrite rule replaced the URL; text is the new URL
#define VELL_EVENT_DONE 6u      // the request path ended; verdict and, when replaced, text

#define VELL_NO_SPAN 0xFFFFFFFFu

typedef struct VELL_TRACE_EVENT {
  DWORD cbSize;     // sizeof(VELL_TRACE_EVENT) as the module knows it
  DWORD type;       // VELL_EVENT_*
  DWORD check;      // VELL_CHECK_*
  DWORD ruleList;   // VELL_LIST_* (RULE, EXCLUDED, ACTIONS, REWRITE)
  DWORD ruleIndex;  // the rule's place in its list, from 0, in file order
  DWORD exclusion;  // EXCLUDED: the Exclude line's place among them, from 0
  DWORD fired;      // RULE: nonzero when the rule fired
  DWORD gaveUp;     // RULE: the pattern engine gave up on this subject
  DWORD verdict;    // ACTIONS, DONE: 0x8000002, 0x8000003 or 0x8000004
  DWORD enforced;   // ACTIONS, DONE: 0 when detection-only mode held the verdict back
  DWORD logLines;   // ACTIONS: audit lines written
  DWORD metaCharBits;          // RULE of "MetaChar": the enabled bits whose pattern occurs
  DWORD spanBegin, spanEnd;    // RULE: where the match lies in subject, or VELL_NO_SPAN
  const char* ruleName;        // the rule's name as the audit log gives it ("" for none)
  const char* subject;         // CHECK, RULE: the text tested (not NUL-terminated)
  DWORD subjectLength;
  const char* form;            // RULE of a deep rule: which form or argument, e.g. "argument q"
  const char* text;            // ACTIONS: redirect target; REWRITE, DONE: the new URL
  DWORD textLength;
} VELL_TRACE_EVENT;

typedef void(WINAPI* VELL_TRACE_CALLBACK)(void* user, const VELL_TRACE_EVENT* event);

// Runs the preprocessed-headers notification's request path for one request exactly as
// HttpFilterProc does (same reads, audit lines, header changes, last-error code and verdict),
// and calls callback with every step, on the calling thread, before returning the verdict.
// The event and every text it points to are valid only during the callback.
VELL_EXPORT DWORD WINAPI VellTraceRequest(HTTP_FILTER_CONTEXT* context,
                                          HTTP_FILTER_PREPROC_HEADERS* headers,
                                          VELL_TRACE_CALLBACK callback, void* user);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // VELL_VELL_H_
