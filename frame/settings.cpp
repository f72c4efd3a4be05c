// The settings reader: the app.info family rule first, then Vexor.ini when the file itself
// switches custom settings on.
#include "frame/settings.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <strings.h>

#include "frame/profile_string.h"
#include "frame/settings_file.h"
#include "support/text.h"

namespace {

// Serialises settings reads of every operation object in the process.
std::recursive_mutex g_settings_lock;

constexpr size_t kProfileBuffer = 1024;

// The leading decimal integer of a text, 0 when it does not start with one.
int32_t LeadingInt(const std::string& text) { return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10)); }

}  // namespace

void ReadSettings(const std::string& workDir, OptionBlock& o, bool& family) {
  std::lock_guard<std::recursive_mutex> lock(g_settings_lock);
  SetDefaultOptions(o);
  family = false;

  const std::string app_name =
      GetProfileString(workDir + "/app.info", "Application", "Name", "", kProfileBuffer);
  if (LowerAscii(app_name).find("moravel") != std::string::npos) {
    family = true;
    o.UsingCustomOptions = 0;
    o.SkipCheckCRL = 0;
    o.SkipUpdateCRL = 0;
    o.NoErrorCheckChain = 1;
  }

  const std::string ini_path = workDir + "/Vexor.ini";
  // Visited in ascending byte order of the keys, as the registry is a sorted map.
  const std::map<std::string, int32_t*> keys = {
      {"SkipUpdateCRL", &o.SkipUpdateCRL},       {"SkipCheckCertValid", &o.SkipCheckCertValid},
      {"SkipUpdateCRLInInit", &o.SkipUpdateCRLInInit}, {"SkipCheckCRL", &o.SkipCheckCRL},
      {"OffLogFile", &o.OffLogFile},             {"SkipCheckTimeRemains", &o.SkipCheckTimeRemains},
      {"NoErrorCheckChain", &o.NoErrorCheckChain}, {"ShowUICSP", &o.ShowUICSP},
      {"LogExtended", &o.LogExtended},           {"UseSST", &o.UseSST},
      {"CRLDownloadTimeout", &o.CRLDownloadTimeout},
  };

  const std::string custom = GetProfileString(ini_path, "Settings", "UsingCustomOptions", "", kProfileBuffer);
  o.UsingCustomOptions = !custom.empty() && strcasecmp(custom.c_str(), "false") != 0 && LeadingInt(custom) != 0;
  if (!o.UsingCustomOptions) return;

  CSettingsFile file;
  if (!file.Load(ini_path, 1)) return;
  for (const auto& [key, word] : keys)
    *word = LeadingInt(file.GetValue("Settings", key, std::to_string(*word)));
}
