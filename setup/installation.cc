#include "setup/installation.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "platform/fileio.h"
#include "platform/netinfo.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "platform/svcmgr.h"
#include "platform/sysroot.h"
#include "serve/tls.h"
#include "setup/install_control.h"
#include "setup/install_folders.h"
#include "setup/install_tls.h"
#include "setup/install_values.h"
#include "setup/qvinst.h"
#include "setup/service_account.h"
#include "setup/services.h"
#include "setup/setup_texts.h"

namespace qv::setup {
namespace fs = std::filesystem;

namespace {

constexpr char kPamServiceName[] = "quorvane";  // the POP3 service's PAM service

// One run of "install": the steps in order, each returning kExitOk or the failure's exit code.
class Installation {
 public:
  Installation(const SetupOptions& o, Reporter& r)
      : o_(o),
        r_(r),
        prefix_(Absolute(o.prefix)),
        from_(o.from.empty() ? SelfDirectory() : Absolute(o.from)) {}

  int Run() {
    for (int (Installation::*step)() :
         {&Installation::Detect, &Installation::CheckPorts, &Installation::ServiceUser,
          &Installation::CopyPrograms, &Installation::MakeTls, &Installation::WriteSettings,
          &Installation::MakeFolders, &Installation::WriteRecords, &Installation::WritePamFile,
          &Installation::HandOver, &Installation::Start}) {
      int code = (this->*step)();
      if (code != kExitOk) return code;
    }
    Summary();
    return kExitOk;
  }

 private:
  int Detect() {
    if (_DetectTCP() != 1) return r_.Fail(kErrNoTcp);
    mode_ = ChooseMode(o_);
    if (mode_ == ServiceMode::kSystemd && !platform::ServiceManagerAvailable())
      return r_.Fail(kErrNoSystemd);
    UseMode(mode_);
    char os[16] = {};
    _GetOsVersion(os);
    r_.Line("services", mode_ == ServiceMode::kSystemd
                            ? Format("systemd units in %s (%s)", kUnitDirectory, os)
                            : Format("processes with presence locks (%s)", os));
    return kExitOk;
  }

  // Before anything is written: a port that another program answers on, for a service that
  // does not run yet, fails the installation (the port kept in the registry, else the asked one).
  int CheckPorts() {
    struct Port {
      int service;
      const char* key;
      const char* name;
      int asked;
      const char* option;
    } ports[] = {
        {1, kSmtpKey, "Port", o_.smtp_port, "--smtp-port"},
        {2, kPop3Key, "Port", o_.pop3_port, "--pop3-port"},
        {3, kControlKey, "Port", o_.control_port, "--control-port"},
        {1, kSmtpKey, "SubmissionPort", o_.tls ? o_.submission_port : 0, "--submission-port"},
        {1, kSmtpKey, "SmtpsPort", o_.tls ? o_.smtps_port : 0, "--smtps-port"},
        {2, kPop3Key, "Pop3sPort", o_.tls ? o_.pop3s_port : 0, "--pop3s-port"},
        {3, kControlKey, "TlsControlPort", o_.tls ? o_.control_tls_port : 0, "--control-tls-port"},
    };
    std::string address;  // the one kept in the registry, else the asked one
    if (!reg::ReadString(kControlKey, "ListenAddress", &address)) address = o_.listen_address;
    for (const Port& p : ports) {
      const ServiceInfo& info = *ServiceByNumber(p.service);
      if (access((from_ + "/" + info.program).c_str(), X_OK) != 0 &&
          access((prefix_ + "/" + info.program).c_str(), X_OK) != 0)
        continue;  // not installed
      uint32_t kept = 0;
      int port = reg::ReadDword(p.key, p.name, &kept) ? static_cast<int>(kept) : p.asked;
      if (port == 0) continue;  // a TLS listener turned off
      if (!Running(info, mode_, nullptr) && PortAnswers(address, port))
        return r_.Fail(Format(kErrPortBusy, port, info.name, p.option));
    }
    return kExitOk;
  }

  // Under systemd the services run as a system user of their own, which owns their folders
  // (a checkout's instance with presence locks runs as the user who installs it).
  int ServiceUser() {
    if (mode_ != ServiceMode::kSystemd || geteuid() != 0) return kExitOk;
    bool created = false;
    Result<FolderOwner> user = EnsureServiceUser(&created);
    if (!user) return r_.Fail(user.error());
    owner_ = *user;
    r_.Line(created ? "created" : "kept",
            Format("the system user %s (the services run as it)", kServiceUser));
    return kExitOk;
  }

