// Paths as hosts on Windows spell them: drive letters, backslashes, any
// case, the \\?\ prefix, names beyond MAX_PATH and names that are not ASCII.
// FFmpeg reads every path as UTF-8, so the library's own file calls (sizes,
// the same-file check, the output's partial file and its deletion) must find
// the file that FFmpeg finds. And what Windows keeps of a replaced file, and
// what a host that dies mid-copy leaves.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/file_size.h"
#include "common/partial_file.h"
#include "common/same_file.h"
#include "jobs/session.h"
#include "support/fixtures.h"
#include "support/jobs.h"
#include "tacetra.h"

namespace {

namespace fs = std::filesystem;
using fixtures::FreeAllSlots;
using fixtures::Kind;
using fixtures::TempDir;
using json = nlohmann::json;

// The UTF-8 bytes a host passes for a path, and back.
std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

fs::path from_utf8(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

std::string with_slashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string upper_ascii(std::string path) {
  for (char& c : path) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return path;
}

// An absolute path with a drive letter and backslashes, as Windows spells it.
fs::path windows_dir(const TempDir& dir) { return fs::absolute(fs::path(dir.path())).make_preferred(); }

std::string write_clip(const fs::path& path) {
  fixtures::MediaLayout layout;
  layout.streams = {{Kind::video}, {Kind::audio}};
  fixtures::write_media(utf8(path), layout);
  return utf8(path);
}

int wait_final(int id) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    const int state = tacetra_status(id);
    if (state != TACETRA_PENDING && state != TACETRA_RUNNING) return state;
    if (std::chrono::steady_clock::now() > give_up) return state;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Listed with the Win32 calls: mingw's directory iterator cannot list a
// directory past MAX_PATH.
std::set<fs::path> names_in(const fs::path& dir) {
  const std::wstring pattern = LR"(\\?\)" + dir.native() + L"\\*";
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot list " + utf8(dir));
  std::set<fs::path> names;
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") names.insert(fs::path(name));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// A directory chain that makes every path in it longer than MAX_PATH.
fs::path long_dir(const fs::path& base) {
  fs::path dir = base / std::string(120, 'd') / std::string(120, 'e');
  fs::create_directories(dir);
  return dir;
}

struct Spelling {
  const char* what;
  std::string path;
};

// Ways of naming the same existing file on Windows.
std::vector<Spelling> spellings_of(const fs::path& file) {
  const std::string plain = utf8(file);
  const fs::path dir = file.parent_path();
  const std::string name = utf8(file.filename());
  return {
      {"drive letter and backslashes", plain},
      {"forward slashes", with_slashes(plain)},
      {"upper case", upper_ascii(plain)},
      {"lower-case drive letter", std::string(1, static_cast<char>(plain[0] | 0x20)) + plain.substr(1)},
      {"dot and dot-dot components", utf8(dir) + "\\.\\..\\" + utf8(dir.filename()) + "\\" + name},
      {"\\\\?\\ prefix", "\\\\?\\" + plain},
  };
}

TEST(WindowsPaths, EverySpellingOfAFileIsProbedMeasuredAndRefusedAsItsOwnOutput) {
  TempDir temp;
  FreeAllSlots guard;
  const fs::path dir = windows_dir(temp);
  const fs::path clips[] = {dir / "clip.mkv", dir / u8"Grüße 日本 été.mkv", long_dir(dir) / "clip.mkv"};
  for (const fs::path& clip : clips) {
    write_clip(clip);
    const std::int64_t size = static_cast<std::int64_t>(fs::file_size(clip));
    const std::string plain = utf8(clip);
    ASSERT_GT(size, 0);
    for (const Spelling& s : spellings_of(clip)) {
      SCOPED_TRACE(std::string(s.what) + ": " + s.path);
      const json probe = json::parse(tacetra_probe(s.path.c_str()));
      EXPECT_EQ(probe["ok"], true);
      EXPECT_EQ(probe["size_bytes"], size);
      EXPECT_EQ(tacetra::file_size(s.path.c_str()), size);
      EXPECT_TRUE(tacetra::same_file(plain.c_str(), s.path.c_str()));
      EXPECT_EQ(tacetra_start(plain.c_str(), s.path.c_str()), TACETRA_ERR_ARGS);
      EXPECT_EQ(tacetra_start(s.path.c_str(), plain.c_str()), TACETRA_ERR_ARGS);
    }
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(clip)), size);
  }
  EXPECT_EQ(tacetra_status(0), -1);
}

TEST(WindowsPaths, AJobWritesItsOutputUnderTheNameItWasGiven) {
  TempDir temp;
  const fs::path dir = windows_dir(temp);
  struct Case {
    const char* what;
    fs::path in;
    fs::path out;
  };
  const Case cases[] = {
      {"ASCII", dir / "a" / "in.mkv", dir / "a" / "out.mkv"},
      {"not ASCII", dir / "b" / u8"entrée ü.mkv", dir / "b" / u8"sortie ß 出力.mkv"},
      {"past MAX_PATH", long_dir(dir / "c") / "in.mkv", long_dir(dir / "c") / "out.mkv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FreeAllSlots guard;
    fs::create_directories(c.in.parent_path());
    const std::string in = write_clip(c.in);
    const std::string out = utf8(c.out);
    const int id = tacetra_start(in.c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), TACETRA_DONE) << tacetra_result(id);
    const json result = json::parse(tacetra_result(id));
    EXPECT_EQ(result["out_path"], out);
    EXPECT_EQ(result["in_size_bytes"], static_cast<std::int64_t>(fs::file_size(c.in)));
    ASSERT_TRUE(fs::exists(c.out));
    EXPECT_EQ(result["out_size_bytes"], static_cast<std::int64_t>(fs::file_size(c.out)));
    const fixtures::MediaSummary copy = fixtures::read_media(out);
    ASSERT_EQ(copy.streams.size(), 1u);
    EXPECT_TRUE(fixtures::same_payload(copy.streams[0], fixtures::read_media(in).streams[0]));
    // Nothing else: no partial file, no second spelling of the output.
    EXPECT_EQ(names_in(c.out.parent_path()), (std::set<fs::path>{c.in.filename(), c.out.filename()}));
  }
}

TEST(WindowsPaths, AFreedUnfinishedJobLeavesNoOutputBehind) {
  TempDir temp;
  const fs::path dir = windows_dir(temp);
  const fs::path in = dir / "long.mkv";
  fixtures::write_long(utf8(in), 20);
  for (const fs::path& out : {dir / "out.mkv", dir / u8"sortie ß 出力.mkv"}) {
    SCOPED_TRACE(utf8(out));
    const int id = tacetra_start(utf8(in).c_str(), utf8(out).c_str());
    ASSERT_GE(id, 0);
    tacetra_free(id);
    EXPECT_EQ(names_in(dir), std::set<fs::path>{in.filename()});
  }
}

// Slot 0 holds a running job, filled in by hand so that it is still running
// whatever the timing; its output does not exist yet, its input does.
TEST(WindowsPaths, AnOutputNamedLikeALiveJobsFilesInAnyCaseIsRefused) {
  TempDir temp;
  FreeAllSlots guard;
  const fs::path dir = windows_dir(temp);
  const std::string in = write_clip(dir / "in.mkv");
  const std::string live_out = utf8(dir / u8"Été Out.mkv");
  tacetra::mute_session& live = tacetra::g_sessions[0];
  live.in_use = 1;
  live.state = tacetra::MUTE_RUNNING;
  const std::string live_in = write_clip(dir / "live.mkv");
  std::snprintf(live.in_path, sizeof live.in_path, "%s", live_in.c_str());
  std::snprintf(live.out_path, sizeof live.out_path, "%s", live_out.c_str());
  // Absolute already: as tacetra_start would have resolved them.
  std::snprintf(live.in_path_resolved, sizeof live.in_path_resolved, "%s", live_in.c_str());
  std::snprintf(live.out_path_resolved, sizeof live.out_path_resolved, "%s", live_out.c_str());
  const Spelling taken[] = {
      {"the output in upper case, not ASCII too", utf8(dir / u8"ÉTÉ OUT.MKV")},
      {"the output with forward slashes", with_slashes(live_out)},
      {"the output with the extended-length prefix", "\\\\?\\" + live_out},
      {"the input in upper case", utf8(dir / "LIVE.MKV")},
  };
  for (const Spelling& s : taken) {
    EXPECT_EQ(tacetra_start(in.c_str(), s.path.c_str()), TACETRA_ERR_ARGS) << s.what;
  }
  const int other = tacetra_start(in.c_str(), utf8(dir / u8"été out 2.mkv").c_str());
  EXPECT_EQ(other, 1);
  EXPECT_EQ(wait_final(other), TACETRA_DONE) << tacetra_result(other);
  live.in_use = 0;
}

TEST(WindowsPaths, NamesOfFilesNotYetThereCompareWithoutCase) {
  TempDir temp;
  const std::string dir = utf8(windows_dir(temp));
  struct Case {
    std::string a;
    std::string b;
    bool same;
  };
  const Case cases[] = {
      {dir + "\\new.mkv", with_slashes(dir) + "/NEW.MKV", true},
      {dir + "\\new.mkv", upper_ascii(dir) + "\\New.mkv", true},
      {dir + "\\" + utf8(fs::path(u8"été.mkv")), dir + "\\" + utf8(fs::path(u8"ÉTÉ.mkv")), true},
      {dir + "\\" + utf8(fs::path(u8"straße.mkv")), dir + "\\" + utf8(fs::path(u8"strasse.mkv")), false},
      {dir + "\\new.mkv", dir + "\\new.mkv.part", false},
      {dir + "\\new.mkv", dir + "\\sub\\new.mkv", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tacetra::same_file(c.a.c_str(), c.b.c_str()), c.same) << c.a << " vs " << c.b;
  }
}

// A host that passes the ANSI code page's bytes rather than UTF-8 still
// reaches its file, as FFmpeg does when it reads.
TEST(WindowsPaths, AnAnsiNamedFileIsStillMeasured) {
  TempDir temp;
  const fs::path dir = windows_dir(temp);
  const std::string ansi_name = "caf\xe9.bin";  // not UTF-8
  wchar_t wide_name[16] = {};
  ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, ansi_name.c_str(), -1, wide_name, 16), 0);
  const fs::path file = dir / wide_name;
  std::ofstream(file, std::ios::binary) << "twelve bytes";
  const std::string ansi_path = utf8(dir) + "\\" + ansi_name;
  EXPECT_EQ(tacetra::file_size(ansi_path.c_str()), static_cast<std::int64_t>(fs::file_size(file)));
  EXPECT_TRUE(tacetra::same_file(ansi_path.c_str(), utf8(file).c_str()));
}

