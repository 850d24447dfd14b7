#pragma once
// The application object shared by the GUI tests of one executable, and a
// working directory of their own for the settings file.

#include <gtest/gtest.h>

#include <QString>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "ScratchFolder.h"
#include "loader/windows/KestrelApplication.h"

namespace kestrel {

// The application lives from before the first test to after the last one;
// it must be gone before the libraries' own statics are torn down at exit.
class TApplicationEnvironment : public ::testing::Environment {
 public:
  static std::unique_ptr<TKestrelApplication>& Application() {
    static std::unique_ptr<TKestrelApplication> app;
    return app;
  }
  void SetUp() override {
    // No test may reach a real serial device: the ports the tests name
    // point nowhere unless a test maps one itself.
    ::setenv("KESTREL_COM1", "/nonexistent/kestrel-test-com1", 1);
    ::setenv("KESTREL_COM2", "/nonexistent/kestrel-test-com2", 1);
    ::setenv("KESTREL_COM3", "/nonexistent/kestrel-test-com3", 1);
    static int argc = 1;
    static char name[] = "kestrel-loader-test";
    static char* argv[] = {name, nullptr};
    Application() = std::make_unique<TKestrelApplication>(argc, argv);
  }
  void TearDown() override { Application().reset(); }
};

// gtest owns registered environments.
inline ::testing::Environment* const kApplicationEnvironment =
    ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment);

inline TKestrelApplication& test_application() {
  return *TApplicationEnvironment::Application();
}

// Makes a fresh folder the working directory, optionally holding a
// LoaderDefault.ini, and goes back on destruction.
class TScratchFolder {
 public:
  explicit TScratchFolder(const std::string* settings = nullptr)
      : FOld(std::filesystem::current_path()) {
    std::filesystem::current_path(FDir.Path());
    if (settings) test::WriteFile(FDir / "LoaderDefault.ini", *settings);
  }
  ~TScratchFolder() {
    std::error_code ec;
    std::filesystem::current_path(FOld, ec);
  }
  QString Path() const { return QString::fromStdString(FDir.Path().string()); }

 private:
  std::filesystem::path FOld;
  test::TScratch FDir;
};

}  // namespace kestrel
