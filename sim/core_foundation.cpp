// The CoreFoundation subset of the simulated Mac: strings, numbers, Booleans
// and dictionaries with reference counts, a registry of live objects, and the
// crash a Mac gives on a release of NULL or of a dead object.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "sim/cf_objects.h"

namespace {

// The type ids a Mac reports for these classes.
constexpr CFTypeID kStringTypeID = 7;
// As on a Mac, CFNumberType is an enumeration over CFIndex that a plain integer
// does not convert to: code that passes one fails here as it would there.
static_assert(!std::is_convertible_v<int, CFNumberType> &&
              std::is_same_v<std::underlying_type_t<CFNumberType>, CFIndex>);

constexpr CFTypeID kDictionaryTypeID = 18;
constexpr CFTypeID kArrayTypeID = 19;
constexpr CFTypeID kBooleanTypeID = 21;
constexpr CFTypeID kNumberTypeID = 22;

// One object of any of the four classes; the opaque CF struct pointers point here.
struct SimObject {
  CFTypeID type = 0;
  int64_t refs = 1;
  uint64_t period = 0;  // accounting period it was created in
  std::string text;                 // CFString (UTF-8)
  CFNumberType numberType = kCFNumberSInt64Type;  // CFNumber: kCFNumberSInt64Type or kCFNumberFloat64Type
  int64_t integer = 0;
  double real = 0.0;
  bool boolean = false;             // CFBoolean
  std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;  // CFDictionary
  std::vector<CFTypeRef> items;       // CFArray
  void* payload = nullptr;            // the other classes
  std::function<void()> finalize;
};

SimObject trueObject{kBooleanTypeID, 1, 0, {}, kCFNumberSInt64Type, 0, 0.0, true, {}, {}, nullptr, {}};
SimObject falseObject{kBooleanTypeID, 1, 0, {}, kCFNumberSInt64Type, 0, 0.0, false, {}, {}, nullptr, {}};

struct Registry {
  std::unordered_set<const SimObject*> live;
  // Released objects are kept (emptied) for a while, so that a second release
  // is recognised instead of hitting a new object at the same address.
  std::deque<SimObject*> quarantine;
  std::unordered_set<const SimObject*> quarantined;
  // CFSTR constants by text: never released, never counted.
  std::unordered_map<std::string, SimObject*> constants;
  std::unordered_set<const SimObject*> constantSet;
  uint64_t period = 1;
  int64_t created = 0;
  int64_t liveInPeriod = 0;
};
constexpr size_t kQuarantineSize = 4096;

// Never destroyed: objects may be released by static destructors at exit.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

[[noreturn]] void crash(const char* function, const char* what) {
  std::fprintf(stderr, "simulated Mac: %s: %s\n", function, what);
  std::fflush(stderr);
  std::abort();
}

bool isStatic(const void* cf) {
  return cf == &trueObject || cf == &falseObject || registry().constantSet.count(static_cast<const SimObject*>(cf)) != 0;
}

// The object behind `cf`, which must be live (a Mac crashes on anything else).
SimObject* object(CFTypeRef cf, const char* function) {
  if (cf == nullptr) crash(function, "called with NULL");
  auto* obj = static_cast<SimObject*>(const_cast<void*>(cf));
  if (isStatic(cf)) return obj;
  if (registry().live.count(obj) == 0) {
    if (registry().quarantined.count(obj) != 0) crash(function, "object already released (over-release)");
    crash(function, "not a CF object");
  }
  return obj;
}

SimObject* typed(CFTypeRef cf, CFTypeID type, const char* function) {
  SimObject* obj = object(cf, function);
  if (obj->type != type) crash(function, "object of the wrong CF type");
  return obj;
}

SimObject* make(CFTypeID type) {
  auto* obj = new SimObject;
  obj->type = type;
  Registry& r = registry();
  obj->period = r.period;
  r.live.insert(obj);
  ++r.created;
  ++r.liveInPeriod;
  return obj;
}

void destroy(SimObject* obj) {
  Registry& r = registry();
  r.live.erase(obj);
  if (obj->period == r.period) --r.liveInPeriod;
  auto entries = std::move(obj->entries);
  obj->entries.clear();
  auto items = std::move(obj->items);
  obj->items.clear();
  auto finalize = std::move(obj->finalize);
  obj->finalize = nullptr;
  obj->payload = nullptr;
  obj->text.clear();
  obj->text.shrink_to_fit();
  r.quarantine.push_back(obj);
  r.quarantined.insert(obj);
  if (r.quarantine.size() > kQuarantineSize) {
    SimObject* old = r.quarantine.front();
    r.quarantine.pop_front();
    r.quarantined.erase(old);
    delete old;
  }
  for (auto& [key, value] : entries) {
    CFRelease(key);
    CFRelease(value);
  }
  for (CFTypeRef item : items) CFRelease(item);
  if (finalize) finalize();
}

bool equalObjects(CFTypeRef a, CFTypeRef b) {
  if (a == b) return true;
  const auto* x = static_cast<const SimObject*>(a);
  const auto* y = static_cast<const SimObject*>(b);
  if (x->type != y->type) return false;
  if (x->type == kStringTypeID) return x->text == y->text;
  if (x->type == kNumberTypeID) {
    if (x->numberType == kCFNumberSInt64Type && y->numberType == kCFNumberSInt64Type) return x->integer == y->integer;
    const double dx = x->numberType == kCFNumberSInt64Type ? static_cast<double>(x->integer) : x->real;
    const double dy = y->numberType == kCFNumberSInt64Type ? static_cast<double>(y->integer) : y->real;
    return dx == dy;
  }
  return false;
}

// Storing a value into the caller's slot of the requested type. Each returns
// whether the value survived the conversion exactly.
template <typename T>
bool storeIntegerAs(int64_t v, void* out) {
  const T t = static_cast<T>(v);
  std::memcpy(out, &t, sizeof t);
  if constexpr (std::is_floating_point_v<T>) {
    // Exact when converting back gives the same integer (2^63 itself does not fit).
    const double d = static_cast<double>(t);
    return d >= -9223372036854775808.0 && d < 9223372036854775808.0 && static_cast<int64_t>(d) == v;
  } else {
    return v >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
           v <= static_cast<int64_t>(std::numeric_limits<T>::max());
  }
}

template <typename T>
bool storeRealAs(double v, void* out) {
  if constexpr (std::is_floating_point_v<T>) {
    const T t = static_cast<T>(v);
    std::memcpy(out, &t, sizeof t);
    return std::isnan(v) || static_cast<double>(t) == v;
  } else {
    // Out of range: the nearest representable value (a NaN: 0), and false.
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
    constexpr double hiExclusive = -lo;  // 2^(bits-1)
    T t = 0;
    bool exact = false;
    if (std::isnan(v)) {
      t = 0;
    } else if (v < lo) {
      t = std::numeric_limits<T>::min();
    } else if (v >= hiExclusive) {
      t = std::numeric_limits<T>::max();
    } else {
      t = static_cast<T>(v);  // truncates toward zero
      exact = static_cast<double>(t) == v;
    }
    std::memcpy(out, &t, sizeof t);
    return exact;
  }
}

}  // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  if (cStr == nullptr) crash("CFSTR", "called with NULL");
  Registry& r = registry();
  auto it = r.constants.find(cStr);
  if (it == r.constants.end()) {
    auto* obj = new SimObject;
    obj->type = kStringTypeID;
    obj->text = cStr;
    it = r.constants.emplace(cStr, obj).first;
    r.constantSet.insert(obj);
  }
  return reinterpret_cast<CFStringRef>(it->second);
}
const CFBooleanRef kCFBooleanTrue = reinterpret_cast<CFBooleanRef>(&trueObject);
const CFBooleanRef kCFBooleanFalse = reinterpret_cast<CFBooleanRef>(&falseObject);

