// A scratch directory for the frame tests, removed with its contents at scope end.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

class ScratchDir {
 public:
  ScratchDir() {
    std::string t = (std::filesystem::temp_directory_path() / "vexor-frame-XXXXXX").string();
    path = mkdtemp(t.data());
  }
  ~ScratchDir() { std::filesystem::remove_all(path); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(std::filesystem::path(path) / name, std::ios::binary) << text;
  }
  std::string path;
};
