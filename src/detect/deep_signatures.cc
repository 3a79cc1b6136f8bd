// The deep layer's own signatures and their one-pass matcher (an RE2 set: RE2 syntax gives word
// boundaries and start anchors, which these need, and the set answers for all of them at once).
#include "detect/deep_signatures.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <string>
#include <vector>

namespace vell {

namespace {

constexpr const char* kRuleNames[kDeepRuleCount] = {"DeepSQLi", "DeepXSS", "DeepTraversal", "DeepCommand",
                                                    "DeepCRLF"};

// A command that attackers run first to see whether injection worked, fetch a second stage or
// open a shell; common English words (more, type, find, set, exec) are left out.
#define VELL_COMMANDS                                                                          \
  "(?:cat|id|ls|uname|whoami|wget|curl|nc|ncat|netcat|bash|sh|zsh|ksh|csh|dash|ping|nslookup|" \
  "dig|host|echo|rm|chmod|chown|python[23]?|perl|php|ruby|lua|dir|ipconfig|ifconfig|cmd|"      \
  "powershell|sleep|telnet|ftp|tftp|pwd|ps|kill|env|printenv|touch|mkdir|nohup|sudo|passwd|"   \
  "systeminfo|tasklist|certutil|bitsadmin|wmic|netstat|hostname|traceroute|xterm|base64|"      \
  "busybox|socat|awk|sed|grep|timeout|net\\s+user|type\\s+\\S*[a-z]:)"

}  // namespace

const std::array<DeepSignature, kDeepSignatureCount> DeepSignatures = {{
    // ---- DeepTraversal
    // A ".." path segment ("../", "..;/", ".." at the end, and "....//", which becomes "../" when
    // a filter strips "../" once), including a value that starts with one; the decoding has
    // already turned "\" into "/".
    {"DotDotSegment", DeepRule::kTraversal, SignatureScope::kAnyText, R"((?:^|/)\.\.(?:\.\./)?(?:[/;]|$))",
     ".."},
    // Files that reveal a system's accounts, configuration, process environment or logs, whatever
    // spells the separators before them ("etc/passwd", "etc0x2fpasswd", "etc%2%fpasswd": up to
    // eight bytes that are not letters, or the letters of hex and Unicode escapes).
    {"SystemFile", DeepRule::kTraversal, SignatureScope::kAnyText,
     R"(etc(?:[^g-z]|[xu]){1,8}(?:passwd|shadow|group|hosts|issue|motd|fstab|crontab|sudoers|hostname|)"
     R"(resolv\.conf|profile|bashrc|inittab|master\.passwd|(?:apache2?|httpd|nginx|mysql|ssh)/))"
     R"(|(?:^|/)proc/+(?:self|\d+)/|(?:boot|win|system)\.ini\b|system32|\bglobal\.asa\b|(?:^|/)inetpub/)"
     R"(|(?:^|/)(?:windows|winnt)/+(?:repair|panther|debug)|(?:^|/)var/+log/|\b(?:access|error)[._]log\b)"
     R"(|(?:^|/)\.(?:htaccess|htpasswd|bash_history|ssh/)|\bid_[rd]sa\b|\bweb\.config\b|\bautoexec\.bat\b)",
     "etc|proc/|.ini|system32|global.asa|inetpub|windows/|winnt/|var/|access.log|access_log|error.log|"
     "error_log|.htaccess|.htpasswd|.bash_history|.ssh/|id_|web.config|autoexec"},
    // A value that is an absolute path into a system directory or a drive: the name of a file an
    // application is about to open.
    {"SystemPathValue", DeepRule::kTraversal, SignatureScope::kValue,
     R"(^\s*(?:/+(?:etc|proc|var|usr|bin|sbin|boot|root|home|tmp|dev|sys|opt|lib)(?:/|$)|[a-z]:/))", "^/"},
    // A value that is a file: URI or a PHP stream wrapper, which file functions open as such.
    {"FileUri", DeepRule::kTraversal, SignatureScope::kValue,
     R"(^\s*(?:file|php|expect|phar|zip|glob|compress\.zlib)://)", ""},

    // ---- DeepXSS
    // Script URIs, which run when a link or frame is opened.
    {"ScriptUri", DeepRule::kXSS, SignatureScope::kAnyText,
     R"(\b(?:java|vb|live)script\s*:|\bdata\s*:\s*text/html|\bdata\s*:[^,]{0,40};\s*base64)", ""},
    // An event-handler attribute after a break out of a tag or attribute ("<x onload=",
    // "' onfocus=").
    {"EventHandler", DeepRule::kXSS, SignatureScope::kAnyText, R"([\s"'/`;]on[a-z]{3,30}\s*=)", ""},
    // Calls that payloads use to prove script ran or to reach the page's secrets.
    {"ScriptCall", DeepRule::kXSS, SignatureScope::kAnyText,
     R"(\b(?:alert|prompt|confirm)\s*(?:\(|`)|\beval\s*\(|\bdocument\s*\.\s*(?:cookie|domain|write))"
     R"(|\bfromcharcode\s*\(|\bexpression\s*\()", "document"},

    // ---- DeepSQLi
    // Column probing by position, which libinjection reads as a plain phrase.
    {"SqlOrderBy", DeepRule::kSQLi, SignatureScope::kAnyText,
     R"(\b(?:order|group)(?:\s|/\*[^*]*\*/)+by(?:\s|/\*[^*]*\*/)+\d)", "order |group "},
    // Time-based blind injection.
    {"SqlDelay", DeepRule::kSQLi, SignatureScope::kAnyText,
     R"(\b(?:sleep|benchmark|pg_sleep|dbms_lock\.sleep|randomblob)\s*\(|\bwaitfor\s+(?:delay|time)\b)",
     "waitfor"},
    // A comparison that is always true, closed by a comment ("or x=x--"), or a quote or bracket
    // broken out of followed by OR/AND and a comparison.
    {"SqlTautology", DeepRule::kSQLi, SignatureScope::kAnyText,
     R"(\b(?:or|and|xor)\s+['"]?\w+['"]?\s*(?:=|<>|!=|\blike\b)\s*['"]?\w+['"]?\s*(?:--|#|/\*|;))"
     R"(|['")]\s*(?:or|and|xor|\|\||&&)\s*[('"]?\s*\w+['"]?\s*(?:[=<>!]|\blike\b|\bis\b|\bbetween\b))",
     " like "},
    // Functions and catalogues that serve error-based and out-of-band extraction (a package's
    // functions too: "utl_inaddr.get_host_address(").
    {"SqlFunction", DeepRule::kSQLi, SignatureScope::kAnyText,
     R"(\b(?:extractvalue|updatexml|utl_inaddr|utl_http|dbms_pipe|load_file|xp_cmdshell|)"
     R"(sp_executesql)\s*\.?\s*\w*\s*\(|\binformation_schema\b|@@version\b)", "information_schema"},

    // ---- DeepCommand
    // A command separator (";", "|", "&", a line break, a back-quote, "$(") followed by a command
    // and then a space, another separator, a quote or the end (so that "&id=5", a query's next
    // argument, is no command).
    {"CommandAfterSeparator", DeepRule::kCommand, SignatureScope::kAnyText,
     R"((?:[;|&`\n\r]|\$\()\s*(?:[\w.-]*/)*)" VELL_COMMANDS R"((?:[\s;|&`)'"<>]|$))", ""},
    // A value that is a whole command line: a tool that only an attacker asks a web application
    // for, a listing of a system path, a download, inline interpreter code, Windows account and
    // registry changes.
    {"CommandLineValue", DeepRule::kCommand, SignatureScope::kValue,
     R"(^\s*(?:(?:uname|ipconfig|ifconfig|netstat|whoami|systeminfo|tasklist|phpinfo)\b)"
     R"(|(?:ls|dir|cat|type)\s+(?:-\w+\s+)*(?:/|[a-z]:|%\w+%))"
     R"(|(?:wget|curl)\s+(?:-\S+\s+)*\S*://|(?:perl|python[23]?|ruby|php|node|powershell)\s+-\w*[ec]\b)"
     R"(|net\s+(?:user|view|localgroup|share|use)\b|netsh\s|reg\s+(?:add|query|delete)\s))",
     "^uname|^ipconfig|^ifconfig|^netstat|^whoami|^systeminfo|^tasklist|^phpinfo|^ls |^dir |^cat |^type |"
     "^perl |^python|^ruby |^php |^node |^powershell |^net |^netsh |^reg "},
    // Shell expansions that stand in for spaces or run a command: ${IFS}, $(...).
    {"ShellExpansion", DeepRule::kCommand, SignatureScope::kAnyText, R"(\$\{?ifs\b|\$\(\s*[a-z/])", ""},
    // A program named by its full path ("/bin/sh", "/usr/bin/id"), or cmd /c.
    {"CommandPath", DeepRule::kCommand, SignatureScope::kAnyText,
     R"(/(?:usr/(?:local/)?)?s?bin/)" VELL_COMMANDS R"(\b|\bcmd(?:\.exe)?\s*/[ck]\b)", "bin/|cmd"},
    // Code that a server-side interpreter would run: a PHP block or a call of a function that
    // starts a process, and server-side and edge-side include directives.
    {"CodeExecution", DeepRule::kCommand, SignatureScope::kAnyText,
     R"(<\?php\b|\b(?:system|exec|passthru|shell_exec|popen|proc_open)\s*\(\s*['"$]|\bphpinfo\s*\()"
     R"(|<!--\s*#\s*(?:exec|include|echo|config|set|printenv|fsize|flastmod|if)\b|<esi:[a-z])", ""},

