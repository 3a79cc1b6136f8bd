// End-to-end cases: config.ini lines, one request, and what the server sees afterwards (verdict,
// URL changes, last error, audit entries without their time field, and optionally the reads in
// order). Run through the built module's exports by tests/integration/end_to_end_test.cc.
#ifndef VELL_TESTS_CASES_END_TO_END_H_
#define VELL_TESTS_CASES_END_TO_END_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vell::testing {

struct CaseRequest {
  std::string url = "/index.htm";
  std::string serverName = "www.example.com";
  std::string remoteAddr = "10.0.0.5";
  std::string remoteHost = "client.example.com";
  std::string method = "GET";
  std::string allHttp = "HTTP_HOST:www.example.com\nHTTP_USER_AGENT:probe/1.0\n";
  // Variables ("url" for the URL) that the server keeps asking more room for: too long to read.
  std::vector<std::string> growing = {};
};

struct EndToEndCase {
  const char* name;
  std::vector<std::string> config;
  CaseRequest request;
  uint32_t verdict;
  // Values the filter gave the "url" header, in order.
  std::vector<std::string> urlChanges = {};
  // Entry lines of the audit log, without the time field.
  std::vector<std::string> log = {};
  // Checked only when not empty: every read of the request, in order.
  std::vector<std::string> reads = {};
};

inline constexpr uint32_t kNext = 0x8000002;
inline constexpr uint32_t kHandled = 0x8000003;
inline constexpr uint32_t kError = 0x8000004;

inline std::string LongUrl(std::size_t length, const std::string& tail) {
  std::string url = "/search?q=";
  url.append(length - url.size() - tail.size(), 'a');
  return url + tail;
}

// text repeated until it is `length` bytes long (the last copy may be cut).
inline std::string Repeated(const std::string& text, std::size_t length) {
  std::string out;
  while (out.size() < length) out += text;
  out.resize(length);
  return out;
}

