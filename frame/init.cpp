// Init and the working-directory rule.
#include "frame/vexor_impl.h"

#include <mutex>

#include "call/result_codes.h"
#include "certs/import.h"
#include "frame/settings.h"
#include "messages/formats.h"
#include "support/files.h"

namespace {

// Trailing separators go; the root itself stays.
std::string StripTrailingSeparators(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}

}  // namespace

std::string IVexorImpl::EstablishWorkDir(const std::string& candidate) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (VexorCallBack* cb = callback()) {
    const std::string answer = StripTrailingSeparators(cb->OnGetWorkDir());
    if (!answer.empty()) {
      work_dir_.Set(answer);
      return work_dir_.Get();
    }
  }
  if (work_dir_.IsEmpty()) {
    const std::string path = StripTrailingSeparators(candidate);
    if (!path.empty()) work_dir_.Set(path);
  }
  return work_dir_.Get();
}

int32_t IVexorImpl::Init(const char* workDir, VexorCallBack* cb, uint32_t location) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  Log("Vexor.dll версия %d.%d.%d.%d", VEXOR_VERSION_MAJOR, VEXOR_VERSION_MINOR, VEXOR_VERSION_PATCH,
      VEXOR_VERSION_TWEAK);

  callback_.store(cb);
  store_location_.store(location);

  const std::string path = workDir != nullptr ? workDir : "";
  const std::string dir = EstablishWorkDir(path);

  bool family = false;
  ReadSettings(dir, options_, family);
  family_.store(family);
  // Signers found under the settings, location and home before this one are looked for anew.
  signers_.Clear();

  const std::string store_dir = EstablishWorkDir(std::string());
  sst_.Init(store_dir.c_str(), true);
  // Temporary content files of calls that a kill interrupted, looked for by the first object
  // of a process: the folder may hold thousands of other names, and what a later kill leaves
  // the next process sweeps.
  static std::once_flag swept;
  std::call_once(swept, [] {
    TempFileRegistry::SweepLeftovers();
    SweepMessageLeftovers();
  });

  if (!options_.OffLogFile) {
    if (options_.UsingCustomOptions)
      Log("Настройки будут считаны из файла Vexor.ini.");
    else
      Log("Будут использоваться настройки по умолчанию, потому что значение ключа UsingCustomOptions в файле "
          "\"Vexor.ini\" равно \"0\".");
  }

  std::string resolved;
  if (!ResolvePath(path, resolved) || !DirectoryExists(resolved)) {
    Log("Путь не существует или не доступен \"%s\"!", path.c_str());
    return RC_FILE_OPEN_READ;
  }

  {
    // Drop-in store files of the working directory join the store file.
    InstanceContext ctx = NewCall();
    UpdateCertStore(ctx);
  }

  if (cb != nullptr) return cb->OnInit(0);
  return RC_OK;
}