    // ---- DeepCRLF
    // A line break followed by a header ("\r\nSet-Cookie:"), which splits a response whose header
    // carries the value.
    {"HeaderInjection", DeepRule::kCRLF, SignatureScope::kAnyText, R"([\r\n]\s*[a-z][\w-]{1,40}\s*:)", ""},
}};

#undef VELL_COMMANDS

namespace {

void AddAlternative(const char* pattern, std::string& to) {
  if (!to.empty()) to += '|';
  to += "(?:";
  to += pattern;
  to += ')';
}

constexpr std::array<bool, 256> kPlainBytes = [] {
  std::array<bool, 256> plain{};
  for (int c = 'a'; c <= 'z'; ++c) plain[c] = plain[c - 'a' + 'A'] = true;
  for (int c = '0'; c <= '9'; ++c) plain[c] = true;
  for (const char c : std::string_view("_-./ ")) plain[static_cast<unsigned char>(c)] = true;
  for (std::size_t c = 0x80; c < plain.size(); ++c) plain[c] = true;
  return plain;
}();

unsigned char Folded(unsigned char c) { return static_cast<unsigned>(c - 'A') < 26u ? c | 0x20 : c; }

bool FoldedEquals(const unsigned char* bytes, std::string_view lower) {
  for (std::size_t i = 0; i < lower.size(); ++i) {
    if (Folded(bytes[i]) != static_cast<unsigned char>(lower[i])) return false;
  }
  return true;
}

// The signatures' plain texts (DeepSignature::plain) and the quick check built on them: the texts
// that must begin a text by their first byte, the others in one automaton (Aho-Corasick) that reads
// a text once, a table look-up per byte, whatever the number of texts.
class PlainTextIndex {
 public:
  // Adds one signature's list; false when the list is unusable (a text with a byte that is not
  // plain, an empty text, a text of one byte not at the start).
  bool Add(std::string_view list, bool valueOnly) {
    bool usable = true;
    while (!list.empty()) {
      const std::size_t bar = std::min(list.find('|'), list.size());
      std::string_view item = list.substr(0, bar);
      list.remove_prefix(std::min(bar + 1, list.size()));
      const bool atStart = !item.empty() && item.front() == '^';
      if (atStart) item.remove_prefix(1);
      std::string lower;
      for (const char c : item) {
        usable = usable && kPlainBytes[static_cast<unsigned char>(c)];
        lower += static_cast<char>(Folded(static_cast<unsigned char>(c)));
      }
      if (lower.size() < (atStart ? 1u : 2u)) return false;
      if (atStart) {
        atStart_[static_cast<unsigned char>(lower.front())].push_back({lower, valueOnly});
      } else {
        anywhere_.push_back({lower, valueOnly});
      }
    }
    return usable;
  }

