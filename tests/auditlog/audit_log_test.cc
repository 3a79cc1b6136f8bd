#include "auditlog/audit_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

// The files of a log folder by generation: what each holds, "" for none, up to the first gap.
std::vector<std::string> Generations(const std::string& path) {
  std::vector<std::string> contents;
  for (unsigned g = 0;; ++g) {
    std::ifstream file(AuditLogGenerationName(path, g), std::ios::binary);
    if (!file) return contents;
    std::ostringstream text;
    text << file.rdbuf();
    contents.push_back(text.str());
  }
}

#ifndef _WIN32
// Runs body in a child process, as the user nobody when the tests run as root (root opens any
// file, mode 000 or not). True when body returned true there.
bool RunUnprivileged(const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(AuditLogFiles, RotationKeepsAGenerationThatCannotBeRead) {
  fs::permissions(folder_, fs::perms::all);
  Write(Path("audit.log"), "current");
  Write(Path("audit1.log"), "older");
  fs::permissions(Path("audit1.log"), fs::perms::none);
  EXPECT_TRUE(RunUnprivileged([&] { return AuditLogRotate(Path("audit.log"), 0); }));
  fs::permissions(Path("audit2.log"), fs::perms::owner_read);
  EXPECT_EQ(Generations(Path("audit.log")), (std::vector<std::string>{}));
  EXPECT_EQ(Read(Path("audit1.log")), "current");
  EXPECT_EQ(Read(Path("audit2.log")), "older");
}
#endif

TEST_F(AuditLogFiles, RotationKeepsAFileThatAppearsBeforeItsRename) {
  Write(Path("audit.log"), "current");
  Write(Path("audit1.log"), "older");
  int renames = 0;
  const bool freed = AuditLogRotate(Path("audit.log"), 0, 0, [&](const std::string& target) {
    // Another program takes the first target after it was found free.
    if (renames++ == 0) Write(target, "intruder");
  });
  EXPECT_TRUE(freed);
  EXPECT_FALSE(fs::exists(Path("audit.log")));
  EXPECT_EQ(Read(Path("audit1.log")), "current");
  EXPECT_EQ(Read(Path("audit2.log")), "older");
  EXPECT_EQ(Read(Path("audit3.log")), "intruder");
}

struct KeepCase {
  const char* name;
  unsigned keep;
  int before;                         // generations present: audit.log and audit1..N-1.log
  std::vector<std::string> after;     // audit1.log, audit2.log, ... afterwards
};
const KeepCase kKeep[] = {
    {"FewerThanKeep", 3, 2, {"0", "1"}},
    {"OldestBeyondKeepRemoved", 3, 6, {"0", "1", "2"}},
    {"KeepOne", 1, 4, {"0"}},
    {"NoneKeptMeansAll", 0, 4, {"0", "1", "2", "3"}},
};

TEST_F(AuditLogFiles, KeepBoundsTheGenerations) {
  for (const KeepCase& c : kKeep) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    for (int g = 0; g < c.before; ++g) Write(AuditLogGenerationName(Path("audit.log"), g), std::to_string(g));
    EXPECT_TRUE(AuditLogRotate(Path("audit.log"), 0, c.keep));
    std::vector<std::string> after = {""};
    after.insert(after.end(), c.after.begin(), c.after.end());
    std::vector<std::string> found = {""};
    for (unsigned g = 1; fs::exists(AuditLogGenerationName(Path("audit.log"), g)); ++g) {
      found.push_back(Read(AuditLogGenerationName(Path("audit.log"), g)));
    }
    EXPECT_FALSE(fs::exists(Path("audit.log")));
    EXPECT_EQ(found, after);
  }
}

// An entry that points into url, which must outlive it.
AuditEntry EntryFor(const std::string& url) {
  AuditEntry entry;
  entry.ruleName = "R";
  entry.clientAddress = "10.0.0.5";
  entry.url = url;
  entry.action = "log";
  return entry;
}

// The entry lines of a W3C log file (after any number of header and remark lines), each without
// its time field; a line without a timestamp or CR LF is returned whole, marked "BROKEN: ".
std::vector<std::string> EntriesOf(const std::string& text) {
  std::vector<std::string> entries;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    if (!line.empty() && line[0] == '#') continue;
    const std::size_t comma = line.find(", ");
    const bool whole = end <= text.size() - 2 && comma != std::string::npos &&
                       line.find(", R, ", comma + 1) == std::string::npos;
    entries.push_back(whole ? line.substr(comma + 2) : "BROKEN: " + line);
  }
  return entries;
}

