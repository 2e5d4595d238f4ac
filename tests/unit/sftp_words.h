// The words of one sftp batch line as the client splits them: blanks part
// words, double quotes group them, and a backslash takes the next character
// as it is. Enough of the client's rules to read back every queue line.
#pragma once

#include <string>
#include <vector>

inline bool sftp_words(const std::string& line, std::vector<std::string>& words) {
  words.clear();
  size_t k = 0;
  while (k < line.size()) {
    if (line[k] == ' ') {
      ++k;
      continue;
    }
    std::string word;
    bool quoted = false;
    for (; k < line.size() && (quoted || line[k] != ' '); ++k) {
      if (line[k] == '"') {
        quoted = !quoted;
      } else if (line[k] == '\\') {
        if (++k == line.size()) return false;
        word += line[k];
      } else {
        word += line[k];
      }
    }
    if (quoted) return false;
    words.push_back(word);
  }
  return true;
}
