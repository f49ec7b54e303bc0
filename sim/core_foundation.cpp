// The CoreFoundation subset of the simulated Mac (first cut: links, does little).
#include <CoreFoundation/CoreFoundation.h>

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = nullptr;
const CFBooleanRef kCFBooleanFalse = nullptr;

void CFRelease(CFTypeRef) {}
CFTypeRef CFRetain(CFTypeRef cf) { return cf; }
CFTypeID CFGetTypeID(CFTypeRef) { return 0; }
CFTypeID CFDictionaryGetTypeID(void) { return 1; }
CFIndex CFDictionaryGetCount(CFDictionaryRef) { return 0; }
void CFDictionaryGetKeysAndValues(CFDictionaryRef, const void**, const void**) {}
const void* CFDictionaryGetValue(CFDictionaryRef, const void*) { return nullptr; }
CFTypeID CFStringGetTypeID(void) { return 2; }
CFIndex CFStringGetLength(CFStringRef) { return 0; }
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding) { return length * 4; }
Boolean CFStringGetCString(CFStringRef, char*, CFIndex, CFStringEncoding) { return false; }
const char* CFStringGetCStringPtr(CFStringRef, CFStringEncoding) { return nullptr; }
CFTypeID CFNumberGetTypeID(void) { return 3; }
CFNumberType CFNumberGetType(CFNumberRef) { return kCFNumberSInt64Type; }
Boolean CFNumberIsFloatType(CFNumberRef) { return false; }
Boolean CFNumberGetValue(CFNumberRef, CFNumberType, void*) { return false; }
CFTypeID CFBooleanGetTypeID(void) { return 4; }
Boolean CFBooleanGetValue(CFBooleanRef) { return false; }
