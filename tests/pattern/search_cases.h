// The pattern-syntax table: (pattern, subject, found) rows over every construct, shared by the
// pattern tests and the comparison of the two engines.
#ifndef VELL_TESTS_INSPECT_SEARCH_CASES_H_
#define VELL_TESTS_INSPECT_SEARCH_CASES_H_

#include <string_view>

namespace vell::testing_cases {

using namespace std::literals;

struct SearchCase {
  std::string_view pattern;
  std::string_view subject;
  bool found;
};

inline const SearchCase kSearch[] = {
    // The built-in signatures on the subjects they are written for; letter case is ignored.
    {R"(((%27)|('))((%20)|(\s))?union)", "/a?id=%27%20UNION", true},
    {R"(((%27)|('))((%20)|(\s))?union)", "/a?id='\tUnIoN", true},
    {R"(((%27)|('))((%20)|(\s))?union)", "/a?id=%27%20%20union", false},
    {R"(^/default(\.)ida)", "/DEFAULT.IDA?NNNN", true},
    {R"(^/default(\.)ida)", "/x/default.ida", false},
    {R"(^/default(\.)ida)", "/defaultxida", false},
    {R"((%0a)|(%0d))", "/a%0D", true},
    {R"((\%24)|(\$))", "/a%24", true},
    {R"((\%24)|(\$))", "/a$b", true},
    {R"((%7c)|(\|))", "/a|b", true},
    {R"((%7c)|(\|))", "/ab", false},
    {R"([^\n]+((%3D)|(=)))", "a=", true},
    {"[^\\n]+((%3D)|(=))", "\n=", false},
    {R"((((%0d)+)((%0a)+))+http(/)([0-1]{0,1})(\.)([0-1]{0,1}))", "%0d%0aHTTP/1.1", true},
    {R"((((%0d)+)((%0a)+))+http(/)([0-1]{0,1})(\.)([0-1]{0,1}))", "%0d%0aHTTP/2.1", false},
    {R"((system32/cmd(\.)exe)|(root(\.)exe))", "/scripts/..%5c../winnt/SYSTEM32/cmd.exe?/c+dir",
     true},
    {R"((((((\\)|(%5c))((%78)|(x)|(%58))(([0-9a-z]){2}))))+)", "/a\\x9F", true},
    {R"((((((\\)|(%5c))((%78)|(x)|(%58))(([0-9a-z]){2}))))+)", "/a\\x9", false},
    {R"(((%3C)|(<))((!)|(%21))((-)|(%2D))((-)|(%2D))+(\s)*((#)|(%23)))", "<!-- #exec", true},
    {"%00", "/a%00", true},

    // Groups, alternation and repeats.
    {"(ab)|c", "xc", true},
    {"x(ab)|cy", "xaby", true},
    {"ab*c", "ac", true},
    {"ab+c", "ac", false},
    {"ab?c", "abbc", false},
    {"xa{2}y", "xay", false},
    {"xa{2}y", "xaay", true},
    {"xa{2,}y", "xaaaay", true},
    {"xa{1,2}y", "xaaay", false},
    {"xa{0,1}y", "xy", true},
    {"x(ab){2}y", "xababy", true},
    // An empty alternative or group matches the empty string.
    {"a|", "b", true},
    {"x()y", "XY", true},
    {"x(|a)y", "xay", true},
    {"x()*y", "xy", true},
    {"(a|)*b", "aab", true},
    {"(^a)*b", "ab", true},
    // A set that holds no byte never matches, repeated or not.
    {"[^\\x00-\\xff]", "a", false},
    {"x[^\\x00-\\xff]*y", "xy", true},

    // Letter case is ignored for ASCII letters only.
    {"union", "UNION", true},
    {"UNION", "union", true},
    {"\\x41", "a", true},
    {"\\xe9", "caf\xe9", true},
    {"\\xe9", "caf\xc9", false},
    {"\xc3\xa9", "caf\xc3\xa9", true},

    // "." and "\C" take every byte.
    {"a.b", "a\nb", true},
    {"a.b", "a\rb", true},
    {"a.b", "a\0b"sv, true},
    {"a\\Cb",
     "a\xff"
     "b",
     true},

    // Line anchors around CR, LF and CRLF.
    {"^b", "a\nb", true},
    {"^b", "a\rb", true},
    {"^b", "a\r\nb", true},
    {"^b", "ab", false},
    {"^\\n", "a\r\nb", false},
    {"a$", "a\r\nb", true},
    {"a$", "a\nb", true},
    {"a$", "a\rb", true},
    {"a$", "ab", false},
    {"\\r$", "a\r\nb", false},
    {"^$", "", true},
    {"^$", "\r\n", true},

    // Bracket expressions.
    {"[]a]", "]", true},
    {"[^]a]", "]", false},
    {"[^]a]", "b", true},
    {"[^a]", "A", false},
    {"[a-]", "-", true},
    {"[a-c]", "B", true},
    {"[A-C]", "d", false},
    {"[\\n]", "\n", true},
    {"[\\]]", "]", true},
    {"[a\\-c]", "b", false},
    {"[a\\-c]", "-", true},
    {"[\\\\]", "\\", true},
    {"[\\s]", "\t", true},
    {"[\\d]", "5", true},
    {"[\\w]", "_", true},
    {"[\\l]", "Q", true},
    {"[\\x41-\\x43]", "b", true},
    {"[\\x{80}-\\xff]", "\xc3", true},
    {"[\\x80-\\xff]", "a", false},
    {"[.]", "a", false},
    {"[[:digit:]]", "5", false},
    {"[[:digit:]]", "d]", true},
    {"[[:digit:]]", ":]", true},
    {"[[:digit:]]", "d", false},

    // Classes are the C locale's; bytes from 0x80 on belong to none.
    {"\\s", "\v", true},
    {"\\s", "\xa0", false},
    {"\\S", " ", false},
    {"\\d", "a", false},
    {"\\D", "1", false},
    {"\\w", "_", true},
    {"\\w", "\xe9", false},
    {"\\W", "-", true},
    {"\\l", "Q", true},
    {"\\u", "q", true},
    {"\\L", "q", false},
    {"\\L", "1", true},
    {"\\U", "\xe9", true},

    // Word boundaries.
    {"\\bcat\\b", "a cat.", true},
    {"\\bcat\\b", "concat", false},
    {"\\Bcat", "concat", true},
    {"\\Bcat", "cat", false},
    {"\\<cat", "concat", false},
    {"\\<cat", "cat", true},
    {"cat\\>", "cats", false},
    {"cat\\>", "cat!", true},

    // Subject anchors.
    {"\\Ab", "a\nb", false},
    {"\\Aa", "ab", true},
    {"\\`a", "ab", true},
    {"\\Ga", "ba", false},
    {"a\\z", "a\n", false},
    {"a\\'", "ba", true},
    {"a\\Z", "a\r\n\n", true},
    {"a\\Z", "a\nb", false},
    {"a\\Z", "ba", true},

    // Escapes.
    {"\\Qa.b\\E", "axb", false},
    {"\\Qa.b\\E", "a.b", true},
    {"\\Q(A|*\\E", "(a|*", true},
    {"\\a\\f\\n\\r\\t\\v\\e", "\a\f\n\r\t\v\x1b", true},
    {"\\x{41}", "A", true},
    {"\\x4g",
     "\x04"
     "g",
     true},
    {"\\xff", "\xff", true},
    {"\\x{ff}", "\xff", true},
    {"\\x00", "a\0b"sv, true},
    {"\\cA", "\x01", true},
    {"\\ca", "!", true},
    {"\\1", "1", true},
    {"(a)\\1", "aa", false},
    {"(a)\\1", "a1", true},
    {"\\.", "a", false},
    {"\\%24", "%24", true},
    {"\\$", "$", true},
    {"\\(", "(", true},
    {"\\k", "K", true},
    {"a\0b"sv, "xa\0b"sv, true},

    // Found by generated differentials: "\B" holds between CR and LF, where "^" and "$" do not; a
    // required pass that matches empty before one that consumes; large bounds and word edges
    // written for the linear-time engine.
    {"^\\B", "a\r\nb", false},
    {"\\B$", "a\r\nb", false},
    {"^\\B", "a\n\nb", true},
    {"(^|a){2}b", "ab", true},
    {"(^|a){2}b", "b", true},
    {"(^|a){2}b", "cb", false},
    {"x^a", "x\na", false},
    {"\\n^a", "x\na", true},
    {"\\r^a", "\r\na", false},
    {"\\r^\\n", "\r\n", false},
    {"a$\\r", "a\r", true},
    {"a$\\n", "\ra\n", true},
    {"\\r$\\n", "\r\n", false},
    {"a{1001}", std::string_view("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"), false},
    {"-\\<b", "a-b", true},
    {"-\\<-", "a--", false},
    {"\\>-", "a-", true},
    {"\\>-", "--", false},
    {"((\\Z|(.*){2})+a|)", "/index.htm", true},

    // Constructs that do not compile never match, even a subject that holds their characters.
    {"", "", false},
    {"(?:a)", "(?:a)a", false},
    {"a*?", "a*?a", false},
    {"a}", "a}", false},
    {"(a", "(a", false},
};

}  // namespace vell::testing_cases

#endif  // VELL_TESTS_INSPECT_SEARCH_CASES_H_