void CFRelease(CFTypeRef cf) {
  SimObject* obj = object(cf, "CFRelease");
  if (isStatic(cf)) return;
  if (--obj->refs == 0) destroy(obj);
}

CFTypeRef CFRetain(CFTypeRef cf) {
  SimObject* obj = object(cf, "CFRetain");
  if (!isStatic(cf)) ++obj->refs;
  return cf;
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return object(cf, "CFGetTypeID")->type; }

CFTypeID CFDictionaryGetTypeID(void) { return kDictionaryTypeID; }

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
  return static_cast<CFIndex>(typed(theDict, kDictionaryTypeID, "CFDictionaryGetCount")->entries.size());
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
  const SimObject* dict = typed(theDict, kDictionaryTypeID, "CFDictionaryGetKeysAndValues");
  size_t i = 0;
  for (const auto& [key, value] : dict->entries) {
    if (keys) keys[i] = key;
    if (values) values[i] = value;
    ++i;
  }
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
  const SimObject* dict = typed(theDict, kDictionaryTypeID, "CFDictionaryGetValue");
  object(key, "CFDictionaryGetValue");
  for (const auto& [k, v] : dict->entries)
    if (equalObjects(k, key)) return v;
  return nullptr;
}

CFTypeID CFArrayGetTypeID(void) { return kArrayTypeID; }

CFIndex CFArrayGetCount(CFArrayRef theArray) {
  return static_cast<CFIndex>(typed(theArray, kArrayTypeID, "CFArrayGetCount")->items.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
  const SimObject* a = typed(theArray, kArrayTypeID, "CFArrayGetValueAtIndex");
  if (idx < 0 || static_cast<size_t>(idx) >= a->items.size()) crash("CFArrayGetValueAtIndex", "index out of bounds");
  return a->items[static_cast<size_t>(idx)];
}

CFTypeID CFDateGetTypeID(void) { return simmac::kDateTypeID; }

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) {
  return *static_cast<double*>(typed(theDate, simmac::kDateTypeID, "CFDateGetAbsoluteTime")->payload);
}

CFTypeID CFStringGetTypeID(void) { return kStringTypeID; }

