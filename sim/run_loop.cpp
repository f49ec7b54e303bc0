// The simulated Mac's run loop: CFFileDescriptor and notification-port
// sources in the one thread's run loop, served by CFRunLoopRunInMode over the
// virtual clock, with Apple's ownership rules.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

#include "sim/cf_objects.h"
#include "sim/machine_state.h"

namespace {

using simmac::machine;

struct FileDescriptorData {
  int fd = -1;
  bool closeOnInvalidate = false;
  CFFileDescriptorCallBack callout = nullptr;
  CFFileDescriptorContext context{};
  CFOptionFlags enabled = 0;
  bool valid = true;
};

// The one thread's run loop: only its address is ever used.
int currentRunLoop = 0;

[[noreturn]] void crash(const char* function, const char* what) {
  std::fprintf(stderr, "simulated Mac: %s: %s\n", function, what);
  std::fflush(stderr);
  std::abort();
}

FileDescriptorData* fileDescriptor(CFTypeRef f, const char* function) {
  return static_cast<FileDescriptorData*>(simmac::opaquePayload(f, simmac::kFileDescriptorTypeID, function));
}

simmac::RunLoopSourceData* source(CFTypeRef s, const char* function) {
  return static_cast<simmac::RunLoopSourceData*>(simmac::opaquePayload(s, simmac::kRunLoopSourceTypeID, function));
}

std::string modeName(CFRunLoopMode mode, const char* function) {
  auto name = simmac::stringOf(mode);
  if (!name) crash(function, "the mode is not a CFString");
  return *name;
}

void checkRunLoop(CFRunLoopRef rl, const char* function) {
  if (rl != reinterpret_cast<CFRunLoopRef>(&currentRunLoop)) crash(function, "not a run loop");
}

bool readable(int fd) {
  if (fd < 0) return false;
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    const int n = poll(&pfd, 1, 0);
    if (n >= 0) return n > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (errno != EINTR) return false;
  }
}

// A source whose file descriptor has its read callback armed and data waiting.
bool fileDescriptorReady(const simmac::RunLoopSourceData& data) {
  if (!data.valid || data.fileDescriptor == nullptr) return false;
  const FileDescriptorData* fd = fileDescriptor(data.fileDescriptor, "CFRunLoopRunInMode");
  return fd->valid && (fd->enabled & kCFFileDescriptorReadCallBack) != 0 && readable(fd->fd);
}

}  // namespace

namespace simmac {

void invalidateRunLoopSource(CFRunLoopSourceRef s) {
  RunLoopSourceData* data = source(s, "CFRunLoopSourceInvalidate");
  if (!data->valid) return;
  data->valid = false;
  // An invalid source leaves every run loop, which lets go of it.
  auto& sources = machine().runLoopSources;
  std::vector<CFRunLoopSourceRef> held;
  for (auto it = sources.begin(); it != sources.end();) {
    if (it->second == s) {
      held.push_back(it->second);
      it = sources.erase(it);
    } else {
      ++it;
    }
  }
  for (CFRunLoopSourceRef r : held) CFRelease(r);
}

bool modeHasSources(const std::string& mode) {
  for (const auto& [name, s] : machine().runLoopSources)
    if (name == mode) return true;
  return false;
}

std::vector<int> watchedDescriptors(const std::string& mode) {
  std::vector<int> fds;
  for (const auto& [name, s] : machine().runLoopSources) {
    if (name != mode) continue;
    const RunLoopSourceData* data = source(s, "CFRunLoopRunInMode");
    if (data->valid && data->fileDescriptor != nullptr) {
      const FileDescriptorData* fd = fileDescriptor(data->fileDescriptor, "CFRunLoopRunInMode");
      if (fd->valid && (fd->enabled & kCFFileDescriptorReadCallBack) != 0) fds.push_back(fd->fd);
    }
  }
  return fds;
}

bool dispatchOneSource(const std::string& mode) {
  // A copy: a callout may add or remove sources.
  std::vector<CFRunLoopSourceRef> candidates;
  for (const auto& [name, s] : machine().runLoopSources)
    if (name == mode) candidates.push_back(s);
  std::stable_sort(candidates.begin(), candidates.end(), [](CFRunLoopSourceRef a, CFRunLoopSourceRef b) {
    return source(a, "CFRunLoopRunInMode")->order < source(b, "CFRunLoopRunInMode")->order;
  });
  for (CFRunLoopSourceRef s : candidates) {
    if (!isLiveObject(s)) continue;
    RunLoopSourceData* data = source(s, "CFRunLoopRunInMode");
    if (!data->valid) continue;
    if (data->port != nullptr) {
      if (!portHasMessage(data->port)) continue;
      CFRetain(s);
      deliverPortMessage(data->port);
      CFRelease(s);
      return true;
    }
    if (!fileDescriptorReady(*data)) continue;
    CFRetain(s);
    CFFileDescriptorRef f = data->fileDescriptor;
    CFRetain(f);
    FileDescriptorData* fd = fileDescriptor(f, "CFRunLoopRunInMode");
    fd->enabled &= ~static_cast<CFOptionFlags>(kCFFileDescriptorReadCallBack);  // one-shot
    if (fd->callout) fd->callout(f, kCFFileDescriptorReadCallBack, fd->context.info);
    CFRelease(f);
    CFRelease(s);
    return true;
  }
  return false;
}

}  // namespace simmac

