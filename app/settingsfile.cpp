// The window's settings file: LoadConfig and SaveConfig.
#include <filesystem>
#include <system_error>

#include "serivox.h"

void TSerivox::LoadConfig() {}

void TSerivox::SaveConfig() {}

std::string TSerivox::ConfigPath() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::string();
  path.replace_extension(".ini");
  return path.string();
}