  int CopyPrograms() {
    const std::string& from = from_;
    for (const char* required : {"qvsmtp95", "qvpop395"})
      if (access((from + "/" + required).c_str(), X_OK) != 0)
        return r_.Fail(Format(kErrNoProgram, required, from.c_str()));
    // The programs are for every user to run, but nobody else may put anything beside them.
    if (int code = Secure(prefix_, 0755, InstallingUser()); code != kExitOk) return code;
    std::vector<std::string> manifest = ReadManifest(prefix_);
    if (!SameFile(from, prefix_)) {
      for (const std::string& name : InstalledFileNames()) {
        std::string source = from + "/" + name, target = prefix_ + "/" + name;
        if (access(source.c_str(), R_OK) != 0) continue;
        bool copied = false;
        Status st = CopyProgram(source, target, &copied);
        if (!st)
          return r_.Fail(Format(kErrCopy, source.c_str(), target.c_str(), st.error().c_str()));
        manifest.push_back(name);
        if (copied) {
          changed_ = true;
          r_.Line("installed", target);
        }
      }
    }
    if (mode_ == ServiceMode::kSystemd) {
      // The service manager runs the programs under their own names.
      size_t count = 0;
      const ServiceInfo* all = Services(&count);
      for (size_t i = 0; i < count; ++i) {
        std::string link = prefix_ + "/" + all[i].managed;
        if (access((prefix_ + "/" + all[i].program).c_str(), X_OK) != 0 ||
            platform::Exists(link, platform::Links::kAsThemselves))
          continue;
        if (symlink(all[i].program, link.c_str()) != 0)
          return r_.Fail(Format(kErrCopy, all[i].program, link.c_str(), ErrnoText().c_str()));
        manifest.push_back(all[i].managed);
        changed_ = true;
        r_.Line("linked", link + " -> " + all[i].program);
      }
    }
    if (!manifest.empty() && !WriteManifest(prefix_, manifest))
      return r_.Fail(
          Format(kErrWrite, (prefix_ + "/" + kManifestName).c_str(), ErrnoText().c_str()));
    return kExitOk;
  }

  // With --tls: a self-signed certificate for the host name in the folder "tls" of the system
  // root unless it holds one (or --cert and --key name the files); the files must make a TLS
  // context as the services would make it.
  int MakeTls() {
    if (!o_.tls) return kExitOk;
    TlsFiles files = InstallTlsFiles(o_);
    if (o_.cert.empty()) {
      if (int code = Secure(platform::SystemRoot(), 0700, owner_); code != kExitOk) return code;
      if (int code = Secure(TlsFolder(), 0700, owner_); code != kExitOk) return code;
      if (platform::Exists(files.certificate, platform::Links::kAsThemselves) &&
          platform::Exists(files.key, platform::Links::kAsThemselves)) {
        r_.Line("kept", Format(kTlsKept, files.certificate.c_str(), files.key.c_str()));
      } else {
        std::string host = o_.hostname.empty() ? MachineHostName() : o_.hostname;
        Status made = MakeSelfSignedCertificate(host, files);
        if (!made) return r_.Fail(made.error());
        for (const std::string& file : {files.certificate, files.key})
          if (lchown(file.c_str(), owner_.uid, owner_.gid) != 0)
            return r_.Fail(Format(kErrWrite, file.c_str(), ErrnoText().c_str()));
        changed_ = true;
        r_.Line("created", Format(kTlsCreated, files.certificate.c_str(), host.c_str()));
      }
    }
    auto usable = MakeServerTlsContext(files.certificate, files.key);
    if (!usable) return r_.Fail(Format(kErrTls, usable.error().c_str()));
    return kExitOk;
  }

  // Only the values the registry does not hold yet are written.
  int WriteSettings() {
    if (int code = Secure(platform::SystemRoot(), 0700, owner_); code != kExitOk) return code;
    for (const char* key : {kControlKey, kSmtpKey, kPop3Key})
      if (_CreateSystemKey(key) != 1)
        return r_.Fail(Format(kErrKey, key, reg::RegistryFilePath().c_str()));
    std::string name_server = platform::SystemNameServer();
    if (int code = WriteWantedValues(WantedValues(o_, prefix_, name_server), r_, &changed_);
        code != kExitOk)
      return code;
    if (name_server.empty())
      r_.Line("note", "no name server in /etc/resolv.conf: set NameServer to send mail out");
    settings_ = LoadInstalled();
    primary_ = PrimaryDomain(settings_.system);
    return kExitOk;
  }

