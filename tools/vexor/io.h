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
  // path "" or "-" writes standard output. A file is written aside and renamed into place
  // by commit(), so a failed command never leaves a half-written file behind.
  explicit Output(const std::string& path);
  ~Output();
  bool ok() const { return ok_; }
  std::ostream& stream() { return *stream_; }
  bool commit();

 private:
  std::string path_;
  std::string temp_path_;
  std::ofstream file_;
  std::ostream* stream_ = &std::cout;
  bool ok_ = true;
};

// Whole-file helpers.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
