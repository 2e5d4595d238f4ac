// What stands in the way of one capability of a run, said once: the run
// acts on it and logs its refusal, and "vastrel check" prints all of it.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

namespace util {

// How many files check names of those a run would send or delete, in the
// order it would.
constexpr size_t kFirstShown = 5;

// A value that may hold a password ("user:password@"): shown masked.
struct Url {
  const char* text;
};

// Where the password of a URL's "user:password@" part (or of a bare
// "user:password@host") stands: true with its offset in `start` and its
// length in `length`; false, both left, when it has none.
bool url_password(const char* url, size_t& start, size_t& length);

// A copy of the URL with any such password shown as "***".
std::string masked_url(const char* url);

// The text with each control character (0x01-0x1f, 0x7f) shown as a
// backslash and three octal digits ("\012" for a newline); "\ooo" is only
// ever made of a control character. A backslash stays as it is, and so
// do bytes from 0x80 up (UTF-8 names print as they are).
std::string escaped(const char* text);

// The text of a printf format, whole, whatever its length; "" when it
// cannot be formatted.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

class Findings {
 public:
  enum class Kind {
    kNote,     // what check tells of the plan
    kWarning,  // a likely mistake that does not stop a run
    kProblem,  // stands in the way although the run goes on (a missing tool)
    kRefusal,  // the run logs it at LOG_ERR and skips the capability
  };
  struct Finding {
    Kind kind;
    std::string shown;   // for check: secrets kept out where values went in
    std::string logged;  // a refusal's line in the run's log
  };

  // A run's findings keep refusals only; check's (`all`) keep every
  // finding. Verdicts add to either alike.
  explicit Findings(bool all) : all_(all) {}

  // Each adds one finding from a printf format and its values (numbers,
  // texts, Url): a refusal keeps the log's text, values as they are, and
  // for check the shown text, with every Url masked; the others only the
  // shown text, and only in check's findings. None of them logs.
  template <typename... Args>
  void refuse(const char* format, const Args&... args) {
    Finding finding{Kind::kRefusal, {}, format_with(format, raw(args)...)};
    if (all_) finding.shown = format_with(format, shown(args)...);
    items_.push_back(std::move(finding));
  }
  template <typename... Args>
  void problem(const char* format, const Args&... args) {
    add(Kind::kProblem, format, args...);
  }
  template <typename... Args>
  void warn(const char* format, const Args&... args) {
    add(Kind::kWarning, format, args...);
  }
  template <typename... Args>
  void note(const char* format, const Args&... args) {
    add(Kind::kNote, format, args...);
  }

  // True when the run refuses this capability. Changes nothing.
  bool refused() const;
  // Logs the first refusal at LOG_ERR, as the run tells it; true when
  // there was one. Only the first: one cause is enough to skip the work.
  bool log_refusal() const;
  // How many problems and refusals: what stands in the way of a run.
  unsigned blocking() const;
  const std::vector<Finding>& items() const { return items_; }

 private:
  template <typename... Args>
  void add(Kind kind, const char* format, const Args&... args) {
    if (all_) items_.push_back(Finding{kind, format_with(format, shown(args)...), {}});
  }

  // Each value as the log gets it, and as check shows it: a text there
  // cannot move the cursor or end a line of the report.
  static const char* raw(const Url& url) { return url.text; }
  static std::string shown(const Url& url) { return escaped(masked_url(url.text).c_str()); }
  static std::string shown(const std::string& text) { return escaped(text.c_str()); }
  template <typename T>
  static const T& raw(const T& value) {
    return value;
  }
  template <typename T>
  static auto shown(const T& value) {
    if constexpr (std::is_arithmetic_v<T>) {
      return value;
    } else {
      return escaped(value);
    }
  }
  // What a printf conversion takes of each value.
  static const char* arg(const std::string& text) { return text.c_str(); }
  template <typename T>
  static const T& arg(const T& value) {
    static_assert(std::is_arithmetic_v<T> || std::is_convertible_v<const T&, const char*>,
                  "a finding takes numbers, texts and Url values");
    return value;
  }
  template <typename... Args>
  static std::string format_with(const char* format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
      return format;
    } else {
      return printed(format, arg(args)...);
    }
  }
  static std::string printed(const char* format, ...);

  bool all_;
  std::vector<Finding> items_;
};

}  // namespace util
