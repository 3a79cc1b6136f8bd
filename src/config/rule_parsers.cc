// The comma-separated grammars of the Rewrite, DefaultAction, BFilter, CFilter and SFilter values.
#include "config/rule_parsers.h"

#include "config/text.h"

namespace vell {

KeyedToken SplitKeyedToken(const std::string& token) {
  const std::size_t colon = token.find(':');
  if (colon == std::string::npos) return {token, token};
  return {TrimWhitespace(token.substr(0, colon)), token.substr(colon + 1)};
}

bool AppendActionToken(const KeyedToken& token, std::vector<RuleAction>& actions) {
  if (token.key == "deny") {
    actions.push_back({ActionKind::Deny, token.rest});
  } else if (token.key == "redirect") {
    actions.push_back({ActionKind::Redirect, token.rest});
  } else if (token.key == "log") {
    actions.push_back({ActionKind::Log, ""});
  } else {
    return false;
  }
  return true;
}

RewriteRule ParseRewriteRule(const std::string& value) {
  const std::size_t comma = value.find(',');
  if (comma == std::string::npos) return {value, value};
  return {value.substr(0, comma), value.substr(comma + 1)};
}

void ParseDefaultActions(const std::string& value, std::vector<RuleAction>& actions) {
  for (const std::string& token : SplitTokens(value)) {
    AppendActionToken(SplitKeyedToken(TrimWhitespace(token)), actions);
  }
}

BuiltinRule ParseBFilter(const std::string& value) {
  BuiltinRule rule;
  for (const std::string& token : SplitTokens(value)) {
    const KeyedToken keyed = SplitKeyedToken(TrimWhitespace(token));
    if (AppendActionToken(keyed, rule.actions)) continue;
    if (keyed.key == "enable") {
      if (keyed.rest == "true") {
        rule.enabled = true;
      } else if (keyed.rest == "false") {
        rule.enabled = false;
      } else {
        rule.enableMask = ParseNumber(keyed.rest);
      }
    } else if (keyed.key == "MaxURLLength") {
      rule.name = "MaxURLLength";
      rule.maxUrlLength = ParseNumber(TrimWhitespace(keyed.rest));
    } else {
      rule.name = keyed.key;
    }
  }
  return rule;
}

namespace {

// CFilter and SFilter: token 0 and token 1 are whole texts, the later tokens are actions.
template <typename Rule, typename First>
Rule ParsePatternRule(const std::string& value, First Rule::*first) {
  Rule rule;
  const std::vector<std::string> tokens = SplitTokens(value);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string token = TrimWhitespace(tokens[i]);
    if (i == 0) {
      rule.*first = token;
    } else if (i == 1) {
      rule.pattern = token;
    } else {
      AppendActionToken(SplitKeyedToken(token), rule.actions);
    }
  }
  return rule;
}

}  // namespace

FilterRule ParseCFilter(const std::string& value) {
  return ParsePatternRule<FilterRule>(value, &FilterRule::name);
}

FilterRule ParseDFilter(const std::string& value) {
  FilterRule rule;
  const std::vector<std::string> tokens = SplitTokens(value);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string token = TrimWhitespace(tokens[i]);
    if (i == 0) {
      rule.name = token;
    } else {
      AppendActionToken(SplitKeyedToken(token), rule.actions);
    }
  }
  return rule;
}

VariableRule ParseSFilter(const std::string& value) {
  return ParsePatternRule<VariableRule>(value, &VariableRule::variable);
}

Exclusion ParseExclusion(const std::string& value) {
  Exclusion exclusion;
  for (const std::string& raw : SplitTokens(value)) {
    const std::string token = TrimWhitespace(raw);
    if (token.empty()) continue;
    const KeyedToken keyed = SplitKeyedToken(token);
    const bool keyedForm = token.find(':') != std::string::npos;
    if (keyedForm && keyed.key == "url") {
      exclusion.hasUrl = true;
      exclusion.urlPattern = TrimWhitespace(keyed.rest);
      continue;
    }
    std::vector<std::string>* list = nullptr;
    if (keyedForm && keyed.key == "rules") list = &exclusion.rules;
    else if (keyedForm && keyed.key == "client") list = &exclusion.clients;
    else if (keyedForm && keyed.key == "host") list = &exclusion.hosts;
    else if (keyedForm && keyed.key == "method") list = &exclusion.methods;
    std::vector<std::string> words = SplitWords(keyed.rest);
    // A list left empty would read as no condition at all, so it counts as unknown.
    if (list == nullptr || words.empty()) {
      exclusion.unknownTokens.push_back(token);
      continue;
    }
    for (std::string& word : words) list->push_back(std::move(word));
  }
  return exclusion;
}

}  // namespace vell
