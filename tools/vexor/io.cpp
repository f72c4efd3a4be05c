#include "tools/vexor/io.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {

constexpr uint64_t kProgressThreshold = 4ull << 20;  // inputs above 4 MiB show progress
constexpr size_t kBlock = 1 << 16;

}  // namespace

ProgressBuf::ProgressBuf(std::streambuf* source, uint64_t total, std::string label)
    : source_(source), total_(total), label_(std::move(label)), buffer_(kBlock) {
  setg(buffer_.data(), buffer_.data(), buffer_.data());
}

ProgressBuf::~ProgressBuf() {
  if (last_percent_ >= 0) Draw(true);
}

ProgressBuf::int_type ProgressBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const std::streamsize n = source_->sgetn(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  if (n <= 0) return traits_type::eof();
  position_ += static_cast<uint64_t>(n);
  setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
  Draw(false);
  return traits_type::to_int_type(*gptr());
}

ProgressBuf::pos_type ProgressBuf::seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) {
  if (dir == std::ios_base::cur) off -= static_cast<off_type>(egptr() - gptr());
  setg(buffer_.data(), buffer_.data(), buffer_.data());
  const pos_type pos = source_->pubseekoff(off, dir, which);
  if (pos != pos_type(off_type(-1))) position_ = static_cast<uint64_t>(off_type(pos));
  return pos;
}

ProgressBuf::pos_type ProgressBuf::seekpos(pos_type pos, std::ios_base::openmode which) {
  setg(buffer_.data(), buffer_.data(), buffer_.data());
  const pos_type result = source_->pubseekpos(pos, which);
  if (result != pos_type(off_type(-1))) position_ = static_cast<uint64_t>(off_type(result));
  return result;
}

void ProgressBuf::Draw(bool final) {
  const int percent = total_ == 0 ? 100 : static_cast<int>(std::min<uint64_t>(100, position_ * 100 / total_));
  if (percent == last_percent_ && !final) return;
  last_percent_ = percent;
  const int width = 40;
  const int filled = percent * width / 100;
  std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
               std::string(width - filled, ' ').c_str(), percent);
  if (final) std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

Input::Input(const std::string& path, const std::string& label) {
  if (path.empty() || path == "-") return;
  file_.open(path, std::ios::binary);
  if (!file_) {
    ok_ = false;
    return;
  }
  stream_ = &file_;
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > kProgressThreshold && isatty(STDERR_FILENO)) {
    progress_ = std::make_unique<ProgressBuf>(file_.rdbuf(), size, label);
    wrapped_ = std::make_unique<std::istream>(progress_.get());
    stream_ = wrapped_.get();
  }
}

Output::Output(const std::string& path) : path_(path) {
  if (path.empty() || path == "-") return;
  temp_path_ = path + ".part";
  file_.open(temp_path_, std::ios::binary | std::ios::trunc);
  ok_ = static_cast<bool>(file_);
  stream_ = &file_;
}

Output::~Output() {
  if (!temp_path_.empty()) {
    file_.close();
    std::error_code ec;
    std::filesystem::remove(temp_path_, ec);  // still here: commit() was never reached
  }
}

bool Output::commit() {
  if (temp_path_.empty()) {
    std::cout.flush();
    return static_cast<bool>(std::cout);
  }
  file_.close();
  if (!file_) return false;
  std::error_code ec;
  std::filesystem::rename(temp_path_, path_, ec);
  if (ec) return false;
  temp_path_.clear();
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  bytes = s.str();
  return !in.bad();
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  Output out(path);
  if (!out.ok()) return false;
  out.stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out.commit();
}