TEST_F(AuditLogFiles, SizeRotationUnderThreadsLosesNoEntry) {
  AuditLogSettings settings;
  settings.path = Path("audit.log");
  settings.maxSize = 16 * 1024;
  AuditLog log;
  log.Start(settings);
  constexpr int kThreads = 8;
  constexpr int kEntries = 1000;
  auto urlOf = [](int t, int i) {
    std::string url = "/";
    url += std::to_string(t);
    url += "/";
    url += std::to_string(i);
    url += "/";
    url.append(static_cast<std::size_t>(i % 200), 'x');
    return url;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEntries; ++i) log.AppendEntry(EntryFor(urlOf(t, i)));
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> files = Generations(Path("audit.log"));
  EXPECT_GT(files.size(), 10u);
  std::multiset<std::string> entries;
  for (const std::string& text : files) {
    // Each file starts with its header and, but for its last entry, stays within the size.
    EXPECT_EQ(text.rfind("#Software: ", 0), 0u);
    EXPECT_LT(text.size(), settings.maxSize + 512);
    for (const std::string& entry : EntriesOf(text)) entries.insert(entry);
  }
  std::multiset<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEntries; ++i) {
      expected.insert("R, 10.0.0.5, " + urlOf(t, i));
    }
  }
  EXPECT_TRUE(entries == expected) << entries.size() << " entries, " << expected.size() << " hits";
  EXPECT_EQ(log.LostEntries(), 0u);
}

TEST_F(AuditLogFiles, KeepBoundsRotationWhileRunning) {
  AuditLogSettings settings;
  settings.path = Path("audit.log");
  settings.maxSize = 1024;
  settings.keep = 3;
  AuditLog log;
  log.Start(settings);
  for (int i = 0; i < 200; ++i) log.AppendEntry(EntryFor("/" + std::string(100, 'k')));
  EXPECT_EQ(Generations(Path("audit.log")).size(), 4u);
  EXPECT_FALSE(fs::exists(Path("audit4.log")));
}

TEST_F(AuditLogFiles, StartWithoutRotationAtLoadAppendsAHeader) {
  Write(Path("audit.log"), "earlier\r\n");
  AuditLogSettings settings;
  settings.path = Path("audit.log");
  settings.rotateAtLoad = false;
  AuditLog log;
  log.Start(settings);
  log.AppendEntry(EntryFor("/a"));
  const std::string text = Read(Path("audit.log"));
  EXPECT_EQ(text.rfind("earlier\r\n#Software: ", 0), 0u) << text;
  EXPECT_EQ(EntriesOf(text), (std::vector<std::string>{"BROKEN: earlier", "R, 10.0.0.5, /a"}));
  EXPECT_FALSE(fs::exists(Path("audit1.log")));
}

TEST_F(AuditLogFiles, DailyRotationStartsANewFileForANewDay) {
  // A file last written yesterday is rotated at load, even when loads do not rotate.
  Write(Path("audit.log"), "yesterday\r\n");
  const auto yesterday = fs::file_time_type::clock::now() - std::chrono::hours(30);
  fs::last_write_time(Path("audit.log"), yesterday);
  AuditLogSettings settings;
  settings.path = Path("audit.log");
  settings.rotateAtLoad = false;
  settings.rotateDaily = true;
  AuditLog log;
  log.Start(settings);
  EXPECT_EQ(Read(Path("audit1.log")), "yesterday\r\n");

  // While running: the day the open file belongs to is over before the next entry.
  log.AppendEntry(EntryFor("/today"));
  fs::last_write_time(Path("audit.log"), yesterday);
  ASSERT_TRUE(log.Reopen());
  log.AppendEntry(EntryFor("/tomorrow"));
  EXPECT_EQ(EntriesOf(Read(Path("audit1.log"))), (std::vector<std::string>{"R, 10.0.0.5, /today"}));
  EXPECT_EQ(EntriesOf(Read(Path("audit.log"))), (std::vector<std::string>{"R, 10.0.0.5, /tomorrow"}));
  EXPECT_EQ(Read(Path("audit2.log")), "yesterday\r\n");
}

TEST_F(AuditLogFiles, LostEntriesAreCountedAndNotedOnceTheFolderIsBack) {
  AuditLogSettings settings;
  settings.path = Path("logs/audit.log");
  AuditLog log;
  log.Start(settings);
  for (int i = 0; i < 3; ++i) log.AppendEntry(EntryFor("/lost"));
  EXPECT_EQ(log.LostEntries(), 3u);
  fs::create_directories(Path("logs"));
  log.AppendEntry(EntryFor("/kept"));
  log.AppendEntry(EntryFor("/next"));
  EXPECT_EQ(log.LostEntries(), 0u);
  const std::string text = Read(Path("logs/audit.log"));
  const std::size_t remark = text.find("#Remark: 3 entries lost (");
  ASSERT_NE(remark, std::string::npos) << text;
  EXPECT_EQ(text.find("#Remark", remark + 1), std::string::npos);
  EXPECT_EQ(EntriesOf(text), (std::vector<std::string>{"R, 10.0.0.5, /kept", "R, 10.0.0.5, /next"}));
  // The note comes right before the first entry that could be written.
  EXPECT_LT(remark, text.find("/kept"));
}

