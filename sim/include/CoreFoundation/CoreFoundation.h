// Simulated Mac: the subset of <CoreFoundation/CoreFoundation.h> that the
// daemon uses, with Apple's names, types and ownership rules.
#ifndef HESTLE_SIM_COREFOUNDATION_H
#define HESTLE_SIM_COREFOUNDATION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Boolean;
typedef signed long CFIndex;
typedef unsigned long CFTypeID;
typedef const void *CFTypeRef;

typedef const struct __CFAllocator *CFAllocatorRef;
typedef const struct __CFString *CFStringRef;
typedef const struct __CFDictionary *CFDictionaryRef;
typedef struct __CFDictionary *CFMutableDictionaryRef;
typedef const struct __CFNumber *CFNumberRef;
typedef const struct __CFBoolean *CFBooleanRef;
typedef const struct __CFArray *CFArrayRef;

typedef unsigned long CFOptionFlags;
typedef signed int SInt32;

typedef uint32_t CFStringEncoding;
enum { kCFStringEncodingUTF8 = 0x08000100 };

// A distinct enumeration over CFIndex, as Apple declares it: a plain integer
// does not convert to it.
enum CFNumberType : CFIndex {
  kCFNumberSInt8Type = 1,
  kCFNumberSInt16Type = 2,
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5,
  kCFNumberFloat64Type = 6,
  kCFNumberCharType = 7,
  kCFNumberShortType = 8,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
  kCFNumberLongLongType = 11,
  kCFNumberFloatType = 12,
  kCFNumberDoubleType = 13,
  kCFNumberCFIndexType = 14,
  kCFNumberNSIntegerType = 15,
  kCFNumberCGFloatType = 16
};

// CFSTR("text"): a constant string that lives as long as the process;
// retaining and releasing it do nothing.
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")
CFStringRef __CFStringMakeConstantString(const char *cStr);

extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

// Releasing NULL is a crash on a Mac, and so it is here.
void CFRelease(CFTypeRef cf);
CFTypeRef CFRetain(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);

CFTypeID CFDictionaryGetTypeID(void);
CFIndex CFDictionaryGetCount(CFDictionaryRef theDict);
void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void **keys, const void **values);
const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key);

CFTypeID CFArrayGetTypeID(void);
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);  // not retained for the caller

CFTypeID CFStringGetTypeID(void);
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char *buffer, CFIndex bufferSize, CFStringEncoding encoding);
const char *CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);

CFTypeID CFNumberGetTypeID(void);
CFNumberType CFNumberGetType(CFNumberRef number);
Boolean CFNumberIsFloatType(CFNumberRef number);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr);

CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

// ---- Time and dates ----------------------------------------------------------

typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;  // seconds since 2001-01-01 00:00:00 UTC
typedef const struct __CFDate *CFDateRef;

extern const CFTimeInterval kCFAbsoluteTimeIntervalSince1970;  // 978307200.0
CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);  // +1
CFTypeID CFDateGetTypeID(void);
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);

// ---- Run loops -----------------------------------------------------------------

typedef struct __CFRunLoop *CFRunLoopRef;
typedef struct __CFRunLoopSource *CFRunLoopSourceRef;
typedef CFStringRef CFRunLoopMode;

extern const CFRunLoopMode kCFRunLoopDefaultMode;

#ifdef __cplusplus
enum CFRunLoopRunResult : SInt32 {
#else
typedef SInt32 CFRunLoopRunResult;
enum {
#endif
  kCFRunLoopRunFinished = 1,
  kCFRunLoopRunStopped = 2,
  kCFRunLoopRunTimedOut = 3,
  kCFRunLoopRunHandledSource = 4
};

CFRunLoopRef CFRunLoopGetCurrent(void);  // not retained
// The run loop retains a source while it holds it.
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
// Serves the sources of `mode` for up to `seconds`; kCFRunLoopRunFinished at
// once when the mode has no source.
CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled);

// ---- File descriptors in a run loop ------------------------------------------------

typedef int CFFileDescriptorNativeDescriptor;
typedef struct __CFFileDescriptor *CFFileDescriptorRef;

// CF_ENUM(CFOptionFlags) in Apple's header: an anonymous enumeration whose
// underlying type is CFOptionFlags.
enum : CFOptionFlags { kCFFileDescriptorReadCallBack = 1UL << 0, kCFFileDescriptorWriteCallBack = 1UL << 1 };

typedef void (*CFFileDescriptorCallBack)(CFFileDescriptorRef f, CFOptionFlags callBackTypes, void *info);

typedef struct {
  CFIndex version;
  void *info;
  void *(*retain)(void *info);
  void (*release)(void *info);
  CFStringRef (*copyDescription)(void *info);
} CFFileDescriptorContext;

CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef allocator, CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate, CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext *context);  // +1
// Callbacks are one-shot: enable them again after each one.
void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes);
CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef allocator, CFFileDescriptorRef f,
                                                       CFIndex order);  // +1
void CFFileDescriptorInvalidate(CFFileDescriptorRef f);

#ifdef __cplusplus
}
#endif

#endif