  // Builds the automaton once every list is in; false when it would not fit its table.
  bool Build();

  // False only when text, of plain bytes alone, holds none of the texts.
  bool MayMatch(std::string_view text, bool isValue) const {
    const uint16_t stop = isValue ? kFound | kFoundInValue | kNotPlain : kFound | kNotPlain;
    return Scan(text, stop) || Begins(text, isValue);
  }

  // Whether one of the texts found anywhere occurs in a part of text between bytes that are not
  // plain.
  bool Holds(std::string_view text) const { return Scan(text, kFound | kFoundInValue); }

  // Whether text begins, after any spaces, with one of the texts that must begin it.
  bool Begins(std::string_view text, bool isValue) const {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data()) + start;
    for (const Entry& entry : atStart_[Folded(*bytes)]) {
      if ((isValue || !entry.valueOnly) && entry.text.size() <= text.size() - start &&
          FoldedEquals(bytes, entry.text)) {
        return true;
      }
    }
    return false;
  }

 private:
  struct Entry {
    std::string text;  // in lower case
    bool valueOnly;    // of a signature that only values meet
  };

  // A cell of the automaton's table: the next state's first cell, and what reaching it means.
  static constexpr uint16_t kStateMask = 0x1FFF;
  static constexpr uint16_t kFound = 0x2000;         // a text ends here
  static constexpr uint16_t kFoundInValue = 0x4000;  // a text of a value-only signature ends here
  static constexpr uint16_t kNotPlain = 0x8000;      // the byte is not plain

