// Scratch folders and files for unit tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/vastrel-unit-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  std::string file(const std::string& name, const std::string& content) const {
    std::string p = path + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
