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
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "support/files.h"
#include "support/log_file_channel.h"
#include "support/text.h"

namespace fs = std::filesystem;

namespace {

// Guards the has-or-create step of the process-wide POCO logger and the count of live
// loggers per name, so two objects created at once configure the chain only once and the
// file is closed only after the last of them is gone.
std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}

std::map<std::string, int>& LiveLoggers() {
  static std::map<std::string, int> live;
  return live;
}

// Names whose formatter prints times as given, to which the writer hands local times.
std::map<std::string, bool>& LocalTimesGiven() {
  static std::map<std::string, bool> given;
  return given;
}

// The loggers whose chain ends in this library's own channel class. POCO keeps loggers until
// the process ends, but this library's code may be unloaded before that (a host's dlclose);
// when this object goes (at unload or exit, before POCO's own clean-up) it destroys those
// loggers while the code that destroys their channels is still there. Loaded again, the
// library configures its logger afresh.
class OwnChannels {
 public:
  ~OwnChannels() {
    for (const std::string& name : names_) {
      try {
        Poco::Logger::destroy(name);
      } catch (...) {
      }
    }
  }
  void Add(const std::string& name) { names_.push_back(name); }

 private:
  std::vector<std::string> names_;
};

OwnChannels& OwnChannelsOfThisLibrary() {
  static OwnChannels own;
  return own;
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

Logger::Logger(std::string base_file_name, std::string base_directory)
    : base_file_name_(std::move(base_file_name)), base_directory_(std::move(base_directory)) {
  if (base_directory_.empty()) base_directory_ = LibraryDirectory();
  if (base_directory_.empty()) {
    std::error_code ec;
    base_directory_ = fs::current_path(ec).string();
  }
  base_directory_ = WithoutTrailingSlash(base_directory_);
  log_directory_ = defaultLogDirectory();
  log_file_name_ = log_directory_ + "/" + base_file_name_;
}

Logger::~Logger() = default;

std::string Logger::loggerName() const { return fs::path(base_file_name_).stem().string(); }

std::string Logger::defaultLogDirectory() const { return MakeAbsolute("./log/" + loggerName()); }

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
  try {
    boost::property_tree::read_xml(base_directory_ + "/settings.xml", tree);
  } catch (const boost::property_tree::ptree_error&) {
    tree.clear();  // no file or not XML: every member keeps its default
  }
  auto get = [&tree](const char* key, const std::string& def) {
    const auto value = tree.get_optional<std::string>(key);
    return value ? *value : def;
  };
  const auto directory = tree.get_optional<std::string>("LogConfig.logDirectory");
  log_directory_ = directory ? MakeAbsolute(TrimBlanks(*directory)) : defaultLogDirectory();
  const auto file_name = tree.get_optional<std::string>("LogConfig.logFileName");
  log_file_name_ =
      file_name ? MakeAbsolute(TrimBlanks(*file_name)) : log_directory_ + "/" + base_file_name_;
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
    logger_ = existing;
    local_times_given_ = LocalTimesGiven()[name];
    ++LiveLoggers()[name];
    return;
  }
  fs::create_directories(log_directory_);
  // The file may be configured outside the log directory; the channel cannot make its folder.
  const fs::path file_directory = fs::path(log_file_name_).parent_path();
  if (!file_directory.empty()) fs::create_directories(file_directory);
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
  if (own_channel) OwnChannelsOfThisLibrary().Add(name);
  Poco::Logger& logger = Poco::Logger::create(name, channel, Poco::Message::PRIO_TRACE);
  logger.setLevel(level);
  logger_ = &logger;
  local_times_given_ = LocalTimesGiven()[name] = give_local;
  ++LiveLoggers()[name];
}

void Logger::CloseChannel() noexcept {
  if (logger_ == nullptr) return;
  try {
    std::lock_guard<std::mutex> guard(RegistryMutex());
    const std::string name = loggerName();
    auto& live = LiveLoggers();
    // Only the last object of a name closes the file: nobody else can be writing then, and
    // the channel reopens the file by itself if a later object writes again.
    if (--live[name] <= 0) {
      live.erase(name);
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

void DiagnosticLogger::Write(const std::string& text) noexcept {
  try {
    Poco::Logger* logger = pocoLogger();
    if (logger == nullptr || !logger->trace()) return;
    // "%I" in the pattern is meant to show the system's thread id; POCO would put its own
    // thread number there (0 for threads it did not start).
    Poco::Message message(logger->name(), text, Poco::Message::PRIO_TRACE);
    message.setTid(static_cast<long>(gettid()));
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

void CLogAccessor::Write(const std::string& text) noexcept {
  if (!enabled_) return;
  // Without the accessor's lock: the logger is fixed once constructed and the file channel
  // writes each line whole by itself, so the lock would only make the object's threads wait
  // for each other's formatting and file writes.
  value().Write(text);
}

CTraceScope::CTraceScope(CLogAccessor& log, std::string name) : log_(log), name_(std::move(name)) {
  log_.Write(name_ + ": entered");
}

CTraceScope::~CTraceScope() {
  try {
    log_.Write(name_ + ": leaved");
  } catch (...) {
  }
}
