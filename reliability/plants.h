// What a local user can place in the world-writable data directory, and a
// fingerprint of everything outside it to prove the daemon never touched it.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>

enum class PlantKind {
  symlinkToFile,       // to a file of root's outside the directory
  symlinkDangling,     // to a path outside that does not exist yet
  symlinkToDirectory,  // to a directory outside
  hardLinkToRootFile,  // a second name for a file of root's outside
  directory,
  fifo,
  socket,
  device,       // a character device (a copy of /dev/zero)
  foreignFile,  // a regular file owned by another user
};

const char* plantKindName(PlantKind kind);

// A scratch tree: `root`/data is the data directory (mode 0777), `root`/outside
// holds files of root's that no link planted in data may lead to.
struct PlantSite {
  std::string root;
  std::string data() const { return root + "/data"; }
  std::string outside() const { return root + "/outside"; }
  std::string rootFile() const { return outside() + "/secret"; }        // mode 0600
  std::string missingTarget() const { return outside() + "/created"; }  // must never appear
};

// Creates data/ and outside/ with their contents.
void prepareSite(const PlantSite& site);

// Places `kind` at data/`name`. `foreignContent` is what a foreign file holds.
// Returns false (with errno) when the system refuses.
bool plant(const PlantSite& site, PlantKind kind, const std::string& name, const std::string& foreignContent);

// Type, mode, owner, size, content, link target and modification time of
// every entry under `root` except `exclude` (and what lies in it). Link
// counts and change times are left out: replacing a planted hard link in the
// data directory lowers its target's count, which is no harm to the target.
std::map<std::string, std::string> fingerprintTree(const std::string& root, const std::string& exclude);

// The differences between two fingerprints, one per line; empty when equal.
std::string describeChanges(const std::map<std::string, std::string>& before,
                            const std::map<std::string, std::string>& after);

inline constexpr uid_t kOtherUser = 65534;  // "nobody"
