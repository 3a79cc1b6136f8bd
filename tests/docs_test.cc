// The reference in docs/ against the code: every key the loader knows has its entry, and no key
// waits as planned that the loader already reads; every signature and metacharacter bit is listed.
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "config/filter_config.h"
#include "config/signatures.h"

namespace vell {
namespace {

// The lines of one "# SECTION" of the reference, up to the next top-level heading.
std::vector<std::string> Section(const std::string& name) {
  std::ifstream file(std::string(VELL_DOCS) + "/vell.ini.md");
  EXPECT_TRUE(file.is_open());
  std::vector<std::string> lines;
  bool inside = false;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("# ", 0) == 0) inside = line == "# " + name;
    else if (inside) lines.push_back(line);
  }
  return lines;
}

// The first capture of pattern on every line of the section that matches it.
std::set<std::string> Matches(const std::string& section, const std::string& pattern) {
  std::set<std::string> found;
  const std::regex re(pattern);
  for (const std::string& line : Section(section)) {
    std::smatch match;
    if (std::regex_match(line, match, re)) found.insert(match[1]);
  }
  return found;
}

TEST(Reference, ListsEveryKeyTheLoaderKnows) {
  const std::set<std::string> known(std::begin(kConfigKeys), std::end(kConfigKeys));
  EXPECT_EQ(Matches("KEYS", R"(## (\w+))"), known);
  // A planned key that the loader reads needs its full entry.
  for (const std::string& planned : Matches("KEYS", R"(### ([\w, ]+) \(planned\))")) {
    std::istringstream names(planned);
    for (std::string name; std::getline(names >> std::ws, name, ',');) {
      EXPECT_EQ(known.count(name), 0u) << name << " is read by the loader but documented as planned";
    }
  }
}

TEST(Reference, ListsEverySignatureAndMetacharacterBit) {
  std::set<std::string> names;
  for (const BuiltInSignature& signature : SignatureCatalogue) names.insert(signature.name);
  std::set<std::string> listed = Matches("SIGNATURES", R"(\| (\w+) \|.*)");
  listed.erase("Name");  // the header row
  EXPECT_EQ(listed, names);
  std::set<std::string> bits;
  for (std::size_t bit = 0; bit < kMetaCharCount; ++bit) bits.insert(std::to_string(1u << bit));
  EXPECT_EQ(Matches("METACHARACTERS", R"(\| (\d+) \|.*)"), bits);
}

}  // namespace
}  // namespace vell
