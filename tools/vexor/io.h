// Inputs and outputs of the tool's commands: a file name, or "-" / nothing for the standard
// streams; large inputs show a progress bar on standard error when it is a terminal.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
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

// A write buffer over a file descriptor whose writes happen on a thread of its own: the
// caller fills one buffer while the other is written, so a large output costs the caller a
// memory copy instead of the kernel's page-cache copy, and the two run on two cores. A failed
// write fails the next overflow and sync (so the stream's flush); the destructor writes what
// is left and closes the descriptor.
class BackgroundWriteBuf : public std::streambuf {
 public:
  explicit BackgroundWriteBuf(int fd);
  ~BackgroundWriteBuf() override;
  BackgroundWriteBuf(const BackgroundWriteBuf&) = delete;
  BackgroundWriteBuf& operator=(const BackgroundWriteBuf&) = delete;

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  // Queues the filled buffer for the writer (waiting for the previous one to be written) and
  // continues in the other buffer. False once a write failed.
  bool Hand();
  // Waits until nothing is queued. False once a write failed.
  bool Drain();
  void Run();

  int fd_;
  std::vector<char> buffers_[2];
  int current_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* queued_ = nullptr;  // the buffer being written, while not null
  size_t queued_size_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
  std::thread writer_;
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
  // - any other path: an unnamed file in its folder (O_TMPFILE, owner-only), linked into
  //   place by commit(), so a failed, interrupted or killed command leaves nothing behind.
  //   Where the file system has no unnamed files: FILE.vexor-part.XXXXXX, owner-only and
  //   claimed (scratch/scratch.h), renamed into place by commit(); SIGINT and SIGTERM remove
  //   it, and what a killed run left is swept by the next output into the folder. A file
  //   replaced keeps its mode; a new one gets the usual mode (0666 less the umask).
  // With hold_standard_output, standard output too gets nothing before commit(): the output
  // waits in an unnamed file of the temporary folder.
  explicit Output(const std::string& path, bool hold_standard_output = false);
  // Output nobody wants: everything written is dropped.
  static Output Discard();
  ~Output();
  Output(Output&& other) noexcept;
  Output& operator=(Output&&) = delete;
  bool ok() const { return ok_; }
  std::ostream& stream() { return *stream_; }
  // Puts the output in place; false when it could not be written or placed. Without a
  // commit nothing reaches the named file.
  bool commit();

 private:
  Output() = default;
  bool OpenUnnamed(const std::string& dir);
  bool OpenNamed();
  bool OpenHeld();
  bool CopyHeld();
  bool LinkIntoPlace();

  std::string path_;
  std::string temp_path_;  // the named file being written, until committed
  int fd_ = -1;            // the file being written (owned by buffer_), while unnamed or named
  bool unnamed_ = false;
  bool held_ = false;      // standard output, held back until commit()
  mode_t mode_ = 0;        // the mode the placed file gets
  std::unique_ptr<std::streambuf> buffer_;  // of the file, or the discarding buffer
  std::unique_ptr<std::ostream> owned_;
  std::ostream* stream_ = &std::cout;
  bool ok_ = true;
};

// Whole-file helpers.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