  // Creates a folder of the installation or makes an existing one the owner's alone.
  int Secure(const std::string& dir, mode_t mode, const FolderOwner& owner) {
    Result<FolderChange> change = SecureFolder(dir, mode, owner);
    if (!change) return r_.Fail(change.error());
    if (*change == FolderChange::kCreated) r_.Line("created", dir);
    if (*change == FolderChange::kTightened) {
      // Services that run restart with their folders' new owner and units.
      changed_ = true;
      r_.Line("secured", Format("%s (mode %04o)", dir.c_str(), static_cast<unsigned>(mode)));
    }
    return kExitOk;
  }

  // Mail, spool files and records are for the services' eyes only.
  int MakeFolders() {
    const SYSTEMSTRUCT& sys = settings_.system;
    for (const char* dir : {sys.MailPath, sys.TempPath, sys.LogPath, sys.ConfigPath})
      if (int code = Secure(dir, 0700, owner_); code != kExitOk) return code;
    return kExitOk;
  }

  // What the folders hold goes to the services' user, for its eyes only: the records and the
  // registry of an older installation may be readable by all. Running services need no restart
  // for it: they keep their open files, and the logs and locks they made since the last
  // installation are among what is tightened here on every run.
  int HandOver() {
    const SYSTEMSTRUCT& sys = settings_.system;
    for (const std::string& dir :
         {platform::SystemRoot(), std::string(sys.MailPath), std::string(sys.TempPath),
          std::string(sys.LogPath), std::string(sys.ConfigPath)}) {
      Result<int> changed = HandOverContents(dir, owner_);
      if (!changed)
        r_.Line("note", Format("could not secure everything in %s", changed.error().c_str()));
      else if (*changed > 0)
        r_.Line("secured", Format("%d files and folders in %s", *changed, dir.c_str()));
    }
    return kExitOk;
  }

  // The initial records, the administrator and the list help file.
  int WriteRecords() {
    const SYSTEMSTRUCT& sys = settings_.system;
    int records = _CreateDemoUser(primary_.c_str(), sys.InstallPath, sys.ConfigPath);
    if (records < 0) return r_.Fail(Format(kErrRecords, sys.ConfigPath));
    r_.Line(records > 0 ? "created" : "kept", "the command changepass and the user listserver");
    if (!o_.admin.empty()) {
      USERSTRUCT admin{};
      CopyField(admin.Alias, o_.admin);
      CopyField(admin.Domain, primary_);
      CopyField(admin.Password, o_.admin_password);
      CopyField(admin.Name, "Administrator");
      CopyField(admin.Mailbox, o_.admin);
      admin.Options = kUserAdmin | kUserListManager;
      int added = AddRecord(sys, &admin);
      if (added < 0) return r_.Fail(Format(kErrAdmin, o_.admin.c_str(), sys.ConfigPath));
      r_.Line(added == 0 ? "added" : "kept", Format("the user %s@%s (administrator, list manager)",
                                                    o_.admin.c_str(), primary_.c_str()));
      std::string mailbox = std::string(sys.MailPath) + "/" + o_.admin;
      if (int code = Secure(mailbox, 0700, owner_); code != kExitOk) return code;
    }
    std::string help = ResolveFileName(sys.ConfigPath, "LISTHELP.TXT");
    if (!platform::Exists(help, platform::Links::kAsThemselves)) {
      if (!platform::WriteFileAtomically(help, ListHelpText("listserver@" + primary_), 0644))
        return r_.Fail(Format(kErrWrite, help.c_str(), ErrnoText().c_str()));
      r_.Line("created", help);
    }
    return kExitOk;
  }

  // The PAM service of operating-system logons; an administrator's own file stays.
  int WritePamFile() {
    if (o_.pam_dir.empty() || o_.pam_dir == "none" || !IsDirectory(o_.pam_dir)) return kExitOk;
    std::string pam = o_.pam_dir + "/" + kPamServiceName;
    if (platform::Exists(pam, platform::Links::kAsThemselves)) return kExitOk;
    if (!platform::WriteFileAtomically(pam, PamServiceText(o_.pam_dir), 0644))
      return r_.Fail(Format(kErrWrite, pam.c_str(), ErrnoText().c_str()) + " (or --pam-dir none)");
    r_.Line("created", pam);
    return kExitOk;
  }

