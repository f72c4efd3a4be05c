// Inputs and outputs of the tool's commands: a file name, or "-" / nothing for the standard
// streams; large inputs show a progress bar with rate and time left on standard error when it
// is a terminal (SetQuiet turns it off).
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

// No progress bars (--quiet).
void SetQuiet(bool quiet);

// Shows how far a long read has come on standard error, when it is a terminal and the tool
// is not quiet: a bar, the rate and the time left for a known total, the bytes and the rate
// otherwise. Redrawn at most a few times a second; the final line stays.
class ProgressMeter {
 public:
  // total 0: not known.
  ProgressMeter(std::string label, uint64_t total);
  ~ProgressMeter();
  void Update(uint64_t position);
  static bool Wanted();

 private:
  void Draw(bool final);

  std::string label_;
  uint64_t total_;
  uint64_t position_ = 0;
  int64_t start_ms_;
  int64_t drawn_ms_ = -1;
};

// A read buffer over a file descriptor (owned, closed with the buffer) that does not take a
// failed read for the end of the file: it keeps the error and throws, so the stream reading
// goes bad instead of ending early, and the command can tell (Input::readError). Large reads
// go straight into the caller's memory; seeks go to the descriptor. It can report how far the
// reading has come (ShowProgress).
class FdReadBuf : public std::streambuf {
 public:
  explicit FdReadBuf(int fd);
  ~FdReadBuf() override;
  FdReadBuf(const FdReadBuf&) = delete;
  FdReadBuf& operator=(const FdReadBuf&) = delete;
  int error() const { return error_; }  // errno of the first failed read, 0 while none failed
  // From now on every read moves a progress meter towards the descriptor's offset `total`.
  void ShowProgress(uint64_t total, std::string label);

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char_type* s, std::streamsize n) override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  size_t Read(char* to, size_t n);  // 0 at the end; throws when the read fails

  int fd_;
  std::vector<char> buffer_;
  int error_ = 0;
  uint64_t position_ = 0;  // the descriptor's offset (at egptr())
  std::unique_ptr<ProgressMeter> meter_;
};

// A write buffer over a file descriptor whose writes happen on a thread of its own: the
// caller fills one buffer while the other is written, so a large output costs the caller a
// memory copy instead of the kernel's page-cache copy, and the two run on two cores. The
// thread starts when the first buffer is full: an output that fits one buffer is written by
// the caller at the flush, and only the pages written to are touched. A failed write fails
// the next overflow and sync (so the stream's flush); the destructor writes what is left and
// closes the descriptor.
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
  char* Buffer(int i) { return buffers_[i].get(); }

  int fd_;
  std::unique_ptr<char[]> buffers_[2];  // left uninitialised: a page costs only once written
  int current_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* queued_ = nullptr;  // the buffer being written, while not null
  size_t queued_size_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
  std::thread writer_;
};

// An input the library may seek in. A path "" or "-" reads standard input: a file there is
// read as it is; a pipe or terminal is first copied to an unnamed file of the temporary
// folder (owner-only; where unnamed files are not available, a claimed one that is unlinked
// at once), block by block, so any size goes through in bounded memory.
class Input {
 public:
  // What the input may be besides its bytes as they are.
  enum class Kind {
    kAsIs,
    kMessage,  // a CMS message: PEM as openssl writes it (CMS, PKCS7) is decoded to DER
  };
  explicit Input(const std::string& path, const std::string& label = "reading", Kind kind = Kind::kAsIs);
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  bool ok() const { return ok_; }
  // Why the input cannot be read ("No such file or directory", "not a PEM message", ...).
  const std::string& error() const { return error_; }
  std::istream& stream() { return *stream_; }
  // Up to n bytes from the start of the (decoded) input, read aside: the stream's position
  // stays where it is.
  std::string Head(size_t n) const;
  // A name others can open the input by (/proc/self/fd/N), for a call that takes a path.
  std::string openableName() const { return "/proc/self/fd/" + std::to_string(fd_); }
  // Why a read of the input failed under the library ("Input/output error"); empty if none did.
  std::string readError() const;

 private:
  bool Spool(int from);
  bool DecodePem();

  int fd_ = -1;  // owned by file_ once it is made
  std::unique_ptr<FdReadBuf> file_;
  std::unique_ptr<std::istream> wrapped_;
  std::istream* stream_ = nullptr;
  bool ok_ = true;
  std::string error_;
};

// The message of the one PEM label the tool writes for CMS ("CMS", as openssl cms does).
extern const char kPemMessageLabel[];

// A write buffer that encodes what it is given as PEM into another stream: the BEGIN line,
// 64 characters of Base64 a line (48 bytes), and, from Finish(), the rest and the END line.
class PemWriteBuf : public std::streambuf {
 public:
  PemWriteBuf(std::ostream& to, const char* label);
  // Encodes what is left and writes the END line; false when the stream failed.
  bool Finish();

 protected:
  int_type overflow(int_type c) override;

 private:
  // Writes the whole lines the buffer holds (every byte when final) and keeps the rest.
  void Encode(bool final);

  std::ostream& to_;
  std::string label_;
  std::vector<char> buffer_;
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
  std::ostream& stream() { return pem_stream_ ? *pem_stream_ : *stream_; }
  // From now on what is written is encoded as PEM with the label (64 characters a line),
  // ended by commit().
  void WritePem(const char* label);
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
  std::unique_ptr<PemWriteBuf> pem_;
  std::unique_ptr<std::ostream> pem_stream_;
  bool ok_ = true;
};

// Whole-file helpers. A path "-" is the standard stream.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