extern "C" {

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");

CFRunLoopRef CFRunLoopGetCurrent(void) { return reinterpret_cast<CFRunLoopRef>(&currentRunLoop); }

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef s, CFRunLoopMode mode) {
  checkRunLoop(rl, "CFRunLoopAddSource");
  const std::string name = modeName(mode, "CFRunLoopAddSource");
  if (!source(s, "CFRunLoopAddSource")->valid) return;  // an invalid source is not added
  auto& sources = machine().runLoopSources;
  for (const auto& entry : sources)
    if (entry.first == name && entry.second == s) return;
  CFRetain(s);
  sources.emplace_back(name, s);
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef s, CFRunLoopMode mode) {
  checkRunLoop(rl, "CFRunLoopRemoveSource");
  const std::string name = modeName(mode, "CFRunLoopRemoveSource");
  source(s, "CFRunLoopRemoveSource");
  auto& sources = machine().runLoopSources;
  for (auto it = sources.begin(); it != sources.end(); ++it) {
    if (it->first == name && it->second == s) {
      sources.erase(it);
      CFRelease(s);
      return;
    }
  }
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled) {
  const std::string name = modeName(mode, "CFRunLoopRunInMode");
  simmac::Machine& m = machine();
  if (m.waitHook) m.waitHook(m.now);
  if (!simmac::modeHasSources(name)) return kCFRunLoopRunFinished;
  if (!(seconds > 0.0)) seconds = 0.0;
  if (!std::isfinite(seconds)) seconds = 1e12;
  bool handled = false;
  simmac::waitUntilReady(
      seconds,
      [&] {
        if (returnAfterSourceHandled) return handled = simmac::dispatchOneSource(name);
        while (simmac::dispatchOneSource(name)) handled = true;
        return !simmac::modeHasSources(name);
      },
      [&] { return simmac::watchedDescriptors(name); });
  if (handled && returnAfterSourceHandled) return kCFRunLoopRunHandledSource;
  if (!simmac::modeHasSources(name)) return kCFRunLoopRunFinished;
  return kCFRunLoopRunTimedOut;
}

CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef, CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate, CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext* context) {
  if (fd < 0) return nullptr;
  auto* data = new FileDescriptorData;
  data->fd = fd;
  data->closeOnInvalidate = closeOnInvalidate != 0;
  data->callout = callout;
  if (context) {
    data->context = *context;
    if (context->retain) data->context.info = context->retain(context->info);
  }
  return reinterpret_cast<CFFileDescriptorRef>(const_cast<void*>(
      simmac::createOpaque(simmac::kFileDescriptorTypeID, data, [data] {
        if (data->valid && data->closeOnInvalidate) close(data->fd);
        if (data->context.release) data->context.release(data->context.info);
        delete data;
      })));
}

void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes) {
  FileDescriptorData* data = fileDescriptor(f, "CFFileDescriptorEnableCallBacks");
  if (data->valid) data->enabled |= callBackTypes;
}

CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef, CFFileDescriptorRef f, CFIndex order) {
  fileDescriptor(f, "CFFileDescriptorCreateRunLoopSource");
  CFRetain(f);  // the source keeps its file descriptor
  auto* data = new simmac::RunLoopSourceData;
  data->fileDescriptor = f;
  data->order = order;
  return reinterpret_cast<CFRunLoopSourceRef>(
      const_cast<void*>(simmac::createOpaque(simmac::kRunLoopSourceTypeID, data, [data, f] {
        CFRelease(f);
        delete data;
      })));
}

void CFFileDescriptorInvalidate(CFFileDescriptorRef f) {
  FileDescriptorData* data = fileDescriptor(f, "CFFileDescriptorInvalidate");
  if (!data->valid) return;
  CFRetain(f);
  // Its sources go invalid with it and leave the run loop.
  std::vector<CFRunLoopSourceRef> mine;
  for (const auto& [name, s] : machine().runLoopSources)
    if (source(s, "CFFileDescriptorInvalidate")->fileDescriptor == f) mine.push_back(s);
  for (CFRunLoopSourceRef s : mine)
    if (simmac::isLiveObject(s)) simmac::invalidateRunLoopSource(s);
  if (data->closeOnInvalidate) close(data->fd);
  data->valid = false;
  data->enabled = 0;
  CFRelease(f);
}

}  // extern "C"
