// The diagnostic log over POCO: configuration from "settings.xml", the channel chain, writers.
#include "support/log.h"

#include <Poco/AutoPtr.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/PatternFormatter.h>
#include <Poco/String.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>

#include "support/files.h"
#include "support/log_file_channel.h"
#include "support/text.h"

namespace fs = std::filesystem;

namespace {

// Guards the has-or-create step of the process-wide POCO logger and the registry below, so
// two objects created at once configure the chain only once and the file is closed only after
// the last of them is gone.
std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}

// What this library knows of each POCO logger it configured, by name.
struct ConfiguredLogger {
  int live = 0;              // objects writing through it now
  bool local_times = false;  // its formatter prints times as given; the writer hands local ones
  bool own_channel = false;  // its chain ends in this library's AppendFileChannel
};

// POCO keeps loggers until the process ends, but this library's code may be unloaded before
// that (a host's dlclose). When the registry goes (at unload or exit, before POCO's own
// clean-up) it destroys the loggers whose channel is this library's, while the code that
// destroys them is still there; loaded again, the library configures its logger afresh.
class LoggerRegistry {
 public:
  ~LoggerRegistry() {
    for (const auto& [name, logger] : loggers_) {
      if (!logger.own_channel) continue;
      try {
        Poco::Logger::destroy(name);
      } catch (...) {
      }
    }
  }
  ConfiguredLogger& operator[](const std::string& name) { return loggers_[name]; }

 private:
  std::map<std::string, ConfiguredLogger> loggers_;
};

// Made on first use, under RegistryMutex(), so destroyed before it.
LoggerRegistry& Configured() {
  static LoggerRegistry registry;
  return registry;
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The user's home folder: $HOME, else the password database's; empty when unknown.
std::string UserHome() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] == '/')
    return pw->pw_dir;
  return {};
}

// "<$variable>/vexor" when the variable holds an absolute path, else "<home>/<fallback>/vexor";
// empty without either.
std::string XdgFolder(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/')
    return WithoutTrailingSlash(value) + "/vexor";
  const std::string home = UserHome();
  return home.empty() ? std::string() : WithoutTrailingSlash(home) + "/" + fallback + "/vexor";
}

// The first folder holding a settings.xml of: the user's configuration folder, the system's
// (/etc/vexor), the library's own; the library's when none does.
std::string SettingsFolder() {
  const std::string library = LibraryDirectory();
  for (const std::string& folder : {XdgFolder("XDG_CONFIG_HOME", ".config"), std::string("/etc/vexor"), library}) {
    std::error_code ec;
    if (!folder.empty() && fs::is_regular_file(folder + "/settings.xml", ec)) return folder;
  }
  return library;
}

// Creates every missing level of a folder owner-only (0700); levels that exist keep their
// mode. Throws when the folder cannot be had.
void MakeLogFolder(const std::string& folder) {
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return;
  const fs::path path(folder);
  fs::path level;
  for (const fs::path& part : path) {
    level /= part;
    if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
      throw fs::filesystem_error("cannot create the log folder", level, std::error_code(errno, std::generic_category()));
  }
  if (!fs::is_directory(folder, ec)) throw fs::filesystem_error("no log folder", path, ec);
}

}  // namespace

Logger::Logger(std::string base_file_name, std::string base_directory)
    : base_file_name_(std::move(base_file_name)),
      user_folders_(base_directory.empty()),
      base_directory_(std::move(base_directory)) {
  if (user_folders_) base_directory_ = SettingsFolder();
  if (base_directory_.empty()) {
    std::error_code ec;
    base_directory_ = fs::current_path(ec).string();
  }
  base_directory_ = WithoutTrailingSlash(base_directory_);
  log_directory_ = defaultLogDirectory();
  log_file_name_ = log_directory_.empty() ? std::string() : log_directory_ + "/" + base_file_name_;
}

Logger::~Logger() = default;

std::string Logger::loggerName() const { return fs::path(base_file_name_).stem().string(); }

std::string Logger::defaultLogDirectory() const {
  // A library never writes into its installation tree: by default the log is the user's.
  if (user_folders_) return XdgFolder("XDG_STATE_HOME", ".local/state");
  return MakeAbsolute("./log/" + loggerName());
}