  // Whether reading text reaches a cell with one of the flags in `stop`.
  bool Scan(std::string_view text, uint16_t stop) const {
    unsigned state = 0;
    for (const char c : text) {
      const uint16_t cell = next_[state + classOf_[static_cast<unsigned char>(c)]];
      if ((cell & stop) != 0) return true;
      state = cell & kStateMask;
    }
    return false;
  }

  std::vector<Entry> anywhere_;
  std::array<std::vector<Entry>, 256> atStart_;  // by first byte
  // Byte classes: 0 for the bytes that are not plain, one for each folded byte that the texts
  // hold, one for every other plain byte.
  std::array<uint8_t, 256> classOf_{};
  std::size_t classes_ = 0;
  std::vector<uint16_t> next_;  // a state's row is `classes_` cells from its first
};

bool PlainTextIndex::Build() {
  // The classes.
  std::array<uint8_t, 256> folded{};  // class of each folded byte that a text holds
  uint8_t count = 1;
  for (const Entry& entry : anywhere_) {
    for (const char c : entry.text) {
      uint8_t& slot = folded[static_cast<unsigned char>(c)];
      if (slot == 0) slot = count++;
    }
  }
  const uint8_t otherPlain = count++;
  classes_ = count;
  for (std::size_t b = 0; b < 256; ++b) {
    classOf_[b] = kPlainBytes[b] ? (folded[Folded(static_cast<unsigned char>(b))] != 0
                                        ? folded[Folded(static_cast<unsigned char>(b))]
                                        : otherPlain)
                                 : 0;
  }
  // The trie of the texts; state 0 is the start.
  std::vector<std::vector<int>> go(1, std::vector<int>(classes_, -1));
  std::vector<uint16_t> output(1, 0);
  for (const Entry& entry : anywhere_) {
    int state = 0;
    for (const char c : entry.text) {
      const uint8_t cls = classOf_[static_cast<unsigned char>(c)];
      if (go[state][cls] < 0) {
        go[state][cls] = static_cast<int>(go.size());
        go.emplace_back(classes_, -1);
        output.push_back(0);
      }
      state = go[state][cls];
    }
    output[state] |= entry.valueOnly ? kFoundInValue : kFound;
  }
  // Failure links, breadth first, completing every state's row; a byte that is not plain leads
  // back to the start, flagged.
  const std::size_t states = go.size();
  if (states * classes_ > kStateMask) return false;
  std::vector<int> fail(states, 0), queue;
  for (std::size_t cls = 1; cls < classes_; ++cls) {
    int& to = go[0][cls];
    if (to < 0) {
      to = 0;
    } else {
      queue.push_back(to);
    }
  }
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const int state = queue[head];
    output[state] |= output[fail[state]];
    for (std::size_t cls = 1; cls < classes_; ++cls) {
      int& to = go[state][cls];
      if (to < 0) {
        to = go[fail[state]][cls];
      } else {
        fail[to] = go[fail[state]][cls];
        queue.push_back(to);
      }
    }
  }
  next_.assign(states * classes_, 0);
  for (std::size_t state = 0; state < states; ++state) {
    next_[state * classes_] = kNotPlain;
    for (std::size_t cls = 1; cls < classes_; ++cls) {
      const auto to = static_cast<std::size_t>(go[state][cls]);
      next_[state * classes_ + cls] = static_cast<uint16_t>(to * classes_) | output[to];
    }
  }
  return true;
}

}  // namespace

const char* DeepRuleName(DeepRule rule) { return kRuleNames[static_cast<std::size_t>(rule)]; }

std::optional<DeepRule> FindDeepRule(std::string_view name) {
  for (std::size_t i = 0; i < kDeepRuleCount; ++i) {
    if (name == kRuleNames[i]) return static_cast<DeepRule>(i);
  }
  return std::nullopt;
}

bool IsPlainTextByte(unsigned char c) { return kPlainBytes[c]; }

