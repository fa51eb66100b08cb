// The client run as a process, with the real extension registered, on a
// temporary machine root; mail made by mutt, mpack and Python's email.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "platform/mapi/entry_id.h"
#include "platform/win/test_support.h"
#include "testutil/files.h"

extern char** environ;

namespace corvid::client::test {
namespace fs = std::filesystem;
using TFiles = std::vector<std::pair<std::string, std::string>>;  // name, bytes

using corvid::test::Quote;
using corvid::test::ReadFile;
using corvid::test::WriteFile;

inline std::string Dist(const std::string& program) { return Quote(std::string(CORVID_DIST) + "/" + program); }

inline int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Bytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

class TClientProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = machine_.Root();
    inbox_ = root_ / "mail" / "maildir";
    work_ = root_ / "work";
    fs::create_directories(work_ / "files");
    fs::create_directories(root_ / "tmp");
    const char* old = ::getenv("TMPDIR");
    old_tmpdir_ = old != nullptr ? old : "";
    ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
    ASSERT_EQ(Shell(Dist("corvid-mapi") + " stores >/dev/null"), 0);
    ASSERT_EQ(Shell(Dist("rundll32") + " " + Dist("corvina.dll") + ",Install_RunDLL 1"), 0);
  }

  void TearDown() override {
    if (old_tmpdir_.empty()) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    }
  }

  fs::path File(const std::string& name, const std::string& bytes) {
    WriteFile(work_ / "files" / name, bytes);
    return work_ / "files" / name;
  }
  // Runs `command` in the files folder (a peer making an archive).
  void InFiles(const std::string& command) {
    ASSERT_EQ(Shell("cd " + Quote((work_ / "files").string()) + " && " + command + " >/dev/null 2>&1"), 0)
        << command;
  }

  fs::path Mutt(const std::string& label, const std::vector<std::string>& files) {
    const fs::path out = work_ / (label + ".eml");
    const fs::path sendmail = work_ / ("sendmail-" + label);
    WriteFile(sendmail, "#!/bin/sh\ncat > " + Quote(out.string()) + "\n");
    fs::permissions(sendmail, fs::perms::owner_all);
    std::string command = "echo 'Body from mutt.' | HOME=" + Quote(work_.string()) +
                          " LC_ALL=C.UTF-8 mutt -F /dev/null -n -e 'set record=\"\"' -e 'set charset=utf-8'"
                          " -e 'set from=\"Sender <sender@example.org>\"' -e " +
                          Quote("set sendmail=\"" + sendmail.string() + "\"") + " -s 'From mutt' -a";
    for (const std::string& file : files) command += " " + Quote(file);
    InFiles(command + " -- b@example.com");
    return out;
  }
  fs::path Mpack(const std::string& label, const std::string& file) {
    const fs::path out = work_ / (label + ".eml");
    InFiles("mpack -s 'From mpack' -o " + Quote(out.string()) + " " + Quote(file));
    return out;
  }
  fs::path Python(const std::string& label, const std::vector<std::string>& files) {
    const fs::path out = work_ / (label + ".eml");
    const std::string script =
        "import sys\nfrom email.message import EmailMessage\n"
        "m=EmailMessage(); m['From']='a@example.com'; m['To']='b@example.com'; m['Subject']='From Python'\n"
        "m.set_content('Body from Python.')\n"
        "for f in sys.argv[2:]: m.add_attachment(open(f,'rb').read(),maintype='application',"
        "subtype='octet-stream',filename=f)\n"
        "open(sys.argv[1],'wb').write(bytes(m))\n";
    std::string command = "python3 -c " + Quote(script) + " " + Quote(out.string());
    for (const std::string& file : files) command += " " + Quote(file);
    InFiles(command);
    return out;
  }

  // Delivered as a delivery agent does (tmp/, then new/); its file name.
  std::string Deliver(const fs::path& message) {
    const std::string name = "test." + std::to_string(++delivered_) + ".host";
    fs::copy_file(message, inbox_ / "tmp" / name);
    fs::rename(inbox_ / "tmp" / name, inbox_ / "new" / name);
    return name;
  }
  // The inbox file of a delivered message, wherever its flags took it.
  std::vector<fs::path> InboxFiles(const std::string& name = "") {
    std::vector<fs::path> out;
    for (const char* sub : {"new", "cur"}) {
      for (const auto& entry : fs::directory_iterator(inbox_ / sub)) {
        if (name.empty() || entry.path().filename().string().rfind(name, 0) == 0) out.push_back(entry.path());
      }
    }
    return out;
  }
  // What Python's email reads of each message: its files, in order. One
  // Python for all of them.
  std::vector<TFiles> MimeFilesOf(const std::vector<fs::path>& paths) {
    const std::string script =
        "import email,email.policy,sys\n"
        "for f in sys.argv[1:]:\n"
        "  m=email.message_from_binary_file(open(f,'rb'),policy=email.policy.default)\n"
        "  assert not m.defects, m.defects\n"
        "  print('--')\n"
        "  for p in m.walk():\n"
        "    if not p.is_multipart() and p.get_filename():\n"
        "      print(p.get_filename()); print(p.get_payload(decode=True).hex())\n";
    const fs::path out = work_ / "mime.txt";
    std::string command = "python3 -c " + Quote(script);
    for (const fs::path& path : paths) command += " " + Quote(path.string());
    EXPECT_EQ(Shell(command + " >" + Quote(out.string())), 0);
    std::istringstream lines(ReadFile(out));
    std::vector<TFiles> messages;
    std::string name, hex;
    while (std::getline(lines, name)) {
      if (name == "--") {
        messages.emplace_back();
      } else if (std::getline(lines, hex) && !messages.empty()) {
        messages.back().emplace_back(name, mapi::BytesFromHex(hex).value_or("(not hex)"));
      }
    }
    return messages;
  }
  TFiles MimeFiles(const fs::path& path) {
    std::vector<TFiles> files = MimeFilesOf({path});
    return files.empty() ? TFiles{} : files[0];
  }

  std::string RunOnce() {
    const fs::path err = work_ / "run.err";
    EXPECT_EQ(Shell(Dist("corvid") + " run --once </dev/null 2>" + Quote(err.string())), 0) << ReadFile(err);
    return ReadFile(err);
  }

  pid_t Start(const fs::path& err) {
    // exec, so the pid is corvid's own and signals reach it.
    const std::string exec = "exec " + Dist("corvid") + " run </dev/null 2>" + Quote(err.string());
    const char* argv[] = {"/bin/sh", "-c", exec.c_str(), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ), 0);
    return pid;
  }
  static bool WaitFor(const std::function<bool()>& condition, int seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
  }
  static int Stop(pid_t pid, int signal) {
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  win::TTestMachine machine_;
  fs::path root_, inbox_, work_;
  std::string old_tmpdir_;
  int delivered_ = 0;
};

}  // namespace corvid::client::test