CFIndex CFStringGetLength(CFStringRef theString) {
  // The length in UTF-16 code units, as a Mac counts it.
  const std::string& s = typed(theString, kStringTypeID, "CFStringGetLength")->text;
  CFIndex units = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    units += (c >= 0xF0) ? 2 : 1;      // four-byte sequences are surrogate pairs
  }
  return units;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (encoding != kCFStringEncodingUTF8) return length;
  if (length > std::numeric_limits<CFIndex>::max() / 3) return -1;  // kCFNotFound
  return length * 3;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
  const std::string& s = typed(theString, kStringTypeID, "CFStringGetCString")->text;
  if (encoding != kCFStringEncodingUTF8 || buffer == nullptr || bufferSize <= 0) return false;
  if (static_cast<size_t>(bufferSize) < s.size() + 1) return false;
  std::memcpy(buffer, s.data(), s.size());
  buffer[s.size()] = '\0';
  return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding) {
  // A Mac may answer NULL for any string; here it always does, so that code
  // relying on the fast path is caught.
  typed(theString, kStringTypeID, "CFStringGetCStringPtr");
  return nullptr;
}

CFTypeID CFNumberGetTypeID(void) { return kNumberTypeID; }

CFNumberType CFNumberGetType(CFNumberRef number) {
  return typed(number, kNumberTypeID, "CFNumberGetType")->numberType;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
  return typed(number, kNumberTypeID, "CFNumberIsFloatType")->numberType == kCFNumberFloat64Type;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  const SimObject* n = typed(number, kNumberTypeID, "CFNumberGetValue");
  if (valuePtr == nullptr) crash("CFNumberGetValue", "called with a NULL value pointer");
  const bool isInteger = n->numberType == kCFNumberSInt64Type;
  auto store = [&](auto typeTag) -> bool {
    using T = decltype(typeTag);
    return isInteger ? storeIntegerAs<T>(n->integer, valuePtr) : storeRealAs<T>(n->real, valuePtr);
  };
  switch (theType) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
      return store(int8_t{});
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
      return store(int16_t{});
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
      return store(int32_t{});
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType:
      return store(int64_t{});
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
      return store(float{});
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType:
      return store(double{});
    default:
      crash("CFNumberGetValue", "invalid CFNumberType");
  }
}

CFTypeID CFBooleanGetTypeID(void) { return kBooleanTypeID; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  return typed(boolean, kBooleanTypeID, "CFBooleanGetValue")->boolean;
}

}  // extern "C"

namespace simmac {

CFStringRef createString(const std::string& utf8) {
  SimObject* obj = make(kStringTypeID);
  obj->text = utf8;
  return reinterpret_cast<CFStringRef>(obj);
}

CFNumberRef createInteger(int64_t value) {
  SimObject* obj = make(kNumberTypeID);
  obj->numberType = kCFNumberSInt64Type;
  obj->integer = value;
  return reinterpret_cast<CFNumberRef>(obj);
}

CFNumberRef createFloat(double value) {
  SimObject* obj = make(kNumberTypeID);
  obj->numberType = kCFNumberFloat64Type;
  obj->real = value;
  return reinterpret_cast<CFNumberRef>(obj);
}

CFMutableDictionaryRef createDictionary() {
  return reinterpret_cast<CFMutableDictionaryRef>(make(kDictionaryTypeID));
}

CFArrayRef createArray(const std::vector<CFTypeRef>& items) {
  SimObject* obj = make(kArrayTypeID);
  for (CFTypeRef item : items) obj->items.push_back(CFRetain(item));
  return reinterpret_cast<CFArrayRef>(obj);
}

void dictionaryAdd(CFMutableDictionaryRef dict, CFTypeRef key, CFTypeRef value) {
  SimObject* d = typed(dict, kDictionaryTypeID, "dictionaryAdd");
  CFRetain(key);
  CFRetain(value);
  d->entries.emplace_back(key, value);
}

std::optional<std::string> stringOf(CFTypeRef cf) {
  if (cf == nullptr) return std::nullopt;
  const auto* obj = static_cast<const SimObject*>(cf);
  if (!isStatic(cf) && registry().live.count(obj) == 0) return std::nullopt;
  if (obj->type != kStringTypeID) return std::nullopt;
  return obj->text;
}

CFTypeRef dictionaryValueForName(CFDictionaryRef dict, const std::string& key) {
  const SimObject* d = typed(dict, kDictionaryTypeID, "dictionaryValueForName");
  for (const auto& [k, v] : d->entries)
    if (auto name = stringOf(k); name && *name == key) return v;
  return nullptr;
}

CFTypeRef createOpaque(CFTypeID type, void* payload, std::function<void()> finalize) {
  SimObject* obj = make(type);
  obj->payload = payload;
  obj->finalize = std::move(finalize);
  return obj;
}

void* opaquePayload(CFTypeRef cf, CFTypeID type, const char* function) { return typed(cf, type, function)->payload; }

bool isLiveObject(CFTypeRef cf) {
  return cf != nullptr && (isStatic(cf) || registry().live.count(static_cast<const SimObject*>(cf)) != 0);
}

CfCounts cfCounts() { return {registry().created, registry().liveInPeriod}; }

void resetCfCounts() {
  Registry& r = registry();
  ++r.period;
  r.created = 0;
  r.liveInPeriod = 0;
}

}  // namespace simmac