  // Logons of operating-system accounts need the machine's password hashes, which the services'
  // own user cannot read: the POP3 service alone gets the group that may.
  void PamNote() {
    if (mode_ != ServiceMode::kSystemd || owner_.uid == geteuid() ||
        (settings_.system.Flags & kSysNtUser) == 0)
      return;
    r_.Line("note", getgrnam(kShadowGroup) != nullptr ? Format(kNotePam, kShadowGroup)
                                                      : Format(kNotePamNoGroup, kShadowGroup));
  }

  int Start() {
    PamNote();
    if (mode_ == ServiceMode::kPresence) SetStartEntry(settings_.system.InstallPath, true);
    return StartServices(settings_, mode_, changed_, r_);
  }

  void Summary() {
    const SYSTEMSTRUCT& sys = settings_.system;
    // Where the services listen: the address they were given, else every IPv4 address.
    const std::string listen = sys.ListenAddress[0] == '\0'
                                   ? std::string(kSummaryListen)
                                   : Format(kSummaryListenAddress, sys.ListenAddress);
    const char* at = listen.c_str();
    r_.Text("\n");
    r_.Line("SMTP", Format(kSummarySmtp, at, settings_.smtp.Port, sys.Domain));
    r_.Line("POP3", Format(kSummaryPop3, at, settings_.pop3.Port));
    std::string control = std::string(sys.InstallPath) + "/" +
                          (mode_ == ServiceMode::kSystemd ? "qvctrl" : "qvctrl95");
    if (access(control.c_str(), X_OK) == 0)
      r_.Line("control", Format(kSummaryControl, at, sys.Port, sys.PasswordPort));
    TlsSummary(at);
    if (sys.AdministratorName[0] != '\0')
      r_.Line("admin", Format("%s@%s, mailbox %s/%s", sys.AdministratorName, primary_.c_str(),
                              sys.MailPath, sys.AdministratorMailBox));
    r_.Line("settings", reg::RegistryFilePath());
    r_.Line("logs", sys.LogPath);
  }

  // The TLS listeners, when the registry names a certificate.
  void TlsSummary(const char* at) {
    const SYSTEMSTRUCT& sys = settings_.system;
    if (sys.TlsCertificate[0] == '\0' || sys.TlsKey[0] == '\0') return;
    const SMTPSTRUCT& smtp = settings_.smtp;
    if (smtp.SubmissionPort != 0)
      r_.Line("submission", Format(kSummarySubmission, at, smtp.SubmissionPort));
    if (smtp.SmtpsPort != 0) r_.Line("SMTPS", Format(kSummarySmtps, at, smtp.SmtpsPort));
    if (settings_.pop3.Pop3sPort != 0)
      r_.Line("POP3S", Format(kSummaryPop3s, at, settings_.pop3.Pop3sPort));
    if (sys.TlsControlPort != 0)
      r_.Line("control", Format(kSummaryControlTls, at, sys.TlsControlPort));
    r_.Line("TLS", Format(kSummaryTls, sys.TlsCertificate, sys.TlsKey));
    const char* relay = smtp.RelayNetworks;
    r_.Line("relay", relay[0] == '\0'                    ? std::string(kSummaryRelayAll)
                     : std::string_view(relay) == "none" ? std::string(kSummaryRelayNone)
                                                         : Format(kSummaryRelay, relay));
  }