std::string Logger::MakeAbsolute(const std::string& configured) const {
  std::string path = configured;
  // Settings written for Windows use backslashes.
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  fs::path p(path);
  if (path.empty() || path[0] == '.' || !p.is_absolute()) p = fs::path(base_directory_) / p;
  return WithoutTrailingSlash(p.lexically_normal().string());
}

void Logger::ReadConfiguration() {
  boost::property_tree::ptree tree;
  const std::string settings = base_directory_ + "/settings.xml";
  std::error_code ec;
  // Looked for first: the parser reports a missing file by throwing, and the process's first
  // exception sets up the unwinder (most processes have no settings file).
  if (fs::exists(settings, ec)) {
    try {
      boost::property_tree::read_xml(settings, tree);
    } catch (const boost::property_tree::ptree_error&) {
      tree.clear();  // not XML: every member keeps its default
    }
  }
  auto get = [&tree](const char* key, const std::string& def) {
    const auto value = tree.get_optional<std::string>(key);
    return value ? *value : def;
  };
  const auto directory = tree.get_optional<std::string>("LogConfig.logDirectory");
  log_directory_ = directory ? MakeAbsolute(TrimBlanks(*directory)) : defaultLogDirectory();
  const auto file_name = tree.get_optional<std::string>("LogConfig.logFileName");
  log_file_name_ = file_name                ? MakeAbsolute(TrimBlanks(*file_name))
                   : log_directory_.empty() ? std::string()
                                            : log_directory_ + "/" + base_file_name_;
  log_file_size_ = TrimBlanks(get("LogConfig.logFileSize", log_file_size_));
  log_file_count_ = TrimBlanks(get("LogConfig.logFileCount", log_file_count_));
  compress_ = TrimBlanks(get("LogConfig.compress", compress_));
  level_ = TrimBlanks(get("LogConfig.level", level_));
  pattern_ = get("LogConfig.pattern", pattern_);
}

void Logger::ConfigureChannels() {
  const std::string name = loggerName();
  std::lock_guard<std::mutex> guard(RegistryMutex());
  if (Poco::Logger* existing = Poco::Logger::has(name)) {
    // The first object of the process configured the chain; share it as it is.
    ConfiguredLogger& known = Configured()[name];
    logger_ = existing;
    local_times_given_ = known.local_times;
    ++known.live;
    return;
  }
  // Without a home there is no log folder and nothing is written.
  if (log_directory_.empty() || log_file_name_.empty() || log_file_name_[0] != '/')
    throw std::runtime_error("no log folder");
  MakeLogFolder(log_directory_);
  // The file may be configured outside the log directory; the channel cannot make its folder.
  const fs::path file_directory = fs::path(log_file_name_).parent_path();
  if (!file_directory.empty()) MakeLogFolder(file_directory.string());
  // An unknown level name fails here, before a logger exists that would keep it.
  const int level = Poco::Logger::parseLevel(level_);

  // Sizes in the usual forms go to the append channel, which lets threads write at once;
  // POCO's file channel takes any other rotation (times, intervals) and refuses what it
  // does not know.
  Poco::AutoPtr<Poco::Channel> file = AppendFileChannel::Create(log_file_name_, log_file_size_, log_file_count_,
                                                                Poco::icompare(compress_, "true") == 0)
                                          .cast<Poco::Channel>();
  const bool own_channel = !file.isNull();
  if (!own_channel) {
    // POCO's channel creates the file with the default mode: it is made owner-only first.
    if (const int fd = open(log_file_name_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600); fd >= 0) close(fd);
    Poco::AutoPtr<Poco::FileChannel> poco(new Poco::FileChannel);
    poco->setProperty(Poco::FileChannel::PROP_PATH, log_file_name_);
    poco->setProperty(Poco::FileChannel::PROP_ROTATION, log_file_size_);
    poco->setProperty(Poco::FileChannel::PROP_PURGECOUNT, log_file_count_);
    poco->setProperty(Poco::FileChannel::PROP_COMPRESS, compress_);
    poco->setProperty(Poco::FileChannel::PROP_ARCHIVE, "timestamp");
    poco->setProperty(Poco::FileChannel::PROP_FLUSH, "false");
    file = poco.cast<Poco::Channel>();
  }

  // POCO's local-time formatting asks the C library to re-read the time zone (a stat of
  // /etc/localtime under a process-wide lock) for every line; unless the pattern prints the
  // zone itself, the writer hands over local times and the formatter prints them as given.
  const bool give_local = pattern_.find("%z") == std::string::npos && pattern_.find("%Z") == std::string::npos &&
                          pattern_.find("%L") == std::string::npos;
  Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter);
  formatter->setProperty(Poco::PatternFormatter::PROP_TIMES, give_local ? "UTC" : "local");
  formatter->setProperty(Poco::PatternFormatter::PROP_PATTERN, pattern_);

  Poco::AutoPtr<Poco::FormattingChannel> channel(new Poco::FormattingChannel(formatter, file));
  ConfiguredLogger& known = Configured()[name];
  known.own_channel = own_channel;
  Poco::Logger& logger = Poco::Logger::create(name, channel, Poco::Message::PRIO_TRACE);
  logger.setLevel(level);
  logger_ = &logger;
  local_times_given_ = known.local_times = give_local;
  ++known.live;
}

