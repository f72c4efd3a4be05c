// The diagnostic log: a thin layer over a POCO logger (formatting channel over a rotating file
// channel), configured from "settings.xml". Lines are bytes (Windows-1251) written unchanged.
// A library never writes into its installation tree: unless settings.xml says otherwise the log
// is the user's, $XDG_STATE_HOME/vexor (else ~/.local/state/vexor), and settings.xml is looked
// for in $XDG_CONFIG_HOME/vexor (else ~/.config/vexor), then /etc/vexor, then beside the
// library. Log files are owner-only (0600), folders the log creates too (0700).
#pragma once

#include <string>

namespace Poco {
class Logger;
}

// The configuration and channel set-up shared by the library's loggers. The POCO logger is
// process-wide and named after the base file name's stem: the first object of a process
// configures it, later ones with the same name reuse it as it is.
class Logger {
 public:
  // base_file_name: for example "Vexor.log"; its stem names the POCO logger.
  // base_directory: where "settings.xml" is read and relative paths start, the default log
  // folder being its log/<logger name>; empty means the user's folders (above), relative
  // paths starting where settings.xml was found (the library's folder when nowhere).
  explicit Logger(std::string base_file_name, std::string base_directory = std::string());
  virtual ~Logger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  virtual std::string pattern() const { return pattern_; }
  // The stem of the base file name: no directory, no extension.
  virtual std::string loggerName() const;
  virtual std::string logFileCount() const { return log_file_count_; }
  virtual std::string logFileSize() const { return log_file_size_; }
  virtual std::string logFileName() const { return log_file_name_; }
  virtual std::string logDirectory() const { return log_directory_; }
  virtual std::string compress() const { return compress_; }
  virtual std::string level() const { return level_; }
  // The user's state folder, or "log/" + logger name under an explicit base directory; empty
  // when there is no home to find the state folder in.
  virtual std::string defaultLogDirectory() const;
  virtual std::string baseFileName() const { return base_file_name_; }

  // The POCO logger once configuration succeeded, else null. Not owned.
  Poco::Logger* pocoLogger() const { return logger_; }
  // The directory "settings.xml" is read from and relative paths are taken against.
  const std::string& baseDirectory() const { return base_directory_; }

 protected:
  // Reads "settings.xml" from the base directory into the members; a missing or unreadable
  // file, or a missing key, leaves the default. Relative paths become absolute against the
  // base directory.
  void ReadConfiguration();
  // Builds (or reuses) the POCO logger and channel chain. Throws on failure (the log
  // directory cannot be made, a property is refused), leaving no logger in use.
  void ConfigureChannels();
  // Flushes and closes the file; the channel reopens it at the next line.
  void CloseChannel() noexcept;
  // Whether lines must carry local times (the formatter prints times as given).
  bool localTimesGiven() const { return local_times_given_; }

 private:
  // Makes a configured path absolute against the base directory.
  std::string MakeAbsolute(const std::string& path) const;

  std::string log_directory_;
  std::string log_file_name_;
  std::string log_file_size_ = "100 M";
  std::string log_file_count_ = "100";
  std::string compress_ = "true";
  std::string level_ = "trace";
  std::string pattern_ = "[%Y-%m-%d %H:%M:%S.%F] [P:%P] [T:%I] [%p] %s: %t";
  std::string base_file_name_;
  bool user_folders_;  // no base directory given: the user's folders
  Poco::Logger* logger_ = nullptr;
  bool local_times_given_ = false;
  std::string base_directory_;
};

namespace CryptoLog {

// The library's log, "Vexor.log". Construction reads the configuration and sets up the
// channels but never throws: on any failure the object simply writes nothing.
class DiagnosticLogger : public Logger {
 public:
  DiagnosticLogger() noexcept;
  // Reads "settings.xml" from base_directory instead of the library's directory.
  explicit DiagnosticLogger(const std::string& base_directory) noexcept;
  // Closes the file so that everything written so far is on disk.
  ~DiagnosticLogger() override;

  // Writes one line at trace priority when a logger is in use and its level admits trace.
  // Never throws.
  void Write(const std::string& text) noexcept;
  // Whether Write would reach the file.
  bool IsActive() const noexcept;

 private:
  void Configure() noexcept;
};

}  // namespace CryptoLog

// The operation object's log. Its threads write at once: the logger is fixed once
// constructed and the file channel writes each line whole by itself.
class CLogAccessor {
 public:
  explicit CLogAccessor(bool enabled = true) : enabled_(enabled) {}
  // For tests and tools: the logger reads its settings from base_directory.
  CLogAccessor(const std::string& base_directory, bool enabled) : logger_(base_directory), enabled_(enabled) {}

  // Writes one line when enabled. Never throws.
  void Write(const std::string& text) noexcept {
    if (enabled_) logger_.Write(text);
  }
  bool enabled() const { return enabled_; }

 private:
  CryptoLog::DiagnosticLogger logger_;
  bool enabled_;
};

// Writes "<name>: entered" when created and "<name>: leaved" when destroyed.
class CTraceScope {
 public:
  CTraceScope(CLogAccessor& log, std::string name);
  ~CTraceScope();

  CTraceScope(const CTraceScope&) = delete;
  CTraceScope& operator=(const CTraceScope&) = delete;

 private:
  CLogAccessor& log_;
  std::string name_;
};