  const SetupOptions& o_;
  Reporter& r_;
  const std::string prefix_;
  const std::string from_;  // where the programs are taken from
  ServiceMode mode_ = ServiceMode::kPresence;
  bool changed_ = false;  // a program or a setting changed: running services restart
  FolderOwner owner_ = InstallingUser();  // owns the folders and everything in them
  Settings settings_;
  std::string primary_;
};

}  // namespace

int Install(const SetupOptions& o, Reporter& r) {
  return Installation(o, r).Run();
}

int Uninstall(const SetupOptions& o, Reporter& r) {
  if (!Installed()) {
    r.Line("nothing", Format(kErrNotInstalled, platform::SystemRoot().c_str()));
    return kExitOk;
  }
  Settings s = LoadInstalled();
  const std::string install = s.system.InstallPath;
  size_t count = 0;
  const ServiceInfo* all = Services(&count);
  for (size_t i = 0; i < count; ++i) {
    if (platform::FindServiceWindow(all[i].name)) {
      if (!StopPresenceService(all[i], kStopTimeoutMs))
        return r.Fail(Format(kErrStop, all[i].name));
      r.Line("stopped", all[i].name);
    }
    struct stat st {};
    if (platform::ServiceManagerAvailable() && stat(UnitPath(all[i]).c_str(), &st) == 0) {
      if (!RemoveSystemdService(all[i]))
        return r.Fail(Format(kErrRemove, UnitPath(all[i]).c_str(), "unit still there"));
      r.Line("removed", UnitPath(all[i]));
    }
    unlink(platform::PresencePath(all[i].name).c_str());
  }
  SetStartEntry(install, false);

  if (o.purge) {
    for (const char* dir :
         {s.system.MailPath, s.system.TempPath, s.system.LogPath, s.system.ConfigPath}) {
      std::string path = Absolute(dir);
      if (!IsDirectory(path)) continue;
      // Only what lies inside the installation folder is ours to remove.
      if (path.size() <= install.size() + 1 ||
          path.compare(0, install.size() + 1, install + "/") != 0) {
        r.Line("left", path + " (outside " + install + ")");
        continue;
      }
      std::error_code ec;
      fs::remove_all(path, ec);
      if (ec) return r.Fail(Format(kErrRemove, path.c_str(), ec.message().c_str()));
      r.Line("removed", path);
    }
  } else {
    r.Line("kept", Format("%s, %s and %s (--purge removes them)", s.system.MailPath,
                          s.system.ConfigPath, s.system.LogPath));
  }

  for (const std::string& name : ReadManifest(install)) {
    std::string path = install + "/" + name;
    if (unlink(path.c_str()) == 0) r.Line("removed", path);
  }
  unlink((install + "/" + kManifestName).c_str());
  if (rmdir(install.c_str()) == 0) r.Line("removed", install);

  if (!o.pam_dir.empty() && o.pam_dir != "none") {
    std::string pam = o.pam_dir + "/" + kPamServiceName, text;
    if (platform::ReadWholeFile(pam, &text) && text == PamServiceText(o.pam_dir) &&
        unlink(pam.c_str()) == 0)
      r.Line("removed", pam);
  }

  // The keys go in one replacement of the registry file.
  reg::Batch batch;
  for (const char* key : {"System\\CurrentControlSet\\Services\\QuorvaneControl",
                          "System\\CurrentControlSet\\Services\\QuorvaneSmtp",
                          "System\\CurrentControlSet\\Services\\QuorvanePop3"}) {
    long rc = reg::DeleteKey(key);
    if (rc != reg::kSuccess && rc != reg::kFileNotFound) return r.Fail(Format(kErrRemoveKey, key));
  }
  if (o.purge) reg::DeleteKey(kProductKey);
  if (batch.Commit() != reg::kSuccess)
    return r.Fail(Format(kErrRemoveKey, "System\\CurrentControlSet\\Services\\Quorvane*"));
  r.Line("removed", "the registry keys of the services");
  return kExitOk;
}

int ShowStatus(Reporter& r) {
  if (!Installed()) return r.Fail(Format(kErrNotInstalled, platform::SystemRoot().c_str()));
  Settings s = LoadInstalled();
  ServiceMode mode = InstalledMode();
  int code = kExitOk;
  for (const ServiceRun& run : ServiceRuns(s, mode)) {
    if (access(run.program.c_str(), X_OK) != 0) {
      r.Status(run.info->name, "not installed (" + run.program + ")");
      continue;
    }
    pid_t pid = 0;
    if (Running(*run.info, mode, &pid)) {
      r.Status(run.info->name,
               Format("running%s, port %d",
                      pid > 0 ? Format(", pid %d", static_cast<int>(pid)).c_str() : "", run.port));
    } else {
      r.Status(run.info->name, Format("stopped, port %d", run.port));
      code = kExitNotRunning;
    }
  }
  return code;
}

int ShowMailbox(const SetupOptions& o, Reporter& r) {
  if (!Installed()) return r.Fail(Format(kErrNotInstalled, platform::SystemRoot().c_str()));
  Settings s = LoadInstalled();
  std::string dir = std::string(s.system.MailPath) + "/" + o.mailbox;
  if (!IsSafeMailboxName(o.mailbox) || !IsDirectory(dir))
    return r.Fail(Format(kErrMailbox, o.mailbox.c_str()));
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name[0] != '.' && EndsWithNoCase(name, ".in")) files.push_back(name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) r.Line("empty", dir);
  for (const std::string& name : files) {
    std::string text;
    if (ReadMessageFile(dir + "/" + name, 0, &text) != 0) continue;
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
    r.Text("==== " + dir + "/" + name + "\n" + plain +
           (plain.empty() || plain.back() == '\n' ? "" : "\n"));
  }
  return kExitOk;
}

}  // namespace qv::setup
