// A call context without an operation object: the services a call needs, owned here, with
// a log that records its lines (in UTF-8). Subsystem tests drive stores, searches and
// failure reports through it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "certs/valid_certs_cache.h"
#include "certs/instance_context.h"
#include "stores/sst_accessor.h"
#include "text/text.h"
#include "support/log.h"

namespace test_common {

class RecordingLog : public CallLog {
 public:
  void WriteLine(const std::string& text, bool extended) noexcept override {
    if (!extended || extended_) lines.push_back(text::Cp1251ToUtf8(text));
  }
  CLogAccessor& traceLog() override { return trace_; }
  void set_extended(bool on) { extended_ = on; }
  std::vector<std::string> lines;

 private:
  CLogAccessor trace_{false};  // trace lines go nowhere
  bool extended_ = false;
};

class StandaloneCall {
 public:
  // The store file is looked for in workDir; without a directory, nowhere.
  explicit StandaloneCall(const std::string& workDir = std::string()) : work_dir_(workDir) {
    if (!workDir.empty()) store_file.Init(workDir.c_str(), true);
    SetDefaultOptions(options);
  }
  InstanceContext Make(VexorCallBack* callback = nullptr) {
    CallServices s;
    s.log = &log;
    s.callback = callback;
    s.tempFiles = &temp_files;
    SharedState shared;
    shared.validCerts = &valid_certs;
    shared.storeFile = work_dir_.empty() ? nullptr : &store_file;
    return InstanceContext(s, shared, work_dir_, options);
  }

  RecordingLog log;
  OptionBlock options;
  std::recursive_mutex lock;
  TempFileRegistry temp_files{lock};
  ValidCertsCache valid_certs;
  SSTAccessor store_file;

 private:
  std::string work_dir_;
};

}  // namespace test_common
