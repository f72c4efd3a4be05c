// Inputs and outputs of the tool's commands: a file name, or "-" / nothing for the standard
// streams; large inputs show a progress bar on standard error when it is a terminal.
#pragma once

#include <fstream>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

// A read buffer over another one that reports progress. Seeks go through to the source, so
// a library that measures the stream by seeking sees the same stream.
class ProgressBuf : public std::streambuf {
 public:
  ProgressBuf(std::streambuf* source, uint64_t total, std::string label);
  ~ProgressBuf() override;

 protected:
  int_type underflow() override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  void Draw(bool final);

  std::streambuf* source_;
  uint64_t total_;
  std::string label_;
  std::vector<char> buffer_;
  uint64_t position_ = 0;  // source position at egptr()
  int last_percent_ = -1;
};

class Input {
 public:
  // path "" or "-" reads standard input.
  explicit Input(const std::string& path, const std::string& label = "reading");
  bool ok() const { return ok_; }
  std::istream& stream() { return *stream_; }

 private:
  std::ifstream file_;
  std::unique_ptr<ProgressBuf> progress_;
  std::unique_ptr<std::istream> wrapped_;
  std::istream* stream_ = &std::cin;
  bool ok_ = true;
};

class Output {
 public:
  // Where a command's output goes:
  // - "" or "-": standard output;
  // - an existing path that is not a regular file (a device such as /dev/null, a FIFO): that
  //   file, written directly;
  // - any other path: a new file beside it, created exclusively (never through a planted
  //   link), renamed into place by commit(), so a failed or interrupted command never leaves
  //   a half-written file behind. SIGINT and SIGTERM remove the unfinished file.
  explicit Output(const std::string& path);
  // Output nobody wants: everything written is dropped.
  static Output Discard();
  ~Output();
  Output(Output&& other) noexcept;
  Output& operator=(Output&&) = delete;
  bool ok() const { return ok_; }
  std::ostream& stream() { return *stream_; }
  bool commit();

 private:
  Output() = default;

  std::string path_;
  std::string temp_path_;
  std::unique_ptr<std::streambuf> buffer_;  // of the file, or the discarding buffer
  std::unique_ptr<std::ostream> owned_;
  std::ostream* stream_ = &std::cout;
  bool ok_ = true;
};

// Whole-file helpers.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
