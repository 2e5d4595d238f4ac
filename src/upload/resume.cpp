// The resume records: one small file a file being sent, and the verdicts
// that decide from them whether a transfer may go on from where it stopped.
#include "upload/resume.h"

#include <dirent.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "upload/target.h"
#include "upload/upload.h"
#include "util/cmdline.h"
#include "util/descriptor.h"
#include "util/pin.h"

namespace upload {

namespace {

// What a record holds.
struct Record {
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  long long size = 0;
  long long sec = 0;
  long nsec = 0;
  char name[util::kPathSize] = "";
  char target[util::kCommandSize] = "";
};

// A record's file name: its temporary name hashed (FNV-1a), so that a
// transfer onto a temporary name replaces the record of whichever file
// wrote there before (a URL that sends every file to one name). Two names
// of one hash share a record, whose text then matches one of them only.
void record_name(char (&out)[20], const char* target) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char* p = target; *p != '\0'; ++p) {
    hash = (hash ^ static_cast<unsigned char>(*p)) * 0x100000001b3ULL;
  }
  snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
}

// The records' folder, made (mode 0700) when `make`; none when it cannot
// be opened (errno set).
util::Descriptor records_folder(bool make) {
  if (make && mkdir(kResumeFolder, 0700) != 0 && errno != EEXIST) return util::Descriptor();
  return util::Descriptor(open(kResumeFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Drops a line's end; false when there was none (the line did not fit).
bool line_end(char* text) {
  char* end = strchr(text, '\n');
  if (end == nullptr) return false;
  *end = '\0';
  return true;
}

// Reads the record `name` in the open folder `dir_fd`; false when there is
// none or it does not read whole.
bool read_record(int dir_fd, const char* name, Record& out) {
  util::Descriptor fd(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return false;
  FILE* file = fdopen(fd.get(), "r");
  if (file == nullptr) return false;
  fd.release();  // fclose closes it now
  char head[128];
  bool read = fgets(head, sizeof head, file) != nullptr &&
              sscanf(head, "%llu %llu %lld %lld %ld", &out.dev, &out.ino, &out.size, &out.sec,
                     &out.nsec) == 5 &&
              fgets(out.name, sizeof out.name, file) != nullptr && line_end(out.name) &&
              fgets(out.target, sizeof out.target, file) != nullptr && line_end(out.target);
  fclose(file);
  // A name in the scan folder itself, never a way out of it.
  return read && strchr(out.name, '/') == nullptr && strcmp(out.name, "..") != 0;
}

bool read_record(const char* name, Record& out) {
  util::Descriptor dir(records_folder(false));
  return dir.get() >= 0 && read_record(dir.get(), name, out);
}

// True when `st` is the very file the record names, unchanged.
bool same_file(const Record& record, const struct stat& st) {
  return S_ISREG(st.st_mode) && record.dev == static_cast<unsigned long long>(st.st_dev) &&
         record.ino == static_cast<unsigned long long>(st.st_ino) &&
         record.size == static_cast<long long>(st.st_size) &&
         record.sec == static_cast<long long>(st.st_mtim.tv_sec) &&
         record.nsec == static_cast<long>(st.st_mtim.tv_nsec);
}

// The record's text; false when it would not fit.
bool record_text(char (&out)[util::kCommandSize + util::kPathSize + 128], const struct stat& st,
                 const char* name, const char* target) {
  int length = snprintf(
      out, sizeof out, "%llu %llu %lld %lld %ld\n%s\n%s\n",
      static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
      static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
      static_cast<long>(st.st_mtim.tv_nsec), name, target);
  return length >= 0 && static_cast<size_t>(length) < sizeof out;
}

}  // namespace

bool resumes(const settings::ModuleSettings& cfg) {
  return cfg.resume != 0 && cfg.partial_suffix[0] != '\0' && can_rename(cfg.remote_url) &&
         transfer_mode(cfg) != Mode::kCurlBatch;
}

bool resume_target(char (&out)[util::kCommandSize], const settings::ModuleSettings& cfg,
                   const Place& place) {
  if (!uses_sftp(cfg.remote_url)) {
    return snprintf(out, sizeof out, "%s", place.url) < static_cast<int>(sizeof out);
  }
  // The sftp batch writes NAME+SUFFIX into its URL's folder, or the folder
  // the URL's fields make (absolute).
  util::CommandLine text = util::command_line(out, sizeof out);
  util::cmd_raw(text, cfg.remote_url);
  size_t length = strlen(cfg.remote_url);
  if (length == 0 || cfg.remote_url[length - 1] != '/') util::cmd_char(text, '/');
  util::cmd_raw(text, {place.folder, place.name, cfg.partial_suffix});
  return !text.overflow;
}

namespace {

// Writes `text` to a new file of the open folder `dir_fd`, then renames it
// to `name`: a reader never sees half a record. False (errno set) when it
// cannot; no temporary file is left.
bool replace_file(int dir_fd, const char* name, const char* text) {
  char temporary[32];
  util::Descriptor file(util::temporary_in(dir_fd, ".record.", temporary));
  if (file.get() < 0) return false;
  size_t length = strlen(text);
  bool written = write(file.get(), text, length) == static_cast<ssize_t>(length);
  if (!written && errno == 0) errno = EIO;
  if (file.close() && written && renameat(dir_fd, temporary, dir_fd, name) == 0) return true;
  int saved = errno;
  unlinkat(dir_fd, temporary, 0);
  errno = saved;
  return false;
}

}  // namespace

bool write_resume_record(int fd, const char* path, const char* target) {
  const char* base = name_of(path);
  // A name with a line end would not read back: such a file is not resumed.
  if (util::has_control(base)) return false;
  struct stat st;
  char text[util::kCommandSize + util::kPathSize + 128];
  char name[20];
  bool written = fstat(fd, &st) == 0;
  if (written && !record_text(text, st, base, target)) {
    errno = ENAMETOOLONG;
    written = false;
  }
  if (written) {
    record_name(name, target);
    util::Descriptor dir(records_folder(true));
    written = dir.get() >= 0 && replace_file(dir.get(), name, text);
  }
  if (!written) syslog(LOG_ERR, "Cannot write resume record for file %s(%m)", path);
  return written;
}

bool resume_record_matches(int fd, const char* target) {
  struct stat st;
  char name[20];
  Record record;
  if (fstat(fd, &st) != 0) return false;
  record_name(name, target);
  return read_record(name, record) && same_file(record, st) && strcmp(record.target, target) == 0;
}

bool resume_record_listed(const FileIdentity& listed, const char* target) {
  char name[20];
  Record record;
  record_name(name, target);
  if (!read_record(name, record)) return false;
  struct stat recorded = {};
  recorded.st_dev = static_cast<dev_t>(record.dev);
  recorded.st_ino = static_cast<ino_t>(record.ino);
  return identity_of(recorded).object == listed.object && record.size == listed.size &&
         record.sec == listed.mtime_sec && record.nsec == listed.mtime_nsec &&
         strcmp(record.target, target) == 0;
}

void drop_resume_record(const char* target) {
  char name[20];
  record_name(name, target);
  util::Descriptor dir(records_folder(false));
  if (dir.get() >= 0) unlinkat(dir.get(), name, 0);
}

int64_t resume_offset(int64_t held, int64_t size) { return held > 0 && held < size ? held : 0; }

void resume_done(Pass& pass, const char* target, Outcome outcome, int64_t offset) {
  if (outcome == Outcome::kShort) return;
  drop_resume_record(target);
  if (outcome == Outcome::kSent || outcome == Outcome::kSentStillNew) {
    pass.tally.bytes_resumed += offset;
  }
}

void log_resumed(const char* path, int64_t offset, int64_t size) {
  syslog(LOG_NOTICE, "File %s resumed at %lld of %lld bytes", path, static_cast<long long>(offset),
         static_cast<long long>(size));
}

namespace {

// Calls `each` with every entry of the folder, whether it reads as a
// record (a temporary file a crash left behind does not), and the status
// of its file in the open scan folder `scan_fd` (st_mode 0 when it is
// gone); stops where the folder cannot be read.
template <typename Each>
void for_each_record(int scan_fd, Each each) {
  util::Descriptor dir(records_folder(false));
  if (dir.get() < 0) return;
  int listed = dup(dir.get());
  DIR* stream = listed >= 0 ? fdopendir(listed) : nullptr;
  if (stream == nullptr) {
    if (listed >= 0) close(listed);
    return;
  }
  while (struct dirent* entry = readdir(stream)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    Record record;
    struct stat st = {};
    bool read = entry->d_name[0] != '.' && read_record(dir.get(), entry->d_name, record);
    if (read && fstatat(scan_fd, record.name, &st, AT_SYMLINK_NOFOLLOW) != 0) st.st_mode = 0;
    each(dir.get(), entry->d_name, read, record, st);
  }
  closedir(stream);
}

}  // namespace

void prune_resume_records(const Pass& pass) {
  bool all = !resumes(pass.cfg);
  for_each_record(pass.dir.fd(), [all](int dir_fd, const char* name, bool read,
                                       const Record& record, const struct stat& st) {
    if (all || !read || !same_file(record, st)) unlinkat(dir_fd, name, 0);
  });
}

void resume_verdict(const settings::ModuleSettings& s, util::Findings& findings) {
  if (s.resume == 0) return;
  if (!can_rename(s.remote_url)) {
    findings.note("  MOD_VASTREL_RESUME does not apply: an HTTP(S) PUT cannot be resumed\n");
  } else if (s.partial_suffix[0] == '\0') {
    findings.problem(
        "MOD_VASTREL_RESUME needs MOD_VASTREL_PARTIAL_SUFFIX: every file is sent "
        "from its first byte");
  } else if (transfer_mode(s) == Mode::kCurlBatch) {
    findings.note(
        "  MOD_VASTREL_RESUME does not apply to the curl batch: every file is sent "
        "from its first byte\n");
  } else {
    findings.note(
        "  a cut transfer goes on from the bytes the server holds under NAME%s, when "
        "a record in %s proves they are the same file's\n",
        s.partial_suffix, kResumeFolder);
  }
}

void resume_records_verdict(const settings::ModuleSettings& cfg, int dir_fd,
                            util::Findings& findings) {
  if (!resumes(cfg)) return;
  for_each_record(dir_fd, [&findings](int, const char*, bool read, const Record& record,
                                      const struct stat& st) {
    if (read && same_file(record, st)) {
      findings.note("  a next run resumes %s (%lld bytes) where the server holds part of it\n",
                    record.name, record.size);
    }
  });
}

}  // namespace upload