#ifndef _WIN32
// A write cut short by a full file system, at every place that matters: before the entry, in it,
// just before its line end. RLIMIT_FSIZE stands in for the full disk. Whatever reached the file
// whole is counted as written, everything else as lost, and the note says how many.
TEST_F(AuditLogFiles, WritesCutShortAreCountedExactly) {
  AuditLogSettings settings;
  settings.path = Path("audit.log");
  settings.format = AuditLogFormat::kJson;
  const std::string url = "/" + std::string(100, 'u');
  const AuditEntry entry = EntryFor(url);
  const std::size_t length = FormatJsonEntry(entry, platform::UtcTime{}).size();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedSignal = signal(SIGXFSZ, SIG_IGN);
  const std::size_t rooms[] = {0, 1, length - 2, length - 1, length, length + 1, 3 * length + 5};
  for (const std::size_t room : rooms) {
    SCOPED_TRACE(room);
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    AuditLog log;
    log.Start(settings);
    log.AppendEntry(entry);
    rlimit full = saved;
    full.rlim_cur = fs::file_size(Path("audit.log")) + room;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    for (int i = 0; i < 5; ++i) log.AppendEntry(entry);
    setrlimit(RLIMIT_FSIZE, &saved);
    log.AppendEntry(entry);

    std::istringstream text(Read(Path("audit.log")));
    std::uint64_t whole = 0;
    std::uint64_t lost = 0;
    int broken = 0;
    for (std::string line; std::getline(text, line);) {
      if (line.rfind("{\"time\":", 0) == 0 && line.find("\"lost\":") != std::string::npos) {
        lost += std::stoull(line.substr(line.find("\"lost\":") + 7));
      } else if (line.size() == length - 1 && line.back() == '}') {
        ++whole;
      } else {
        ++broken;
      }
    }
    EXPECT_EQ(whole + lost, 7u);
    EXPECT_LE(broken, 1);
    EXPECT_EQ(log.LostEntries(), 0u);
  }
  signal(SIGXFSZ, savedSignal);
}
#endif

#ifndef _WIN32
// (Wine keeps a deleted file while a handle holds it open and reports no pending deletion, so
// this runs on POSIX only.)
TEST_F(AuditLogFiles, DeletedLogIsStartedAgainAtThePath) {
  AuditLogSettings settings;
  settings.path = Path("audit.log");
  AuditLog log;
  log.Start(settings);
  log.AppendEntry(EntryFor("/1"));
  fs::remove(Path("audit.log"));
  // The next entry goes to a new file, with a header.
  log.AppendEntry(EntryFor("/2"));
  EXPECT_EQ(Read(Path("audit.log")).rfind("#Software: ", 0), 0u);
  EXPECT_EQ(EntriesOf(Read(Path("audit.log"))), std::vector<std::string>{"R, 10.0.0.5, /2"});
  EXPECT_EQ(log.LostEntries(), 0u);
}
#endif

TEST_F(AuditLogFiles, MovedLogIsStartedAgainAtThePath) {
  AuditLogSettings settings;
  settings.path = Path("audit.log");
  AuditLog log;
  log.Start(settings);
  log.AppendEntry(EntryFor("/1"));
  // Entries go on into the moved file until the writer looks again (within a second), then into
  // a new file at the path, with a header; none is lost.
  fs::rename(Path("audit.log"), Path("moved.log"));
  log.AppendEntry(EntryFor("/2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  log.AppendEntry(EntryFor("/3"));
  EXPECT_EQ(EntriesOf(Read(Path("moved.log"))),
            (std::vector<std::string>{"R, 10.0.0.5, /1", "R, 10.0.0.5, /2"}));
  EXPECT_EQ(Read(Path("audit.log")).rfind("#Software: ", 0), 0u);
  EXPECT_EQ(EntriesOf(Read(Path("audit.log"))), std::vector<std::string>{"R, 10.0.0.5, /3"});
  EXPECT_EQ(log.LostEntries(), 0u);
}

TEST_F(AuditLogFiles, WithoutStartNothingIsWritten) {
  AuditLog log;
  log.AppendEntry(EntryFor("/x"));
  EXPECT_TRUE(log.Reopen());
  AuditLogSettings settings;
  log.Start(settings);
  log.AppendEntry(EntryFor("/x"));
  EXPECT_TRUE(fs::is_empty(folder_));
  EXPECT_EQ(log.LostEntries(), 0u);
}

}  // namespace
}  // namespace vell
