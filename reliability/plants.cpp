// Plants in the data directory and fingerprints of the tree around it.
#include "reliability/plants.h"

#include <filesystem>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "test_support.h"

namespace fs = std::filesystem;

const char* plantKindName(PlantKind kind) {
  switch (kind) {
    case PlantKind::symlinkToFile: return "SymlinkToFile";
    case PlantKind::symlinkDangling: return "SymlinkDangling";
    case PlantKind::symlinkToDirectory: return "SymlinkToDirectory";
    case PlantKind::hardLinkToRootFile: return "HardLinkToRootFile";
    case PlantKind::directory: return "Directory";
    case PlantKind::fifo: return "Fifo";
    case PlantKind::socket: return "Socket";
    case PlantKind::device: return "Device";
    case PlantKind::foreignFile: return "ForeignFile";
  }
  return "?";
}

void prepareSite(const PlantSite& site) {
  mkdir(site.data().c_str(), 0777);
  chmod(site.data().c_str(), 0777);
  mkdir(site.outside().c_str(), 0755);
  mkdir((site.outside() + "/dir").c_str(), 0700);
  writeWholeFile(site.rootFile(), "root's secret: 0123456789\n");
  chmod(site.rootFile().c_str(), 0600);
  writeWholeFile(site.outside() + "/dir/inner", "inner file\n");
  chmod((site.outside() + "/dir/inner").c_str(), 0640);
  writeWholeFile(site.root + "/beside-data", "a file next to the data directory\n");
  chmod((site.root + "/beside-data").c_str(), 0644);
}

static bool makeSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);  // the socket's name stays in the directory
  return ok;
}

bool plant(const PlantSite& site, PlantKind kind, const std::string& name, const std::string& foreignContent) {
  const std::string at = site.data() + "/" + name;
  unlink(at.c_str());
  switch (kind) {
    case PlantKind::symlinkToFile: return symlink(site.rootFile().c_str(), at.c_str()) == 0;
    case PlantKind::symlinkDangling: return symlink(site.missingTarget().c_str(), at.c_str()) == 0;
    case PlantKind::symlinkToDirectory: return symlink((site.outside() + "/dir").c_str(), at.c_str()) == 0;
    case PlantKind::hardLinkToRootFile: return link(site.rootFile().c_str(), at.c_str()) == 0;
    case PlantKind::directory: return mkdir(at.c_str(), 0777) == 0;
    case PlantKind::fifo: return mkfifo(at.c_str(), 0666) == 0;
    case PlantKind::socket: return makeSocket(at);
    case PlantKind::device: return mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0;
    case PlantKind::foreignFile:
      writeWholeFile(at, foreignContent);
      return chown(at.c_str(), kOtherUser, kOtherUser) == 0 && chmod(at.c_str(), 0666) == 0;
  }
  return false;
}

static std::string fingerprintEntry(const fs::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "gone";
  std::ostringstream out;
  out << "type=" << (st.st_mode & S_IFMT) << " mode=" << std::oct << (st.st_mode & 07777) << std::dec
      << " uid=" << st.st_uid << " gid=" << st.st_gid << " size=" << st.st_size << " mtime=" << st.st_mtim.tv_sec << "."
      << st.st_mtim.tv_nsec;
  if (S_ISLNK(st.st_mode)) out << " target=" << fs::read_symlink(path).string();
  if (S_ISREG(st.st_mode)) out << " content=" << readWholeFile(path.string());
  return out.str();
}

std::map<std::string, std::string> fingerprintTree(const std::string& root, const std::string& exclude) {
  std::map<std::string, std::string> prints;
  prints[root] = fingerprintEntry(root);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path() == exclude) {
      it.disable_recursion_pending();
      continue;
    }
    prints[it->path().string()] = fingerprintEntry(it->path());
  }
  return prints;
}

std::string describeChanges(const std::map<std::string, std::string>& before,
                            const std::map<std::string, std::string>& after) {
  std::ostringstream out;
  for (const auto& [path, print] : before) {
    auto it = after.find(path);
    if (it == after.end()) out << "removed " << path << "\n";
    else if (it->second != print) out << "changed " << path << ": " << print << " -> " << it->second << "\n";
  }
  for (const auto& [path, print] : after) {
    if (!before.count(path)) out << "created " << path << ": " << print << "\n";
  }
  return out.str();
}
