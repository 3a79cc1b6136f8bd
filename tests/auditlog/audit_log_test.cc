#include "auditlog/audit_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vell {
namespace {

namespace fs = std::filesystem;

struct NameCase {
  const char* path;
  unsigned generation;
  const char* name;  // nullptr: the path has no ".log" and naming fails
};
const NameCase kNames[] = {
    // Digits go in front of the first ".log" of the whole path.
    {"C:\\logs\\audit.log", 0, "C:\\logs\\audit.log"},
    {"C:\\logs\\audit.log", 1, "C:\\logs\\audit1.log"},
    {"C:\\logs\\audit.log", 12, "C:\\logs\\audit12.log"},
    {"C:\\x.log\\audit.log", 1, "C:\\x1.log\\audit.log"},
    {"audit.log.old", 3, "audit3.log.old"},
    // Without ".log" in exactly this case there are no generations, not even 0.
    {"audit.LOG", 0, nullptr},
    {"audit.txt", 1, nullptr},
    {"", 0, nullptr},
};

TEST(AuditLogGenerationName, Table) {
  for (const NameCase& c : kNames) {
    SCOPED_TRACE(std::string(c.path) + " #" + std::to_string(c.generation));
    if (c.name == nullptr) {
      EXPECT_THROW(AuditLogGenerationName(c.path, c.generation), std::invalid_argument);
    } else {
      EXPECT_EQ(AuditLogGenerationName(c.path, c.generation), c.name);
    }
  }
}

struct TimestampCase {
  platform::LocalTime time;
  const char* text;
};
const TimestampCase kTimestamps[] = {
    // The date keeps its leading zeros, the time parts have none.
    {{2005, 3, 7, 9, 5, 3}, "03/07/2005 9:5:3"},
    {{2005, 12, 25, 14, 30, 0}, "12/25/2005 14:30:0"},
    {{2024, 1, 1, 0, 0, 0}, "01/01/2024 0:0:0"},
    {{1999, 10, 31, 23, 59, 59}, "10/31/1999 23:59:59"},
};

TEST(AuditLogTimestamp, Table) {
  for (const TimestampCase& c : kTimestamps) {
    EXPECT_EQ(AuditLogTimestamp(c.time), c.text);
  }
}

class AuditLogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("vell-auditlog-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }
  static std::string Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  fs::path folder_;
};

TEST_F(AuditLogFiles, RotationShiftsHighestFirstAndStopsAtAGap) {
  Write(Path("audit.log"), "0");
  Write(Path("audit1.log"), "1");
  Write(Path("audit3.log"), "3");
  AuditLogRotate(Path("audit.log"), 0);
  EXPECT_FALSE(fs::exists(Path("audit.log")));
  EXPECT_EQ(Read(Path("audit1.log")), "0");
  EXPECT_EQ(Read(Path("audit2.log")), "1");
  // Above the gap nothing moves.
  EXPECT_EQ(Read(Path("audit3.log")), "3");
  EXPECT_FALSE(fs::exists(Path("audit4.log")));
}

TEST_F(AuditLogFiles, RotationWithoutLogSuffixTouchesNothing) {
  Write(Path("audit.txt"), "0");
  EXPECT_THROW(AuditLogRotate(Path("audit.txt"), 0), std::invalid_argument);
  EXPECT_EQ(Read(Path("audit.txt")), "0");
}

TEST_F(AuditLogFiles, HeaderIsFourLinesEndedByCrLf) {
  AuditLogWriteHeader(Path("audit.log"));
  const std::string text = Read(Path("audit.log"));
  const std::string date = text.substr(text.find("#Date: ") + 7, text.find("\r\n#Fields") - text.find("#Date: ") - 7);
  EXPECT_EQ(text,
            "#Software: Orvanta IIS Application Security Firewall\r\n"
            "#Version: 1.0. Please report issues to security@vell.invalid\r\n"
            "#Date: " + date + "\r\n"
            "#Fields: time, filter-name, c-ip, cs-uri-query\r\n");
  EXPECT_EQ(date.size() >= 16 && date.size() <= 19, true) << date;
}

TEST_F(AuditLogFiles, LinesAreAppendedAsDataWithCrLf) {
  platform::CriticalSection lock;
  const std::string path = Path("audit.log");
  AuditLogAppendLine(lock, path.c_str(), "t, A, 10.0.0.5, /a?x=%s%n%27");
  AuditLogAppendLine(lock, path.c_str(), "t, , 10.0.0.5, /b");
  EXPECT_EQ(Read(path), "t, A, 10.0.0.5, /a?x=%s%n%27\r\nt, , 10.0.0.5, /b\r\n");
}

TEST_F(AuditLogFiles, LineForAFileThatDoesNotOpenIsDropped) {
  platform::CriticalSection lock;
  AuditLogAppendLine(lock, Path("missing/audit.log").c_str(), "line");
  AuditLogAppendLine(lock, "", "line");
  EXPECT_FALSE(fs::exists(Path("missing")));
  // The lock was released both times.
  lock.lock();
  lock.unlock();
}

}  // namespace
}  // namespace vell
