#include "RipOutputs.h"

#include <algorithm>

namespace velmor {
namespace {

// The folder part of a path with its final separator, found by characters: the second byte of
// a GBK character may be a "\".
std::string FolderOf(const std::string &path) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size())
      ++i;
    else if (path[i] == '\\' || path[i] == '/' || path[i] == ':')
      end = i + 1;
  }
  return end == 0 ? ".\\" : path.substr(0, end);
}

// A new file beside `path` under a name of its own ("vrp1A2B.tmp"), made new like every file of
// the rip; another program's file of that name is left alone and the next number tried.
std::unique_ptr<RippedImageFile> CreateBeside(const std::string &path) {
  const std::string folder = FolderOf(path);
  const UINT start = GetTickCount() ^ GetCurrentProcessId();
  std::unique_ptr<RippedImageFile> file;
  for (UINT i = 0; i < 256; ++i) {
    char name[MAX_PATH + 16];
    const UINT unique = ((start + i) & 0xFFFF) | 1; // 0 would make the system create the file
    if (folder.size() + 14 > MAX_PATH || !GetTempFileNameA(folder.c_str(), "vrp", unique, name))
      break;
    file = std::make_unique<RippedImageFile>(name);
    if (file->IsOpen() ||
        (file->LastError() != ERROR_FILE_EXISTS && file->LastError() != ERROR_ALREADY_EXISTS))
      return file;
  }
  return file ? std::move(file) : std::make_unique<RippedImageFile>(path);
}

} // namespace

RipOutputs::RipOutputs(std::vector<std::string> replaced) : replaced_(std::move(replaced)) {}

RipOutputs::~RipOutputs() { Discard(); }

std::unique_ptr<RippedImageFile> RipOutputs::Create(const std::string &path) {
  const bool replacing = std::find(replaced_.begin(), replaced_.end(), path) != replaced_.end();
  std::unique_ptr<RippedImageFile> file =
      replacing ? CreateBeside(path) : std::make_unique<RippedImageFile>(path);
  if (file->IsOpen())
    made_.push_back({file->Path(), path});
  return file;
}

bool RipOutputs::Commit(std::string &failed, DWORD &error) {
  std::vector<Made> made;
  made.swap(made_);
  bool committed = true;
  for (const Made &m : made) {
    if (m.written == m.path)
      continue;
    if (committed && MoveFileExA(m.written.c_str(), m.path.c_str(), MOVEFILE_REPLACE_EXISTING))
      continue;
    if (committed) {
      failed = m.path;
      error = GetLastError();
      committed = false;
    }
    DeleteFileA(m.written.c_str());
  }
  return committed;
}

void RipOutputs::Discard() {
  for (const Made &m : made_)
    DeleteFileA(m.written.c_str());
  made_.clear();
}

} // namespace velmor
