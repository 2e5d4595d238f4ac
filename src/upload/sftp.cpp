// The sftp batch: its queue, its command line, and what its transcript tells.
#include "upload/sftp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "settings/settings.h"
#include "upload/listing.h"
#include "upload/resume.h"
#include "upload/selection.h"
#include "upload/target.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/descriptor.h"
#include "util/filestat.h"
#include "util/pin.h"
#include "util/scandir.h"
#include "util/scratch.h"

namespace upload {

namespace {

// The sftp batch parser splits on blanks, reads quotes, backslashes and "#"
// and expands globs; inside double quotes only \ and " need escaping.
void put_queue_path(util::CommandLine& line, const char* path) {
  if (util::is_plain(path)) {
    util::cmd_raw(line, path);
    return;
  }
  util::cmd_char(line, '"');
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') util::cmd_char(line, '\\');
    util::cmd_char(line, *p);
  }
  util::cmd_char(line, '"');
}

// The queue of one batch, written one file at a time: a partial write is
// taken back, so the batch never holds a cut path.
class QueueWriter {
 public:
  QueueWriter() : fd_(open(kSftpQueue, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {}

  bool append(const char* path, const char* text, size_t length) {
    int fd = fd_.get();
    if (fd >= 0 && write(fd, text, length) == static_cast<ssize_t>(length)) {
      written_ += static_cast<off_t>(length);
      return true;
    }
    syslog(LOG_ERR, "Cannot queue file %s for sftp(%m), not sent", path);
    if (fd >= 0 && ftruncate(fd, written_) != 0) {
      syslog(LOG_ERR, "Cannot undo a partial line in %s(%m)", kSftpQueue);
    }
    return false;
  }

 private:
  util::Descriptor fd_;
  off_t written_ = 0;
};

// A remote name as the batch gives it, in `folder` (absolute, ending in
// "/"; "" for the one the batch is in, as "./", which keeps a name that
// starts with "-" from reading as a flag).
void put_remote_name(util::CommandLine& line, const char* folder, const char* name,
                     const char* suffix) {
  char buffer[util::kCommandSize];
  util::CommandLine remote = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(remote, folder[0] != '\0' ? folder : "./");
  util::cmd_raw(remote, name);
  util::cmd_raw(remote, suffix);
  if (remote.overflow) {
    line.overflow = true;
    return;
  }
  put_queue_path(line, buffer);
}

// The suffix mode's rename of NAME+SUFFIX to NAME in `folder` (as
// put_remote_name takes it), appended to `out`; false when the line would
// not fit.
bool rename_line(util::CommandLine& out, const char* folder, const char* name, const char* suffix) {
  // Written under a temporary name, renamed once whole.
  char rename_buffer[kQueueLineSize];
  util::CommandLine rename = util::command_line(rename_buffer, sizeof rename_buffer);
  util::cmd_raw(rename, "rename ");
  put_remote_name(rename, folder, name, suffix);
  util::cmd_char(rename, ' ');
  put_remote_name(rename, folder, name, "");
  util::cmd_char(rename, '\n');
  if (rename.overflow) return false;
  util::cmd_raw(out, rename_buffer);
  return !out.overflow;
}

// How many batch commands the client started, by its echo of each one
// ("sftp> COMMAND") on standard output; -1 when that cannot be read.
long started_commands() {
  FILE* file = fopen(kSftpOutput, "re");
  if (file == nullptr) return -1;
  char line[512];
  long count = 0;
  bool at_start = true;
  while (fgets(line, sizeof line, file) != nullptr) {
    if (at_start && strncmp(line, "sftp> ", 6) == 0) ++count;
    at_start = strchr(line, '\n') != nullptr;
  }
  fclose(file);
  return count;
}

// What one queue line does: the transcript counts the commands started,
// and the step of the last one names the file the batch stopped at.
struct Step {
  enum Kind : uint8_t { kMake, kEnter, kFile, kList };
  Kind kind;
  size_t file;  // into the batch's files: its own, or the first bound for the folder
};

// The line that lists `folder` (as put_remote_name takes it), without its
// line end; "-": a failed listing does not end the batch. False when it
// would not fit.
bool listing_text(char (&out)[kQueueLineSize], const std::string& folder) {
  util::CommandLine line = util::command_line(out, sizeof out);
  util::cmd_raw(line, "-ls -lnaf ");
  put_queue_path(line, folder.empty() ? "./" : folder.c_str());
  return !line.overflow;
}

// With MOD_VASTREL_VERIFY, the sizes that the transcript's listings of
// `folders` tell of the files named `names` in `in` (each one of the
// folders); kNoSize where none was told.
std::vector<int64_t> transcript_sizes(const std::vector<std::string>& folders,
                                      const std::vector<std::string>& in,
                                      const std::vector<std::string>& names) {
  std::vector<int64_t> sizes(names.size(), kNoSize);
  FILE* transcript = fopen(kSftpOutput, "re");
  if (transcript == nullptr) return sizes;
  for (const std::string& folder : folders) {
    std::vector<size_t> which;
    std::vector<std::string> listed;
    for (size_t j = 0; j < names.size(); ++j) {
      if (in[j] != folder) continue;
      which.push_back(j);
      listed.push_back(names[j]);
    }
    char text[kQueueLineSize];
    if (which.empty() || !listing_text(text, folder)) continue;
    std::string echo = std::string("sftp> ") + text;
    rewind(transcript);  // each listing's echo is its own
    std::vector<int64_t> told =
        listed_sizes(transcript, echo.c_str(), folder.empty() ? "./" : folder.c_str(), listed);
    for (size_t i = 0; i < which.size(); ++i) sizes[which[i]] = told[i];
  }
  fclose(transcript);
  return sizes;
}

// ssh's bounds, given before the configuration file so that they hold
// whatever it says: connecting and the key exchange within the connect
// bound, and a session whose server sends nothing for the stall bound ends
// (ssh gives up after ServerAliveCountMax + 1 silent intervals).
void put_ssh_bounds(util::CommandLine& line, unsigned connect_timeout, unsigned stall_timeout) {
  unsigned interval = stall_timeout >= 4 ? stall_timeout / 4 : 1;
  unsigned count = stall_timeout >= 4 ? 3 : stall_timeout - 1;
  char text[128];  // three numbers of ten digits at most: always fits
  snprintf(text, sizeof text,
           "-o ConnectTimeout=%u -o ServerAliveInterval=%u -o ServerAliveCountMax=%u ",
           connect_timeout, interval, count);
  util::cmd_raw(line, text);
}

// The URL split into host and folder, or refused; check also says how it split.
bool split_verdict(const settings::ModuleSettings& cfg, char (&host)[kSftpPartSize],
                   char (&folder)[kSftpPartSize + 1], util::Findings& findings) {
  switch (split_sftp_url(cfg.remote_url, host, folder)) {
    case SftpUrl::kNoScheme:
      findings.refuse("Remote URL %s holds sftp but not sftp://, nothing is sent",
                      util::Url{cfg.remote_url});
      return false;
    case SftpUrl::kTooLong:
      findings.refuse("Remote URL %s is longer than %zu characters after sftp://, nothing is sent",
                      util::Url{cfg.remote_url}, kSftpPartSize - 1);
      return false;
    case SftpUrl::kOk: break;
  }
  findings.note("  user %s, host %s, remote folder %s\n", cfg.username,
                util::masked_url(host).c_str(), folder[0] != '\0' ? folder : "(the login folder)");
  if (util::reads_as_option(host)) findings.refuse(util::kOptionRefusal, "Host", util::Url{host});
  if (util::reads_as_option(cfg.username)) {
    findings.refuse(util::kOptionRefusal, "User name", cfg.username);
  }
  return !findings.refused();
}

// The batch command line, built once a pass; false when it would not fit.
bool build_batch_command(util::CommandLine& line, const settings::ModuleSettings& cfg,
                         const char* host, const char* folder) {
  if (cfg.password[0] != '\0') {
    // The feeder reads the password from its environment, which only the
    // owner can read; on a command line every local user would see it.
    // Batch mode turns password prompts off; ssh takes the first value given.
    util::cmd_raw(line, {kPasswordFeeder, " -e ", kSftpClient, " -o BatchMode=no -b - "});
  } else {
    util::cmd_raw(line, {kSftpClient, " -b - "});
  }
  if (cfg.rate_limit != 0) {
    // Kbit/s, as the client counts (1024 bits).
    char limit[32];
    snprintf(limit, sizeof limit, "-l %llu ", 8ULL * cfg.rate_limit);
    util::cmd_raw(line, limit);
  }
  util::cmd_raw(line, {"-S ", kSshClient, " -F ", kSshConfig, " -o LogLevel=ERROR "});
  put_ssh_bounds(line, cfg.connect_timeout, cfg.stall_timeout);
  util::cmd_word(line, cfg.username);
  util::cmd_raw(line, "@");
  util::cmd_word(line, host);
  util::cmd_raw(line, ":");
  util::cmd_word(line, folder);
  // The client echoes each command it starts: its transcript tells which
  // files of a failed batch were sent.
  util::cmd_raw(line, {" < ", kSftpQueue, " 2>", kSftpError, " > ", kSftpOutput});
  return !line.overflow;
}

// What the password feeder's own exit code says, or null: its codes are
// the only account of a login it gave up on.
const char* feeder_failure(util::ChildResult result) {
  switch (result.code()) {  // -1 when it did not exit
    case 5: return "the server refused the password";
    case 6: return "the server's host key is not known: pin it in /var/vastrel/ssh_config";
    case 7:
      return "the server's host key has changed: check the server, then pin its new key in "
             "/var/vastrel/ssh_config";
    default: return nullptr;
  }
}

// One batch's files, each pinned: the client reads the very file listed.
struct Queued {
  size_t index;  // into the selection
  util::PinnedFile pin;
  int64_t offset;  // MOD_VASTREL_RESUME: the byte its transfer starts from
};

// A file's queue lines at most: those that take the batch into its folder,
// and its own.
constexpr size_t kFileLinesSize = 8 * kQueueLineSize;

// One batch: its files, what each queue line does, and the folders it made.
struct Batch {
  std::vector<Queued> queued;
  std::vector<Step> steps;
  std::vector<std::string> made;
  std::string entered;  // the folder the batch is in ("": its own)
};

// A line of a command and a path, as the batch parser reads it, appended
// to `out`; false when it would not fit a queue line.
bool path_line(util::CommandLine& out, const char* command, const char* path, size_t length) {
  char path_buffer[util::kPathSize];
  if (length >= sizeof path_buffer) return false;
  memcpy(path_buffer, path, length);
  path_buffer[length] = '\0';
  char line_buffer[kQueueLineSize];
  util::CommandLine line = util::command_line(line_buffer, sizeof line_buffer);
  util::cmd_raw(line, command);
  put_queue_path(line, path_buffer);
  util::cmd_char(line, '\n');
  if (line.overflow) return false;
  util::cmd_raw(out, line_buffer);
  return !out.overflow;
}

// The lines that take the batch into `folder`, for its file `file`: each
// folder below the batch's own (the first `fixed` characters) not in
// `made` yet ("-": one that exists is taken as made, and the batch goes
// on), parents first, then "cd" (whose failure ends the batch: no file may
// land elsewhere). Appended to `out`, `steps` and `made`; false when a
// line would not fit.
bool folder_lines(util::CommandLine& out, std::vector<Step>& steps, std::vector<std::string>& made,
                  const char* folder, size_t fixed, size_t file) {
  for (size_t end = fixed; folder[end] != '\0'; ++end) {
    if (folder[end] != '/') continue;
    std::string prefix(folder, end);
    bool known = false;
    for (const std::string& m : made) known = known || m == prefix;
    if (known) continue;
    if (!path_line(out, "-mkdir ", folder, end)) return false;
    made.push_back(prefix);
    steps.push_back(Step{Step::kMake, file});
  }
  if (!path_line(out, "cd ", folder, strlen(folder))) return false;
  steps.push_back(Step{Step::kEnter, file});
  return true;
}

// The lines of one file: those that take the batch into its folder when it
// is not there yet, then format_sftp_put's.
bool file_lines(const Pass& pass, const Batch& batch, const Place& place, bool resumed,
                util::CommandLine& lines, std::vector<Step>& steps, std::vector<std::string>& made,
                size_t fixed) {
  size_t file = batch.queued.size();
  if (place.folder[0] != '\0' && batch.entered != place.folder &&
      !folder_lines(lines, steps, made, place.folder, fixed, file)) {
    return false;
  }
  size_t before = lines.length;
  if (!format_sftp_put(lines, place.name, pass.cfg.partial_suffix, pass.cfg.verify != 0, resumed)) {
    return false;
  }
  for (const char* p = lines.text + before; *p != '\0'; ++p) {
    if (*p == '\n') steps.push_back(Step{Step::kFile, file});
  }
  return true;
}

// Runs one batch with the password in the feeder's environment only (the
// copy is wiped once the batch has ended); how it ended, logged when it ran
// and did not exit 0. One that did not start wrote no error text: what is
// there is an earlier batch's.
util::ChildResult run_batch(const Pass& pass, const char* command,
                            const std::vector<Queued>& queued) {
  char entry[sizeof "SSHPASS=" + settings::kLineSize];  // the longest setting fits
  const char* password = pass.cfg.password;
  util::ChildSpec child;
  child.record_fd = pass.session.record_fd;
  for (const Queued& file : queued) child.inherited.push_back(file.pin.fd());
  if (password[0] != '\0') {
    snprintf(entry, sizeof entry, "SSHPASS=%s", password);
    child.env_extra = entry;
  }
  child.shell(command);
  // Its input is redirected first: a queue the shell cannot open would
  // leave an earlier batch's text there.
  util::empty_file(kSftpError);
  util::ChildResult result = util::run_child(child);
  explicit_bzero(entry, sizeof entry);
  // A batch the run's own stop ended says nothing of the server.
  if (result.ok() || !result.started() || util::stop_signal() != 0) return result;
  const char* feeder = password[0] != '\0' ? feeder_failure(result) : nullptr;
  if (feeder != nullptr) {
    syslog(LOG_ERR, "file upload has failed(%s)", feeder);
  } else if (util::file_size(kSftpError) != 0) {
    syslog(LOG_ERR, "file upload has failed(%s)", util::read_error_text(kSftpError));
  } else {
    syslog(LOG_ERR, "file upload has failed(check host or credentials)");
  }
  return result;
}

// The folder of the batch's sources, made (mode 0700) and emptied; none
// (logged) when it cannot be.
util::Descriptor sources_folder() {
  if (mkdir(kSftpFiles, 0700) != 0 && errno != EEXIST) {
    syslog(LOG_ERR, "Cannot make %s(%m), nothing is sent", kSftpFiles);
    return util::Descriptor();
  }
  util::Descriptor folder(open(kSftpFiles, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0 || !util::empty_folder(folder.get())) {
    syslog(LOG_ERR, "Cannot make %s(%m), nothing is sent", kSftpFiles);
    return util::Descriptor();
  }
  return folder;
}

// Appends to `queue` the listing of each of `folders`, with its steps;
// one that cannot be queued leaves its files without a size told.
void append_listings(QueueWriter& queue, const std::vector<std::string>& folders,
                     std::vector<Step>& steps, size_t file) {
  for (const std::string& folder : folders) {
    char text[kQueueLineSize];
    char line[kQueueLineSize + 1];
    if (!listing_text(text, folder)) continue;
    int length = snprintf(line, sizeof line, "%s\n", text);
    if (queue.append("(the folder listing)", line, static_cast<size_t>(length))) {
      steps.push_back(Step{Step::kList, file});
    }
  }
}

// A batch that only lists `folders`: for the files a failed batch sent
// before it reached its listings, or for the temporary names a resumed
// batch goes on from. Its transcript replaces any earlier one.
util::ChildResult list_folders(const Pass& pass, const char* command,
                               const std::vector<std::string>& folders) {
  std::vector<Step> steps;
  {
    QueueWriter queue;
    append_listings(queue, folders, steps, 0);
  }
  return run_batch(pass, command, {});
}

// The selection files of the first `count` of a batch's files.
std::vector<size_t> batch_index(const Batch& batch, size_t count) {
  std::vector<size_t> index;
  for (size_t j = 0; j < count; ++j) index.push_back(batch.queued[j].index);
  return index;
}

// The folders of `files`' selection files `index`, each once, in order.
std::vector<std::string> folders_of(const Selection& files, const std::vector<size_t>& index) {
  std::vector<std::string> folders;
  for (size_t k : index) {
    std::string folder = files.place(k).folder;
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
      folders.push_back(folder);
    }
  }
  return folders;
}

// The sizes the transcript's listings tell of selection files `index`
// under their names (with the suffix); kNoSize where none was told.
std::vector<int64_t> sizes_of(const Pass& pass, const Selection& files,
                              const std::vector<size_t>& index) {
  std::vector<std::string> in;
  std::vector<std::string> names;
  for (size_t k : index) {
    Place place = files.place(k);
    in.emplace_back(place.folder);
    names.emplace_back(std::string(place.name) + pass.cfg.partial_suffix);
  }
  return transcript_sizes(folders_of(files, index), in, names);
}

// MOD_VASTREL_RESUME: the size the server told of a file's temporary name.
struct Held {
  size_t index;  // into the selection
  int64_t size;
};

// The sizes the server holds under the temporary names of the pending
// files of files[first...] (as many as a batch takes) that have a record
// of their listed identity, asked by listing their folders in a batch of
// its own before the batch that sends them; none when no file has one.
// Rewrites kSftpQueue and kSftpOutput; logs what run_batch logs.
std::vector<Held> held_sizes(const Pass& pass, const char* command, const Selection& files,
                             size_t first) {
  std::vector<size_t> index;
  size_t budget = pass.session.descriptor_budget;
  for (size_t k = first; k < files.size() && index.size() < budget; ++k) {
    char target[util::kCommandSize];
    if (files.outcome(k) != Outcome::kPending || !resume_target(target, pass.cfg, files.place(k)) ||
        !resume_record_listed(files.identity(k), target)) {
      continue;
    }
    index.push_back(k);
  }
  if (index.empty() || !list_folders(pass, command, folders_of(files, index)).started()) {
    return {};
  }
  std::vector<int64_t> sizes = sizes_of(pass, files, index);
  std::vector<Held> held;
  for (size_t j = 0; j < index.size(); ++j) held.push_back(Held{index[j], sizes[j]});
  return held;
}

// Before a file is queued with MOD_VASTREL_RESUME: the offset its transfer
// starts from (what `held` tells of selection file `k`, where its record
// proves those bytes are this file's, else 0), then the record of this
// transfer.
int64_t resume_start(const Pass& pass, const char* path, const util::PinnedFile& pin,
                     const Place& place, const std::vector<Held>& held, size_t k) {
  char target[util::kCommandSize];
  if (!resume_target(target, pass.cfg, place)) return 0;
  int64_t offset = 0;
  struct stat st;
  // `held` is in selection order.
  auto h = std::lower_bound(held.begin(), held.end(), k,
                            [](const Held& a, size_t index) { return a.index < index; });
  if (h != held.end() && h->index == k && fstat(pin.fd(), &st) == 0 &&
      resume_record_matches(pin.fd(), target)) {
    offset = resume_offset(h->size, static_cast<int64_t>(st.st_size));
  }
  write_resume_record(pin.fd(), path, target);
  return offset;
}

// Pins and queues the pending files of files[first...], as many as a child
// may be given, each with its source link and the lines that take the
// batch into its folder; with MOD_VASTREL_VERIFY the listing of each
// folder they went to ends the batch. A name no longer the listed file is
// passed by, and so is a file whose lines or link cannot be written (both
// logged; the latter stays new).
Batch write_queue(const Pass& pass, Selection& files, size_t first, size_t fixed,
                  const std::vector<Held>& held) {
  Batch batch;
  util::Descriptor sources(sources_folder());
  if (sources.get() < 0) return batch;
  size_t budget = pass.session.descriptor_budget;
  QueueWriter queue;
  for (size_t k = first; k < files.size() && batch.queued.size() < budget; ++k) {
    if (files.outcome(k) != Outcome::kPending) continue;
    char path[util::kPathSize];
    util::PinnedFile pin;
    if (!pin_file(pass, files, k, path, pin)) continue;
    Place place = files.place(k);
    char target[32];
    util::inherited_path(target, batch.queued.size());
    char link[util::kPathSize + 64];
    snprintf(link, sizeof link, "%s%s", place.name, pass.cfg.partial_suffix);
    char buffer[kFileLinesSize];
    util::CommandLine lines = util::command_line(buffer, sizeof buffer);
    std::vector<Step> steps;
    std::vector<std::string> made = batch.made;  // kept once the lines are queued
    int64_t offset = resumes(pass.cfg) ? resume_start(pass, path, pin, place, held, k) : 0;
    bool linked = file_lines(pass, batch, place, offset > 0, lines, steps, made, fixed) &&
                  symlinkat(target, sources.get(), link) == 0;
    if (!linked) syslog(LOG_ERR, "Cannot queue file %s for sftp(%m), not sent", path);
    if (linked && queue.append(path, lines.text, lines.length)) {
      if (offset > 0) log_resumed(path, offset, files.file_size(k));
      batch.queued.push_back(Queued{k, std::move(pin), offset});
      batch.steps.insert(batch.steps.end(), steps.begin(), steps.end());
      batch.made = std::move(made);
      if (place.folder[0] != '\0') batch.entered = place.folder;
    } else {
      files.set_outcome(k, Outcome::kPassedBy);
    }
  }
  if (!batch.queued.empty() && pass.cfg.verify != 0) {
    append_listings(queue, folders_of(files, batch_index(batch, batch.queued.size())), batch.steps,
                    batch.queued.size());
  }
  return batch;
}

// Queues the renames of the batch's files from `from` on whose temporary
// name holds their whole size (by `sizes`); which of them were queued.
std::vector<size_t> queue_renames(const Pass& pass, const Selection& files, const Batch& batch,
                                  const std::vector<int64_t>& sizes, size_t from) {
  std::vector<size_t> whole;
  QueueWriter queue;
  for (size_t j = from; j < sizes.size(); ++j) {
    size_t k = batch.queued[j].index;
    if (sizes[j] != files.identity(k).size) continue;
    char path[util::kPathSize];
    files.path(k, pass.cfg.scan_folder, path);
    Place place = files.place(k);
    char buffer[kQueueLineSize];
    util::CommandLine line = util::command_line(buffer, sizeof buffer);
    // The selection let through only names whose rename fits.
    if (rename_line(line, place.folder, place.name, pass.cfg.partial_suffix) &&
        queue.append(path, line.text, line.length)) {
      whole.push_back(j);
    }
  }
  return whole;
}

// The files of the batch whose temporary name holds their whole size (by
// `sizes`), renamed to their own names in a batch of their own: the batch
// that sent them could not wait for their sizes. Which of them were
// renamed. A rename that fails on its own (logged as a failed upload)
// leaves only its file new: a further batch renames the rest, as sending
// goes on past a file's own failure. Anything else ends the renames.
std::vector<bool> rename_whole(const Pass& pass, const Selection& files, const Batch& batch,
                               const std::vector<int64_t>& sizes, const char* command) {
  std::vector<bool> renamed(sizes.size(), false);
  size_t from = 0;
  for (;;) {
    std::vector<size_t> whole = queue_renames(pass, files, batch, sizes, from);
    if (whole.empty()) return renamed;
    util::ChildResult result = run_batch(pass, command, {});
    long started = result.ok()        ? static_cast<long>(whole.size()) + 1
                   : result.started() ? started_commands()
                                      : -1;
    size_t done = started > 0 ? std::min(static_cast<size_t>(started - 1), whole.size()) : 0;
    for (size_t k = 0; k < done; ++k) renamed[whole[k]] = true;
    if (result.ok() || !result.exited(1) || started <= 0 || done >= whole.size() ||
        util::stop_signal() != 0) {
      return renamed;
    }
    from = whole[done] + 1;
  }
}

// Disposes of the first `count` queued files; with MOD_VASTREL_VERIFY by
// the size the listing of its folder told, and with a suffix once renamed
// (a file held whole whose rename failed stays new).
void dispose_queued(Pass& pass, Selection& files, const Batch& batch, size_t count,
                    const char* command) {
  std::vector<int64_t> sizes;
  std::vector<bool> renamed;
  if (pass.cfg.verify != 0) sizes = sizes_of(pass, files, batch_index(batch, count));
  if (!sizes.empty() && pass.cfg.partial_suffix[0] != '\0') {
    renamed = rename_whole(pass, files, batch, sizes, command);
  }
  for (size_t j = 0; j < count; ++j) {
    const Queued& queued = batch.queued[j];
    char path[util::kPathSize];
    files.path(queued.index, pass.cfg.scan_folder, path);
    const FileIdentity& listed = files.identity(queued.index);
    int64_t told = sizes.empty() ? kNotAsked : sizes[j];
    Outcome outcome = !renamed.empty() && told == listed.size && !renamed[j]
                          ? Outcome::kFailed
                          : dispose_sent_file(pass, path, queued.pin, listed, told);
    char target[util::kCommandSize];
    if (resumes(pass.cfg) && resume_target(target, pass.cfg, files.place(queued.index))) {
      resume_done(pass, target, outcome, queued.offset);
    }
    files.set_outcome(queued.index, outcome);
  }
}

// The files a failed command leaves failed, from its step's file on: the
// file's own, or every file bound for a folder the batch could not enter.
size_t failed_files(const Batch& batch, const Step& step) {
  if (step.kind == Step::kList) return 0;
  if (step.kind != Step::kEnter) return 1;
  for (const Step& later : batch.steps) {
    if (later.kind == Step::kEnter && later.file > step.file) return later.file - step.file;
  }
  return batch.queued.size() - step.file;
}

}  // namespace

SftpUrl split_sftp_url(const char* url, char (&host)[kSftpPartSize],
                       char (&folder)[kSftpPartSize + 1]) {
  const char* rest = strstr(url, "sftp://");
  if (rest == nullptr) return SftpUrl::kNoScheme;
  rest += strlen("sftp://");
  if (strlen(rest) >= kSftpPartSize) return SftpUrl::kTooLong;
  size_t host_length = strcspn(rest, "/");
  memcpy(host, rest, host_length);
  host[host_length] = '\0';
  snprintf(folder, sizeof folder, "%s", rest + host_length);
  // A folder without its "/" may name a remote file, which sftp would fetch.
  size_t folder_length = strlen(folder);
  if (folder_length > 0 && folder[folder_length - 1] != '/') strcat(folder, "/");
  return SftpUrl::kOk;
}

bool format_sftp_put(util::CommandLine& out, const char* path, const char* suffix,
                     bool renamed_later, bool resume) {
  const char* name = name_of(path);
  char source[util::kCommandSize];
  util::CommandLine link = util::command_line(source, sizeof source);
  util::cmd_raw(link, {kSftpFiles, "/", name, suffix});
  char put_buffer[kQueueLineSize];
  util::CommandLine put = util::command_line(put_buffer, sizeof put_buffer);
  // reput goes on from the size the server holds under the same name.
  util::cmd_raw(put, resume ? "reput " : "put ");
  put_queue_path(put, source);
  util::cmd_char(put, '\n');
  if (link.overflow || put.overflow) return false;
  util::cmd_raw(out, put_buffer);
  // Its rename is checked here even when it goes in a later batch.
  char rename_buffer[kQueueLineSize];
  util::CommandLine rename = util::command_line(rename_buffer, sizeof rename_buffer);
  if (suffix[0] != '\0' && !rename_line(renamed_later ? rename : out, "", name, suffix)) {
    return false;
  }
  return !out.overflow;
}

Readiness SftpSender::prepare(util::Findings& findings) {
  const settings::ModuleSettings& cfg = session_.cfg;
  Readiness ready{true};
  char host[kSftpPartSize];
  char folder[kSftpPartSize + 1];
  if (!split_verdict(cfg, host, folder, findings)) return ready;
  // With fields, the batch starts in the folder they leave as it is, and
  // enters each file's own.
  if (has_fields(cfg.remote_url)) folder[fixed_folder_length(folder)] = '\0';
  fixed_ = strlen(folder);
  util::CommandLine line = util::command_line(command_, sizeof command_);
  if (!build_batch_command(line, cfg, host, folder)) {
    findings.refuse("sftp command line for %s is longer than %zu characters, nothing is sent",
                    util::Url{cfg.remote_url}, util::kCommandSize - 1);
  }
  struct stat st;
  if (stat(kSshConfig, &st) == 0) {
    findings.note("  ssh_config %s (read by the ssh client)\n", kSshConfig);
  } else if (errno == ENOENT) {
    findings.note("  ssh_config %s is missing\n", kSshConfig);
    findings.problem("%s is missing: the ssh client refuses to start", kSshConfig);
  } else {
    findings.note("  ssh_config %s cannot be read by this user (%s)\n", kSshConfig,
                  strerror(errno));
  }
  return ready;
}

void SftpSender::apply() { unlink(kSftpQueue); }

Refusal SftpSender::refusal_of(const char* path, const Place& place) const {
  if (util::has_control(path)) return Refusal::kControl;
  char buffer[kFileLinesSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  std::vector<Step> steps;
  std::vector<std::string> made;
  // Its own folder's lines as a batch that has made none of it gives them.
  bool fits =
      (place.folder[0] == '\0' || folder_lines(line, steps, made, place.folder, fixed_, 0)) &&
      format_sftp_put(line, place.name, session_.cfg.partial_suffix, session_.cfg.verify != 0,
                      resumes(session_.cfg));
  return fits ? Refusal::kNone : Refusal::kQueueLineTooLong;
}

// One batch takes the whole selection, as many files at a time as a child
// may be given.
size_t SftpSender::batch_size() const { return SIZE_MAX; }

// Batches over the selected files until every one was sent or failed on
// its own. A failed batch sent the files whose commands were followed by a
// later one; the client stops at the first failing command, and exits 1
// for it. Anything else (no command started: the connection, the login
// or the remote folder failed; a lost session, 255) is the server's, and
// ends the pass.
SendEnd SftpSender::send(Pass& pass, Selection& files) {
  size_t first = 0;
  bool verify = pass.cfg.verify != 0;
  for (;;) {
    if (util::stop_signal() != 0) return SendEnd::kStop;
    std::vector<Held> held;
    if (resumes(pass.cfg)) held = held_sizes(pass, command_, files, first);
    Batch batch = write_queue(pass, files, first, fixed_, held);
    const std::vector<Queued>& queued = batch.queued;
    if (queued.empty()) return SendEnd::kDone;
    util::ChildResult result = run_batch(pass, command_, queued);
    if (result.ok()) {
      dispose_queued(pass, files, batch, queued.size(), command_);
      // A batch short of the budget took every file there was.
      if (queued.size() < pass.session.descriptor_budget) return SendEnd::kDone;
      first = queued.back().index + 1;
      continue;
    }
    // A batch that did not start left no transcript of its own.
    long started = result.started() ? started_commands() : -1;
    if (started < 0) {  // nothing is known to be sent
      for (const Queued& file : queued) files.set_outcome(file.index, Outcome::kFailed);
      return SendEnd::kDone;
    }
    bool known = started > 0 && static_cast<size_t>(started) <= batch.steps.size();
    const Step* failed = known ? &batch.steps[static_cast<size_t>(started) - 1] : nullptr;
    size_t sent = failed != nullptr ? std::min(failed->file, queued.size()) : 0;
    // The batch ended before its listings: on a file's own failure a batch
    // of their own lists the folders of the files it sent; a lost session
    // lists nothing, and what it sent stays new, to be sent again.
    size_t disposed = sent;
    if (verify && sent > 0 && (failed == nullptr || failed->kind != Step::kList)) {
      if (result.exited(1)) {
        list_folders(pass, command_, folders_of(files, batch_index(batch, sent)));
      } else {
        disposed = 0;
        for (size_t j = 0; j < sent; ++j) files.set_outcome(queued[j].index, Outcome::kFailed);
      }
    }
    dispose_queued(pass, files, batch, disposed, command_);
    size_t failing = failed != nullptr ? failed_files(batch, *failed) : 1;
    if (started > 0) {
      for (size_t j = sent; j < std::min(sent + failing, queued.size()); ++j) {
        files.set_outcome(queued[j].index, Outcome::kFailed);
      }
    }
    if (!known || !result.exited(1)) return SendEnd::kStop;
    if (sent + failing >= queued.size() && failing == 0) return SendEnd::kDone;
    // The failed files stay new; a new batch takes the rest.
    first = queued[std::min(sent + failing, queued.size()) - 1].index + 1;
  }
}

std::vector<util::Tool> SftpSender::tools() const {
  std::vector<util::Tool> tools = {{kSftpClient, "the sftp client"},
                                   {kSshClient, "the ssh client"}};
  if (session_.cfg.password[0] != '\0') tools.push_back({kPasswordFeeder, "the password feeder"});
  return tools;
}

}  // namespace upload