struct DeepSignatureMatcher::Impl {
  re2::RE2::Options options;
  // Whether any signature occurs at all, for values and for other texts: one search that stops at
  // the first match and allocates nothing, which answers most texts (the set allocates on every
  // call and always reads to the end).
  std::unique_ptr<re2::RE2> anyInValue, anyInText;
  std::unique_ptr<re2::RE2::Set> set;
  std::vector<std::unique_ptr<re2::RE2>> single;

  PlainTextIndex plain;
  // False when some signature's plain list is unusable: every text then meets the patterns.
  bool plainUsable = true;
};

DeepSignatureMatcher::DeepSignatureMatcher() : impl_(std::make_unique<Impl>()) {
  re2::RE2::Options& options = impl_->options;
  options.set_encoding(re2::RE2::Options::EncodingLatin1);
  options.set_case_sensitive(false);
  options.set_never_capture(true);
  options.set_log_errors(false);
  // Enough for the set's DFA on long texts; on running out, Match falls back to one pattern at a
  // time.
  options.set_max_mem(32 << 20);
  impl_->set = std::make_unique<re2::RE2::Set>(options, re2::RE2::UNANCHORED);
  std::string anyInValue, anyInText;
  for (std::size_t i = 0; i < DeepSignatures.size(); ++i) {
    const DeepSignature& signature = DeepSignatures[i];
    AddAlternative(signature.pattern, anyInValue);
    if (signature.scope != SignatureScope::kValue) AddAlternative(signature.pattern, anyInText);
    impl_->set->Add(signature.pattern, nullptr);
    impl_->single.push_back(std::make_unique<re2::RE2>(signature.pattern, options));
    ruleMasks_[static_cast<std::size_t>(signature.rule)] |= SignatureMask{1} << i;
    if (signature.scope == SignatureScope::kValue) valueOnly_ |= SignatureMask{1} << i;
    impl_->plainUsable &= impl_->plain.Add(signature.plain, signature.scope == SignatureScope::kValue);
  }
  impl_->plainUsable &= impl_->plain.Build();
  impl_->set->Compile();
  impl_->anyInValue = std::make_unique<re2::RE2>(anyInValue, options);
  impl_->anyInText = std::make_unique<re2::RE2>(anyInText, options);
}

DeepSignatureMatcher::~DeepSignatureMatcher() = default;

bool DeepSignatureMatcher::MayMatch(std::string_view text, bool isValue) const {
  return !impl_->plainUsable || impl_->plain.MayMatch(text, isValue);
}

bool DeepSignatureMatcher::HoldsPlainText(std::string_view text) const {
  return !impl_->plainUsable || impl_->plain.Holds(text);
}

bool DeepSignatureMatcher::BeginsWithPlainText(std::string_view text, bool isValue) const {
  return !impl_->plainUsable || impl_->plain.Begins(text, isValue);
}

SignatureMask DeepSignatureMatcher::Match(std::string_view text, bool isValue) const {
  const SignatureMask wanted = isValue ? ~SignatureMask{0} : ~valueOnly_;
  if (text.size() <= kQuickCheckMaxLength && !MayMatch(text, isValue)) return 0;
  if (!re2::RE2::PartialMatch(text, isValue ? *impl_->anyInValue : *impl_->anyInText)) return 0;
  std::vector<int> hits;
  re2::RE2::Set::ErrorInfo error{};
  SignatureMask found = 0;
  if (impl_->set->Match(text, &hits, &error)) {
    for (const int i : hits) found |= SignatureMask{1} << i;
  } else if (error.kind != re2::RE2::Set::kNoError) {
    // The set's DFA ran out of memory on this text: each pattern on its own (still linear).
    for (std::size_t i = 0; i < impl_->single.size(); ++i) {
      if (((wanted >> i) & 1u) != 0 && re2::RE2::PartialMatch(text, *impl_->single[i])) {
        found |= SignatureMask{1} << i;
      }
    }
  }
  return found & wanted;
}

std::optional<DeepSignatureMatcher::Span> DeepSignatureMatcher::Find(std::size_t index,
                                                                     std::string_view text) const {
  if (index >= impl_->single.size()) return std::nullopt;
  re2::StringPiece match;
  if (!impl_->single[index]->Match(text, 0, text.size(), re2::RE2::UNANCHORED, &match, 1)) {
    return std::nullopt;
  }
  const auto begin = static_cast<std::size_t>(match.data() - text.data());
  return Span{begin, begin + match.size()};
}

const DeepSignatureMatcher& BuiltInDeepSignatures() {
  static const DeepSignatureMatcher matcher;
  return matcher;
}

}  // namespace vell
