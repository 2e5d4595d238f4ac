// The sftp mode: a pass's files in one sftp batch; its tools and files.
#pragma once

#include <cstddef>
#include <vector>

#include "settings/session.h"
#include "upload/mode.h"
#include "util/cmdline.h"
#include "util/command.h"

namespace upload {

// The batch's tools, installed with the program.
constexpr const char* kSftpClient = "/opt/vastrel/bin/sftp";
constexpr const char* kSshClient = "/opt/vastrel/bin/ssh";
constexpr const char* kPasswordFeeder = "/opt/vastrel/bin/sshpass";
// The integrator's ssh settings (port, keys, known hosts); ssh refuses to
// start without it.
constexpr const char* kSshConfig = "/var/vastrel/ssh_config";

// The batch's scratch files: its commands, the client's echo of each
// command it starts, and its error text.
constexpr const char* kSftpQueue = "/var/vastrel/sftp_list";
constexpr const char* kSftpOutput = "/var/vastrel/sftp_output";
constexpr const char* kSftpError = "/var/vastrel/sftp_error";
// The batch's sources: for each file a link NAME (or NAME+SUFFIX) to the
// descriptor the client inherits, /proc/self/fd/N. The client names an
// upload after its source, so the remote name needs no destination, which
// it would stat first: a round trip more per file. Inside the scratch
// folder, which only the program's user may change.
constexpr const char* kSftpFiles = "/var/vastrel/sftp_files";

constexpr size_t kQueueLineSize = 256;  // a queue line holds at most 255 characters

// Sends a pass's files in one sftp batch, and one more behind each file
// that fails on its own. Its refusals (an unusable URL, a host or user
// read as an option, a command line that would not fit) are told only
// once there is a file to send.
class SftpSender : public Sender {
 public:
  explicit SftpSender(const settings::Session& session) : session_(session) {}
  // Splits the URL and builds the batch command line, refusing what is
  // said above; for check, notes the split and whether kSshConfig is there
  // (a problem when it is missing). Changes only the sender, logs nothing.
  Readiness prepare(util::Findings& findings) override;
  // Removes the queue an earlier pass left: it must never be taken for
  // this one's. Logs nothing.
  void apply() override;
  // kControl for a name with a control character, kQueueLineTooLong for a
  // queue line (the file's, or one that takes the batch into its folder)
  // that would not fit. Changes nothing, logs nothing.
  Refusal refusal_of(const char* path, const Place& place) const override;
  // The whole selection: each batch takes as many files as a child may be
  // given.
  size_t batch_size() const override;
  // Batches until every file was sent or failed on its own: the file whose
  // command failed is kFailed (with every file of the batch bound for a
  // folder it could not enter, when that failed), and a new batch takes
  // the files behind it. Where the URL's folders hold a field, a batch
  // makes each folder it needs once ("-mkdir", parents first) and enters
  // it ("cd") before the files bound for it.
  // A file that cannot be queued is kPassedBy (logged); when kSftpFiles
  // cannot be made, nothing is sent (logged) and the files stay pending.
  // Every file of the batch is kFailed when its transcript cannot be read.
  // kStop when the server's side failed (no command started, a lost
  // session). Rewrites kSftpQueue, kSftpOutput, kSftpError and the links in
  // kSftpFiles (made when missing). Logs each failure at LOG_ERR, and what
  // disposal logs.
  SendEnd send(Pass& pass, Selection& files) override;
  // The sftp and ssh clients, and the password feeder when a password is
  // set.
  std::vector<util::Tool> tools() const override;

 private:
  const settings::Session& session_;
  char command_[util::kCommandSize] = "";
  size_t fixed_ = 0;  // the length of the batch's own folder, which no field changes
};

// The part after "sftp://" split into host and remote folder (given a
// trailing "/" when it has none, so it cannot name a remote file; empty
// for the login folder). kNoScheme when the URL holds no "sftp://",
// kTooLong when more than 127 characters follow it; `host` and `folder`
// are filled only for kOk. Logs nothing.
constexpr size_t kSftpPartSize = 128;  // at most 127 characters after sftp://
enum class SftpUrl { kOk, kNoScheme, kTooLong };
SftpUrl split_sftp_url(const char* url, char (&host)[kSftpPartSize],
                       char (&folder)[kSftpPartSize + 1]);

// The queue lines for the file `path` (or a remote name: only its last
// segment counts), each shorter than kQueueLineSize:
// "put kSftpFiles/NAME\n" (quoted where sftp would read it otherwise), or
// with a suffix the put of kSftpFiles/NAME+SUFFIX and its rename to ./NAME
// (with `renamed_later`, MOD_VASTREL_VERIFY, the rename is only checked:
// it goes in a later batch, once the size is known). With `resume`
// (MOD_VASTREL_RESUME) "reput" instead of "put": it goes on from the size
// the server holds. Appended to `line`. False when a line would not fit:
// what was appended must then not be used. Logs nothing.
bool format_sftp_put(util::CommandLine& line, const char* path, const char* suffix = "",
                     bool renamed_later = false, bool resume = false);

}  // namespace upload