void Logger::CloseChannel() noexcept {
  if (logger_ == nullptr) return;
  try {
    std::lock_guard<std::mutex> guard(RegistryMutex());
    // Only the last object of a name closes the file: nobody else can be writing then, and
    // the channel reopens the file by itself if a later object writes again.
    if (--Configured()[loggerName()].live <= 0) {
      if (auto channel = logger_->getChannel()) channel->close();
    }
  } catch (...) {
  }
  logger_ = nullptr;
}

namespace CryptoLog {

DiagnosticLogger::DiagnosticLogger() noexcept : Logger("Vexor.log") { Configure(); }

DiagnosticLogger::DiagnosticLogger(const std::string& base_directory) noexcept
    : Logger("Vexor.log", base_directory) {
  Configure();
}

DiagnosticLogger::~DiagnosticLogger() { CloseChannel(); }

void DiagnosticLogger::Configure() noexcept {
  try {
    ReadConfiguration();
    ConfigureChannels();
  } catch (...) {
    // The log must never fail its owner: without a logger nothing is written.
  }
}

bool DiagnosticLogger::IsActive() const noexcept {
  Poco::Logger* logger = pocoLogger();
  return logger != nullptr && logger->trace();
}

namespace {

// A fork's child counts one more generation, so that its threads read their ids anew.
std::atomic<unsigned> fork_generation{0};

struct LineIds {
  unsigned generation = ~0u;
  long pid = 0, tid = 0;
};

// The process and system thread ids a line shows, asked of the kernel once a thread rather
// than with two system calls a line.
const LineIds& CurrentLineIds() {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, [] { fork_generation.fetch_add(1); }); });
  thread_local LineIds ids;
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (ids.generation != generation) ids = {generation, static_cast<long>(getpid()), static_cast<long>(gettid())};
  return ids;
}

// A line's message is copied from this one: POCO's constructor asks the kernel for the
// process id every time.
const Poco::Message& MessagePrototype() {
  static const Poco::Message prototype;
  return prototype;
}

}  // namespace

void DiagnosticLogger::Write(const std::string& text) noexcept {
  try {
    Poco::Logger* logger = pocoLogger();
    if (logger == nullptr || !logger->trace()) return;
    Poco::Message message(MessagePrototype());
    message.setSource(logger->name());
    message.setText(text);
    message.setPriority(Poco::Message::PRIO_TRACE);
    message.setTime(Poco::Timestamp());
    // "%I" in the pattern is meant to show the system's thread id; POCO would put its own
    // thread number there (0 for threads it did not start).
    const LineIds& ids = CurrentLineIds();
    message.setPid(ids.pid);
    message.setTid(ids.tid);
    if (localTimesGiven()) {
      const Poco::Timestamp now = message.getTime();
      const std::time_t seconds = now.epochTime();
      std::tm local{};
      if (localtime_r(&seconds, &local) != nullptr)
        message.setTime(now + static_cast<Poco::Timestamp::TimeDiff>(local.tm_gmtoff) * Poco::Timestamp::resolution());
    }
    logger->log(message);
  } catch (...) {
  }
}

}  // namespace CryptoLog

CTraceScope::CTraceScope(CLogAccessor& log, std::string name) : log_(log), name_(std::move(name)) {
  log_.Write(name_ + ": entered");
}

CTraceScope::~CTraceScope() {
  try {
    log_.Write(name_ + ": leaved");
  } catch (...) {
  }
}