inline const std::vector<EndToEndCase>& EndToEndCases() {
  static const std::vector<EndToEndCase> cases = {
      // The typical attack and the typical harmless request.
      {"CommandExeIsDeniedAndLogged", {"BFilter=commandExe,deny,log"},
       {.url = "/scripts/..%5c../winnt/system32/cmd.exe"}, kError, {},
       {"commandExe, 10.0.0.5, /scripts/..%5c../winnt/system32/cmd.exe"}},
      {"HarmlessRequestGoesOnUntouched", {"BFilter=commandExe,deny,log", "CFilter=A,^/admin,deny"},
       {}, kNext, {}, {},
       {"SERVER_NAME", "REMOTE_ADDR", "REMOTE_HOST", "REQUEST_METHOD", "ALL_HTTP", "header:url"}},
      {"NoConfigurationPassesEverything", {}, {.url = "/scripts/system32/cmd.exe"}, kNext},

      // Actions: the rule's own, in either order; all audit lines before the verdict.
      {"LogThenDenyWritesOneLineAndDenies", {"BFilter=SQLInjection1,log,deny"},
       {.url = "/a.asp?id=%27%20UNION select"}, kError, {},
       {"SQLInjection1, 10.0.0.5, /a.asp?id=%27%20UNION select"}},
      {"RedirectAndLogShowTheUrlAsItArrived", {"CFilter=Admin,^/admin,redirect:/blocked.htm,log"},
       {.url = "/admin/users"}, kHandled, {"/blocked.htm"}, {"Admin, 10.0.0.5, /admin/users"}},
      {"FirstOfRedirectAndDenyDecidesRedirect", {"CFilter=A,^/x,redirect:/a,deny"}, {.url = "/x"},
       kHandled, {"/a"}},
      {"FirstOfDenyAndRedirectDecidesDeny", {"CFilter=A,^/x,deny,redirect:/a"}, {.url = "/x"},
       kError},
      {"RedirectWithEmptyTargetSetsEmptyUrl", {"CFilter=A,^/x,redirect:"}, {.url = "/x"}, kHandled,
       {""}},
      {"TwoLogActionsWriteTwoLines", {"CFilter=A,^/x,log,log"}, {.url = "/x"}, kNext, {},
       {"A, 10.0.0.5, /x", "A, 10.0.0.5, /x"}},
      // Default actions apply only to rules without actions of their own.
      {"RuleWithoutActionsTakesDefaults", {"DefaultAction=deny,log", "CFilter=A,^/x"}, {.url = "/x"},
       kError, {}, {"A, 10.0.0.5, /x"}},
      {"OwnLogActionIgnoresDefaultDeny", {"DefaultAction=deny", "CFilter=A,^/x,log"}, {.url = "/x"},
       kNext, {}, {"A, 10.0.0.5, /x"}},
      {"NoActionsAndNoDefaultsDoNothing", {"CFilter=A,^/x"}, {.url = "/x"}, kNext},
      {"DefaultActionLinesAccumulate", {"DefaultAction=log", "DefaultAction=redirect:/d", "CFilter=A,^/x"},
       {.url = "/x"}, kHandled, {"/d"}, {"A, 10.0.0.5, /x"}},
      // Audit entries: unnamed SFilter rules, rule names of special rules, literal URL bytes.
      {"SFilterHitLogsAnEmptyName", {"SFilter=REMOTE_ADDR,^10\\.,log"}, {}, kNext, {},
       {", 10.0.0.5, /index.htm"}},
      {"MetaCharHitIsLoggedUnderItsName", {"BFilter=MetaChar,enable:1,log"}, {.url = "/a;b"}, kNext,
       {}, {"MetaChar, 10.0.0.5, /a;b"}},
      {"PercentSignsAreLoggedLiterally", {"CFilter=Split,%0d%0a,log"},
       {.url = "/a?x=%0d%0aSet-Cookie:%27%s%n"}, kNext, {},
       {"Split, 10.0.0.5, /a?x=%0d%0aSet-Cookie:%27%s%n"}},
      // Control bytes that a host passes on raw are escaped, so an entry stays one line.
      {"ControlBytesInTheUrlAreEscaped", {"CFilter=Split,^/a,log"},
       {.url = "/a\r\n01/01/2024 0:0:0, Forged, 1.2.3.4, /\t\x7f"}, kNext, {},
       {"Split, 10.0.0.5, /a%0D%0A01/01/2024 0:0:0, Forged, 1.2.3.4, /%09%7F"}},
      {"RemoteAddressWithControlBytesIsEscaped", {"SFilter=REMOTE_ADDR,^10\\.,log"},
       {.remoteAddr = "10.0.0.5\r\nx"}, kNext, {}, {", 10.0.0.5%0D%0Ax, /index.htm"}},

      // RequestByIP: characters only, first record only, reads nothing more once it decides.
      {"NumericServerNameIsDenied", {"BFilter=RequestByIP,enable:true,deny"},
       {.serverName = "10.0.0.1"}, kError, {}, {}, {"SERVER_NAME"}},
      {"HostNameIsNotAnAddress", {"BFilter=RequestByIP,enable:true,deny"},
       {.serverName = "localhost"}, kNext},
      {"Ipv6ServerNameNeverFires", {"BFilter=RequestByIP,enable:true,deny"},
       {.serverName = "fe80::1"}, kNext},
      {"BlanksAroundAnAddressStillFire", {"BFilter=RequestByIP,enable:true,deny"},
       {.serverName = " 127.0.0.1\t"}, kError},
      {"DashesAndPeriodsAloneFire", {"BFilter=RequestByIP,enable:true,deny"},
       {.serverName = "1-2-3"}, kError},
      {"EmptyServerNameFires", {"BFilter=RequestByIP,enable:true,deny"}, {.serverName = ""}, kError},
      {"OnlyTheFirstRequestByIPRecordCounts",
       {"BFilter=RequestByIP,enable:false,deny", "BFilter=RequestByIP,enable:true,deny"},
       {.serverName = "10.0.0.1"}, kNext},
      {"RequestByIPRedirects", {"BFilter=RequestByIP,enable:true,redirect:/noip.htm,log"},
       {.url = "/", .serverName = "192.168.1.1"}, kHandled, {"/noip.htm"}, {"RequestByIP, 10.0.0.5, /"}},
      {"RequestByIPWithoutEnableIsNotInForce", {"BFilter=RequestByIP,deny"},
       {.serverName = "10.0.0.1"}, kNext},

      // SFilter rules on the four client values; a client rule that decides leaves the URL unread.
      {"ClientAddressRuleDenies", {"SFilter=REMOTE_ADDR,^10\\.,deny"}, {.remoteAddr = "10.1.2.3"},
       kError, {}, {},
       {"SERVER_NAME", "REMOTE_ADDR", "REMOTE_HOST", "REQUEST_METHOD", "ALL_HTTP"}},
      {"ClientAddressCaretAnchors", {"SFilter=REMOTE_ADDR,^10\\.,deny"},
       {.remoteAddr = "110.1.2.3"}, kNext},
      {"VariableNameInOtherCaseNeverFires", {"SFilter=remote_addr,^10\\.,deny"}, {}, kNext},
      {"ClientHostRuleDenies", {"SFilter=REMOTE_HOST,\\.evil\\.example$,deny"},
       {.remoteHost = "bot.evil.example"}, kError},
      {"MethodRuleDenies", {"SFilter=REQUEST_METHOD,^(TRACE|TRACK)$,deny"}, {.method = "TRACE"},
       kError},
      {"RefererRuleDenies", {"SFilter=HTTP_REFERER,evil,deny"},
       {.allHttp = "HTTP_HOST:h\nHTTP_REFERER:http://evil.example/\nHTTP_ACCEPT:*/*\n"}, kError},
      {"RefererRuleNeverFiresWithoutReferer", {"SFilter=HTTP_REFERER,.,deny"}, {}, kNext},
      {"RefererAsFirstAndLastEntry", {"SFilter=HTTP_REFERER,^http://a/$,deny"},
       {.allHttp = "HTTP_REFERER:http://a/"}, kError},
      {"RefererInLowerCaseIsNoReferer", {"SFilter=HTTP_REFERER,.,deny"},
       {.allHttp = "http_referer:http://a/\n"}, kNext},
      // A header whose name merely ends in REFERER is not the referer.
      {"XHttpRefererIsNotTheReferer", {"SFilter=HTTP_REFERER,^x$,deny"},
       {.allHttp = "HTTP_X_HTTP_REFERER:x\nHTTP_REFERER:http://good.example/\n"}, kNext},
      {"RefererAfterXHttpRefererIsFound", {"SFilter=HTTP_REFERER,^http://good\\.example/$,deny"},
       {.allHttp = "HTTP_X_HTTP_REFERER:x\nHTTP_REFERER:http://good.example/\n"}, kError},
      {"RefererNamedInsideAValueIsNotAnEntry", {"SFilter=HTTP_REFERER,.,deny"},
       {.allHttp = "HTTP_X_NOTE:see HTTP_REFERER:x\n"}, kNext},
      // A rule that only logs ends its own check; the next check may still decide.
      {"LogOnlyClientRuleLetsUrlRulesDecide",
       {"SFilter=REMOTE_ADDR,^10\\.,log", "SFilter=REMOTE_ADDR,.,deny", "BFilter=commandExe,deny"},
       {.url = "/root.exe"}, kError, {}, {", 10.0.0.5, /root.exe"}},

      // URL rules: MaxURLLength, MetaChar, signatures, BFilter before CFilter.
      {"UrlAsLongAsTheLimitPasses", {"BFilter=MaxURLLength:20,deny"},
       {.url = "/abcdefghijklmnopqrs"}, kNext},
      {"UrlOneByteOverTheLimitFires", {"BFilter=MaxURLLength:20,deny,log"},
       {.url = "/abcdefghijklmnopqrst"}, kError, {}, {"MaxURLLength, 10.0.0.5, /abcdefghijklmnopqrst"}},
      {"NegativeLimitNeverFires", {"BFilter=MaxURLLength:-1,deny"}, {.url = LongUrl(5000, "")},
       kNext},
      {"MetaCharMaskOneFindsEncodedSemicolon", {"BFilter=MetaChar,enable:1,deny"},
       {.url = "/a%3Bb"}, kError},
      {"MetaCharMaskOneIgnoresOtherCharacters", {"BFilter=MetaChar,enable:1,deny"},
       {.url = "/a|b!c@d"}, kNext},
      {"MetaCharMaskZeroNeverFires", {"BFilter=MetaChar,enable:0,deny"}, {.url = "/a;b"}, kNext},
      {"MetaCharMaskAllFindsAtSign", {"BFilter=MetaChar,enable:255,deny"}, {.url = "/mail@x"},
       kError},
      {"MetaCharMaskBeyondEightBitsFindsNothing", {"BFilter=MetaChar,enable:256,deny"},
       {.url = "/a;b"}, kNext},
      {"BFilterFiresBeforeEarlierCFilter",
       {"CFilter=First,union,redirect:/c,log", "BFilter=SQLInjection1,deny,log"},
       {.url = "/a?id='union"}, kError, {}, {"SQLInjection1, 10.0.0.5, /a?id='union"}},
      {"UnknownSignatureNameNeverFires", {"BFilter=SQLInjection5,deny"}, {.url = "/a?id='union"},
       kNext},
      {"LogOnlyBFilterEndsTheUrlCheck",
       {"BFilter=DirectoryTraversal,log", "CFilter=Passwd,passwd,deny"},
       {.url = "/../etc/passwd"}, kNext, {}, {"DirectoryTraversal, 10.0.0.5, /../etc/passwd"}},

      // Rewrite: last, first rule only, first match only, never after a decision.
      {"RewriteIgnoresLetterCase", {"Rewrite=^/old/(.*),/new/$1"}, {.url = "/OLD/page.htm"},
       kHandled, {"/new/page.htm"}},
      {"OnlyTheFirstMatchingRewriteApplies", {"Rewrite=page,first", "Rewrite=old,second"},
       {.url = "/old/page.htm"}, kHandled, {"/old/first.htm"}},
      {"RewriteReplacesTheFirstMatchOnly", {"Rewrite=a,b"}, {.url = "/a/a"}, kHandled, {"/b/a"}},
      {"RewriteWithoutCommaSetsThePatternText", {"Rewrite=index"}, {.url = "/INDEX.htm"}, kHandled,
       {"/index.htm"}},
      {"InvalidRewritePatternIsSkipped", {"Rewrite=([,x", "Rewrite=^/p,/q"}, {.url = "/p"}, kHandled,
       {"/q"}},
      {"NoRewriteRulesLeaveTheUrl", {"CFilter=A,^/x,log"}, {.url = "/y"}, kNext},
      {"DecidedRequestIsNotRewritten", {"BFilter=commandExe,deny", "Rewrite=cmd,x"},
       {.url = "/system32/cmd.exe"}, kError},
      {"LogOnlyHitStillRewrites", {"BFilter=DirectoryTraversal,log", "Rewrite=\\.\\./,"},
       {.url = "/../x"}, kHandled, {"/x"}, {"DirectoryTraversal, 10.0.0.5, /../x"}},

      // Values longer than the first read's buffer are read whole, by every check and log line.
      {"AttackAtTheEndOfALongUrlIsFound", {"BFilter=commandExe,deny,log"},
       {.url = LongUrl(3000, "/system32/cmd.exe")}, kError, {},
       {"commandExe, 10.0.0.5, " + LongUrl(3000, "/system32/cmd.exe")}},
      {"LongUrlIsOverTheLimit", {"BFilter=MaxURLLength:2048,deny"}, {.url = LongUrl(3000, "")},
       kError},
      {"RewriteOfALongUrlKeepsItsEnd", {"Rewrite=^/search,/find"}, {.url = LongUrl(4000, "END")},
       kHandled, {"/find" + LongUrl(4000, "END").substr(7)}},
      {"RefererAfterLongHeadersIsFound", {"SFilter=HTTP_REFERER,^http://evil/$,deny"},
       {.allHttp = "HTTP_COOKIE:" + std::string(3000, 'c') + "\nHTTP_REFERER:http://evil/\n"},
       kError},

      // Detection-only mode: verdicts are logged as what would have happened, never carried out;
      // the request path still ends at the rule that would have decided, and rewrites still work.
      {"DetectionOnlyHoldsADenyBack", {"Mode=DetectionOnly", "BFilter=commandExe,deny,log"},
       {.url = "/system32/cmd.exe"}, kNext, {}, {"commandExe, 10.0.0.5, /system32/cmd.exe, would-deny"}},
      {"DetectionOnlyLogsAVerdictWithoutLogAction",
       {"Mode=DetectionOnly", "CFilter=R,^/old,redirect:/new", "Rewrite=old,x"}, {.url = "/old"},
       kNext, {}, {"R, 10.0.0.5, /old, would-redirect"}},
      {"DetectionOnlyLogOnlyRuleAndRewrite",
       {"Mode=DetectionOnly", "CFilter=Watch,^/a,log,log", "Rewrite=^/a,/b"}, {.url = "/a"},
       kHandled, {"/b"}, {"Watch, 10.0.0.5, /a, log", "Watch, 10.0.0.5, /a, log"}},
      {"DetectionOnlyDefaultActions", {"Mode=DetectionOnly", "DefaultAction=deny", "CFilter=A,^/a"},
       {.url = "/a"}, kNext, {}, {"A, 10.0.0.5, /a, would-deny"}},
      {"MisspeltModeKeepsEnforcing", {"Mode=detectiononly", "BFilter=commandExe,deny,log"},
       {.url = "/system32/cmd.exe"}, kError, {}, {"commandExe, 10.0.0.5, /system32/cmd.exe"}},
      {"ModeEnforceIsTheDefault", {"Mode=Enforce", "CFilter=A,^/a,deny"}, {.url = "/a"}, kError},

      // Exclude lines take rules away from the requests all their conditions hold for; the check
      // goes on with its next rule.
      {"ExclusionLetsDirectoryListingLinksThrough",
       {"BFilter=MetaChar,enable:255,deny,log", "Exclude=rules:MetaChar,url:^/icons/\\?C=[NMSD];O=[AD]$"},
       {.url = "/icons/?C=D;O=A"}, kNext},
      {"ExclusionLeavesOtherSemicolonsDenied",
       {"BFilter=MetaChar,enable:255,deny,log", "Exclude=rules:MetaChar,url:^/icons/\\?C=[NMSD];O=[AD]$"},
       {.url = "/cart?a=1;b=2"}, kError, {}, {"MetaChar, 10.0.0.5, /cart?a=1;b=2"}},
      {"ExcludedRuleLetsTheNextRuleDecide",
       {"BFilter=commandExe,deny", "CFilter=Cmd,cmd\\.exe,redirect:/no", "Exclude=rules:commandExe,client:10.0.0.0/8"},
       {.url = "/system32/cmd.exe"}, kHandled, {"/no"}},
      {"ExclusionByIPv6Range", {"CFilter=A,^/a,deny", "Exclude=rules:A,client:2001:db8::/32"},
       {.url = "/a", .remoteAddr = "2001:db8:1::7"}, kNext},
      {"ExclusionIPv4RangeMatchesMappedAddress", {"CFilter=A,^/a,deny", "Exclude=rules:*,client:192.0.2.0/24"},
       {.url = "/a", .remoteAddr = "::ffff:192.0.2.9"}, kNext},
      {"ExclusionNeedsEveryCondition",
       {"CFilter=A,^/a,deny", "Exclude=rules:A,host:WWW.example.com,method:POST"}, {.url = "/a"}, kError},
      {"ExclusionWithEveryConditionHolding",
       {"CFilter=A,^/a,deny", "Exclude=rules:A,host:WWW.example.com other.example,method:GET POST"},
       {.url = "/a"}, kNext},
      {"ExclusionOfAnSFilterRuleByPlace",
       {"SFilter=REQUEST_METHOD,^GET$,deny", "Exclude=rules:SFilter#1,url:^/public/"},
       {.url = "/public/x"}, kNext},
      {"ExclusionWithAnUnknownConditionNeverApplies",
       {"CFilter=A,^/a,deny", "Exclude=rules:A,uri:^/a"}, {.url = "/a"}, kError},
      {"ExclusionOfRequestByIP", {"BFilter=RequestByIP,enable:true,deny", "Exclude=rules:RequestByIP,client:10.0.0.5"},
       {.url = "/", .serverName = "10.1.1.1"}, kNext},
      {"ExclusionNeverStopsARewrite", {"Rewrite=^/a,/b", "Exclude=rules:*"}, {.url = "/a"}, kHandled,
       {"/b"}},

      // Deep inspection: DFilter rules on the decoded path and arguments, and with DeepInspection
      // on the catalogue signatures on the URL's decoded forms; after the URL rules, before the
      // rewrite; exclusions and detection-only mode as for every rule.
      {"DeepSQLiDeniesATautologyInAnArgument", {"DFilter=DeepSQLi,deny,log"},
       {.url = "/item.php?id=1%27%20or%201=1--"}, kError, {},
       {"DeepSQLi, 10.0.0.5, /item.php?id=1%27%20or%201=1--"}},
      {"DeepXSSDeniesAnEventHandler", {"DFilter=DeepXSS,deny"},
       {.url = "/search?q=%3Csvg%20onload%3Dalert(1)%3E"}, kError},
      {"DeepCommandDeniesACommandAfterASeparator", {"DFilter=DeepCommand,deny"},
       {.url = "/ping?host=127.0.0.1;cat%20/etc/passwd"}, kError},
      {"DeepRulesLetAnOrdinarySearchThrough",
       {"DFilter=DeepSQLi,deny", "DFilter=DeepXSS,deny", "DFilter=DeepTraversal,deny",
        "DFilter=DeepCommand,deny", "DFilter=DeepCRLF,deny", "Rewrite=^/search,/find"},
       {.url = "/search?q=red+shoes&page=2&sort=price"}, kHandled, {"/find?q=red+shoes&page=2&sort=price"}},
      {"DecodedFormsMeetTheCatalogue", {"BFilter=DirectoryTraversal,deny,log", "DeepInspection=on"},
       {.url = "/show?file=..%c0%af..%c0%afetc%c0%afpasswd"}, kError, {},
       {"DirectoryTraversal, 10.0.0.5, /show?file=..%c0%af..%c0%afetc%c0%afpasswd"}},
      {"WithoutDeepInspectionTheCatalogueSeesTheRawUrlOnly", {"BFilter=DirectoryTraversal,deny"},
       {.url = "/show?file=..%c0%af..%c0%afetc%c0%afpasswd"}, kNext},
      {"UnknownDeepRuleNeverFires", {"DFilter=DeepSqli,deny"}, {.url = "/a?id=1%27%20or%201=1--"},
       kNext},
      {"ExclusionTakesADeepRuleAway",
       {"DFilter=DeepSQLi,deny", "Exclude=rules:DeepSQLi,url:^/reports/"},
       {.url = "/reports/?q=1%27%20or%201=1--"}, kNext},
      {"DeepRuleInDetectionOnlyMode", {"Mode=DetectionOnly", "DFilter=DeepSQLi,deny"},
       {.url = "/a?id=1%27%20or%201=1--"}, kNext, {}, {"DeepSQLi, 10.0.0.5, /a?id=1%27%20or%201=1--, would-deny"}},
      {"UrlRulesComeBeforeDeepRules", {"DFilter=DeepSQLi,deny,log", "CFilter=Item,^/item,redirect:/x,log"},
       {.url = "/item.php?id=1%27%20or%201=1--"}, kHandled, {"/x"},
       {"Item, 10.0.0.5, /item.php?id=1%27%20or%201=1--"}},

      // Padding that makes a backtracking matcher give up no longer hides an attack.
      {"PaddedCrlfInjectionIsDenied", {"BFilter=URLSplit1,deny,log"},
       {.url = "/r?x=" + Repeated("%0d", 16384) + "%0d%0aContent-Type:%20text/html"}, kError, {},
       {"URLSplit1, 10.0.0.5, /r?x=" + Repeated("%0d", 16384) + "%0d%0aContent-Type:%20text/html"}},
      {"PaddingAloneIsNoAttack", {"BFilter=URLSplit1,deny", "BFilter=URLSplit3,deny"},
       {.url = "/r?x=" + Repeated("%0d", 16384)}, kNext},

      // A pattern the backtracking engine gives up on: a rule that denies or redirects acts as if
      // it matched, and the audit line says the pattern gave up, with or without "log"; a rule
      // that only logs writes its line and the next rule decides.
      {"GiveUpOnADenyRuleDenies", {"CFilter=Explode,(^|x+x+)+y,deny"},
       {.url = "/" + std::string(40, 'x') + " xxy"}, kError, {},
       {"Explode (pattern gave up), 10.0.0.5, /" + std::string(40, 'x') + " xxy"}},
      {"GiveUpOnARedirectRuleRedirects", {"CFilter=Explode,(^|x+x+)+y,redirect:/blocked.htm,log"},
       {.url = "/" + std::string(40, 'x') + " xxy"}, kHandled, {"/blocked.htm"},
       {"Explode (pattern gave up), 10.0.0.5, /" + std::string(40, 'x') + " xxy"}},
      {"GiveUpOnALogOnlyRuleLogsAndTheNextRuleDecides",
       {"CFilter=Watch,(^|x+x+)+y,log", "CFilter=Block,xxy,deny,log"},
       {.url = "/" + std::string(40, 'x') + " xxy"}, kError, {},
       {"Watch (pattern gave up), 10.0.0.5, /" + std::string(40, 'x') + " xxy",
        "Block, 10.0.0.5, /" + std::string(40, 'x') + " xxy"}},
      {"GiveUpOnAClientRuleDenies", {"SFilter=HTTP_REFERER,(^|x+x+)+y,deny"},
       {.allHttp = "HTTP_REFERER:" + std::string(40, 'x') + " xxy\n"}, kError, {},
       {" (pattern gave up), 10.0.0.5, /index.htm"}},
      {"GiveUpOnARewriteLeavesTheUrlAndIsLogged", {"Rewrite=(^|x+x+)+y,z"},
       {.url = "/" + std::string(40, 'x') + " xxy"}, kNext, {},
       {"Rewrite#1 (pattern gave up), 10.0.0.5, /" + std::string(40, 'x') + " xxy"}},
      // Once left to the backtracking engine, which gave up on them; now answered exactly.
      {"WordStartBeforeAWordIsFound", {"CFilter=WordStart,\\<(x+x+)+y,deny,log"},
       {.url = "/" + std::string(40, 'x') + " xxy"}, kError, {},
       {"WordStart, 10.0.0.5, /" + std::string(40, 'x') + " xxy"}},
      {"PatternMatchingTheEmptyStringDeniesEveryUrl", {"CFilter=X,((\\Z|(.*){2})+a|),deny,log"},
       {}, kError, {}, {"X, 10.0.0.5, /index.htm"}},
      {"RewriteWithoutBacktracking", {"Rewrite=((.a*|a*|.)?|x+b|.?)*/,[$&]"}, {.url = "/bccaxb/"},
       kHandled, {"[/bccaxb/]"}},
      // Found by request_fuzz: a CR in the URL sent the replacement back to the backtracking engine,
      // which took seconds before giving up.
      {"RewriteOfAUrlWithACrWithoutBacktracking", {"Rewrite=((.a*|a*|.)?|x+b|.?)*/,[$&]"},
       {.url = "/search?q=" + std::string(1000, 'a') + "\x01\r" + std::string(1600, 'a') + "/cmd.exe"},
       kHandled, {"[/search?q=" + std::string(1000, 'a') + "\x01\r" + std::string(1600, 'a') + "/]cmd.exe"}},

      // A value the server keeps asking more room for is too long to read: over every length
      // limit, and in doubt for every pattern rule on it. It never reads as empty.
      {"UnreadableUrlIsOverMaxUrlLength", {"BFilter=MaxURLLength:2048,deny,log"},
       {.growing = {"url"}}, kError, {}, {"MaxURLLength (value too long to read), 10.0.0.5, "}},
      {"UnreadableUrlIsDeniedByAPatternRule", {"BFilter=commandExe,deny"}, {.growing = {"url"}},
       kError, {}, {"commandExe (value too long to read), 10.0.0.5, "}},
      {"UnreadableUrlOnALogOnlyRuleIsLoggedNotRewritten", {"CFilter=A,^/x,log", "Rewrite=.,/y"},
       {.growing = {"url"}}, kNext, {}, {"A (value too long to read), 10.0.0.5, "}},
      {"UnreadableClientHostIsDenied", {"SFilter=REMOTE_HOST,\\.evil$,deny"},
       {.growing = {"REMOTE_HOST"}}, kError, {}, {" (value too long to read), 10.0.0.5, /index.htm"}},
      {"UnreadableServerNameFiresRequestByIP", {"BFilter=RequestByIP,enable:true,deny"},
       {.growing = {"SERVER_NAME"}}, kError, {}, {"RequestByIP (value too long to read), 10.0.0.5, /index.htm"}},
  };
  return cases;
}

}  // namespace vell::testing

#endif  // VELL_TESTS_CASES_END_TO_END_H_
