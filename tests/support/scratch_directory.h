#pragma once
// Runs a test in an empty folder of its own, so that the files the program
// writes to its working directory (config.ini, the debug logs) never meet
// another test's. The previous working directory comes back and the folder
// goes when the object does.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

class ScratchDirectory {
 public:
  ScratchDirectory()
      : previous_(std::filesystem::current_path()),
        path_(std::filesystem::temp_directory_path() / UniqueName()) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    std::filesystem::current_path(path_);
  }
  ~ScratchDirectory() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

 private:
  static std::string UniqueName() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("velkin-") + test->test_suite_name() + "-" + test->name() + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    for (char& c : name)
      if (c == '/') c = '_';
    return name;
  }

  std::filesystem::path previous_, path_;
};