// The copy that replaces a file keeps what Windows keeps for it: its
// attributes (and security), through ReplaceFileW. A new file gets none.
TEST(WindowsOutputs, AReplacedFileKeepsItsAttributes) {
  TempDir temp;
  const fs::path dir = windows_dir(temp);
  const std::string in = write_clip(dir / "in.mkv");
  const fs::path out = dir / "hidden.mkv";
  std::ofstream(out, std::ios::binary) << "the user's own file";
  ASSERT_TRUE(SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_HIDDEN));
  const auto s = fixtures::run_worker(in, utf8(out));
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  EXPECT_NE(GetFileAttributesW(out.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_GT(fs::file_size(out), 20u);

  const fs::path fresh = dir / "new.mkv";
  const auto t = fixtures::run_worker(in, utf8(fresh));
  ASSERT_EQ(t->state, tacetra::MUTE_DONE) << t->error;
  EXPECT_EQ(GetFileAttributesW(fresh.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

// A host that dies mid-copy leaves no partial copy beside the user's file,
// which stays as it was. The host is a second process of this program,
// started with the output's path in its environment: it writes part of a
// copy, says so with a file, and waits to be ended, as the system ends a
// crashed host.
constexpr wchar_t killed_host_output[] = L"TACETRA_TEST_KILLED_HOST_OUTPUT";

bool run_as_killed_host() {
  wchar_t out[32768];
  const DWORD length = GetEnvironmentVariableW(killed_host_output, out, 32768);
  if (length == 0 || length >= 32768) return false;
  const fs::path out_path(out);
  static tacetra::partial_file copy;  // never destroyed: the process is ended
  if (copy.create(utf8(out_path).c_str()) != tacetra::partial_file::created::ok) ExitProcess(2);
  const std::string bytes(100000, 'c');
  if (copy.write(reinterpret_cast<const std::uint8_t*>(bytes.data()), 100000) != 100000) ExitProcess(3);
  std::ofstream(out_path.parent_path() / "writing", std::ios::binary) << "1";
  Sleep(INFINITE);
  return true;
}

// Before any test runs, in the process started as the host.
[[maybe_unused]] const bool is_killed_host = run_as_killed_host();

TEST(WindowsOutputs, AHostKilledMidCopyLeavesNothingBehind) {
  TempDir temp;
  const fs::path dir = windows_dir(temp);
  const fs::path out = dir / "out.mkv";
  const std::string users = "the user's own file";
  std::ofstream(out, std::ios::binary) << users;

  wchar_t program[32768];
  ASSERT_GT(GetModuleFileNameW(nullptr, program, 32768), 0u);
  std::wstring command = L"\"" + std::wstring(program) + L"\" --gtest_list_tests";
  ASSERT_TRUE(SetEnvironmentVariableW(killed_host_output, out.c_str()));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION host{};
  const bool started = CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &host) != 0;
  SetEnvironmentVariableW(killed_host_output, nullptr);
  ASSERT_TRUE(started);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  DWORD exit_code = STILL_ACTIVE;
  while (!fs::exists(dir / "writing") && GetExitCodeProcess(host.hProcess, &exit_code) &&
         exit_code == STILL_ACTIVE && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(fs::exists(dir / "writing")) << "the host ended with " << exit_code;
  TerminateProcess(host.hProcess, 1);
  WaitForSingleObject(host.hProcess, INFINITE);
  CloseHandle(host.hThread);
  CloseHandle(host.hProcess);

  EXPECT_EQ(names_in(dir), (std::set<fs::path>{"out.mkv", "writing"}));
  std::ifstream kept(out, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), users);
}

}  // namespace

#endif
