#include "SwCore.h"
#include "SwFileIo.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// UTF-8 <-> UTF-16

WideString Utf8ToWide(std::string_view text) {
  WideString out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    uint32_t c = *p;
    int extra = 0;
    uint32_t min = 0;
    if (c < 0x80) {
      ++p;
      out.push_back(static_cast<char16_t>(c));
      continue;
    }
    if ((c & 0xE0) == 0xC0) extra = 1, c &= 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) extra = 2, c &= 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) extra = 3, c &= 0x07, min = 0x10000;
    else {
      ++p;
      out.push_back(u'\uFFFD');
      continue;
    }
    if (end - p <= extra) {
      p = end;
      out.push_back(u'\uFFFD');
      break;
    }
    bool ok = true;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (p[i] & 0x3F);
    }
    if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      ++p;
      out.push_back(u'\uFFFD');
      continue;
    }
    p += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::u16string_view SwTrim(std::u16string_view text) {
  while (!text.empty() && text.front() <= u' ') text.remove_prefix(1);
  while (!text.empty() && text.back() <= u' ') text.remove_suffix(1);
  return text;
}

std::string WideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string SwClassNameOf(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : type.name();
  // Keep the last component: "skeinwork::TSwTreeNode" -> "TSwTreeNode".
  size_t template_start = name.find('<');
  size_t scope = name.rfind("::", template_start);
  return scope == std::string::npos ? name : name.substr(scope + 2);
}

// ---------------------------------------------------------------------------------------------
// TSwObject

TOnFreeCallback::~TOnFreeCallback() {
  if (mOwner && mMethod) mMethod(mOwner);
}

TSwObject::~TSwObject() { NotifyFree(); }

std::string TSwObject::Description() const {
  return fmt::format("<{} ${:08X}>", ClassName(), reinterpret_cast<uintptr_t>(this));
}

void TSwObject::Error(const ESkeinwork& error) {
  if (mExtras && mExtras->Handler) {
    mExtras->Handler(this, error);
    return;
  }
  error.Raise();
}

TSwErrorHandler TSwObject::ErrorHandler() const { return mExtras ? mExtras->Handler : TSwErrorHandler{}; }

void TSwObject::SetErrorHandler(TSwErrorHandler handler) {
  if (!mExtras) {
    if (!handler) return;
    mExtras = std::make_unique<TExtras>();
  }
  mExtras->Handler = handler;
}

void TSwObject::AddOnFree(TOnFreeMethod method) {
  RemoveOnFree(method);
  if (!mExtras) mExtras = std::make_unique<TExtras>();
  mExtras->OnFree.push_back(std::make_unique<TOnFreeCallback>(method, this));
}

void TSwObject::RemoveOnFree(TOnFreeMethod method) {
  if (!mExtras) return;
  auto& list = mExtras->OnFree;
  auto it = std::find_if(list.begin(), list.end(), [&](auto& cb) { return cb->Method() == method; });
  if (it == list.end()) return;
  (*it)->Detach();
  list.erase(it);
}

void TSwObject::NotifyFree() {
  if (!mExtras || mExtras->OnFree.empty()) return;
  // Taken out first, so that a callback that adds or removes registrations cannot disturb us.
  auto callbacks = std::move(mExtras->OnFree);
  mExtras->OnFree.clear();
  for (auto& cb : callbacks) cb.reset();
}

// ---------------------------------------------------------------------------------------------
// Exceptions

namespace {
struct THooks {
  std::mutex Lock;
  TSwTranslateHook Translate;
  TSwExceptionHook Exception;
};
THooks& Hooks() {
  static THooks hooks;
  return hooks;
}
}  // namespace

void SetSwTranslateHook(TSwTranslateHook hook) {
  std::lock_guard lock(Hooks().Lock);
  Hooks().Translate = hook;
}
TSwTranslateHook SwTranslateHook() {
  std::lock_guard lock(Hooks().Lock);
  return Hooks().Translate;
}
void SetSwExceptionHook(TSwExceptionHook hook) {
  std::lock_guard lock(Hooks().Lock);
  Hooks().Exception = hook;
}
TSwExceptionHook SwExceptionHook() {
  std::lock_guard lock(Hooks().Lock);
  return Hooks().Exception;
}

std::string SwTranslate(std::string_view englishFormat) {
  TSwTranslateHook hook = SwTranslateHook();
  return hook ? hook(englishFormat) : std::string(englishFormat);
}

void CallSwExceptionHook(ESkeinwork& created) {
  TSwExceptionHook hook = SwExceptionHook();
  if (hook) hook(created);
}

void ESkeinwork::SetObject(std::unique_ptr<TSwObject> object) {
  mObject = std::make_shared<std::unique_ptr<TSwObject>>(std::move(object));
}

std::unique_ptr<TSwObject> ESkeinwork::ExtractObject() const {
  return mObject ? std::move(*mObject) : nullptr;
}

std::string SwReadableClassName(std::string_view name) {
  for (std::string_view prefix : {"E", "Mm", "Swm", "Sw"})
    if (name.substr(0, prefix.size()) == prefix) name.remove_prefix(prefix.size());
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    bool capital = name[i] >= 'A' && name[i] <= 'Z';
    if (i > 0 && capital && !(name[i - 1] >= 'A' && name[i - 1] <= 'Z')) out += ' ';
    out += name[i];
  }
  return out;
}

std::string SwSetText(uint64_t bits, std::span<const char* const> names) {
  std::string out;
  for (int bit = 0; bit < 64; ++bit) {
    uint64_t mask = uint64_t{1} << bit;
    if (!(bits & mask)) continue;
    if (!out.empty()) out += ", ";
    if (static_cast<size_t>(bit) < names.size() && names[bit])
      out += names[bit];
    else
      out += fmt::format("? ({})", mask);
  }
  return out.empty() ? "<none>" : out;
}

// ---------------------------------------------------------------------------------------------
// Arguments

namespace {
const TSwVarRec& ArgOf(TSwArgs args, size_t i, TSwVarTag expected) {
  if (i >= args.size())
    SwRaise<ESwInvalidVarType>("Expected a variant of type %d, %d given.", static_cast<int>(expected), -1);
  if (args[i].Tag != expected)
    SwRaise<ESwInvalidVarType>("Expected a variant of type %d, %d given.", static_cast<int>(expected),
                               static_cast<int>(args[i].Tag));
  return args[i];
}
}  // namespace

const WideString& ArgText(TSwArgs args, size_t i) { return ArgOf(args, i, TSwVarTag::WideString).Text; }
bool ArgBool(TSwArgs args, size_t i) { return ArgOf(args, i, TSwVarTag::Boolean).Bool; }
int64_t ArgInt(TSwArgs args, size_t i) { return ArgOf(args, i, TSwVarTag::Integer).Int; }
TSwObject* ArgObject(TSwArgs args, size_t i) { return ArgOf(args, i, TSwVarTag::Object).Object; }
void* ArgPointer(TSwArgs args, size_t i) { return ArgOf(args, i, TSwVarTag::Pointer).Pointer; }

// ---------------------------------------------------------------------------------------------
// TSwClassList

int TSwClassList::Add(const WideString& name, const TSwClassInfo* cls) {
  if (mIndex.count(name))
    SwRaise<ESwClassListDuplicate>("Attempted to add duplicate %s item '%s' for class %s.", this, name, cls);
  mItems.push_back({name, cls});
  int index = static_cast<int>(mItems.size()) - 1;
  mIndex.emplace(name, index);
  return index;
}

const TSwClassInfo* TSwClassList::Find(const WideString& name) const {
  int index = IndexOf(name);
  return index < 0 ? nullptr : mItems[index].Class;
}

WideString TSwClassList::NameOf(const TSwClassInfo* cls, const WideString& defaultName) const {
  int index = IndexOfClass(cls);
  return index < 0 ? defaultName : mItems[index].Name;
}

int TSwClassList::IndexOf(const WideString& name) const {
  auto it = mIndex.find(name);
  return it == mIndex.end() ? -1 : it->second;
}

int TSwClassList::IndexOfClass(const TSwClassInfo* cls) const {
  for (size_t i = 0; i < mItems.size(); ++i)
    if (mItems[i].Class == cls) return static_cast<int>(i);
  return -1;
}

// ---------------------------------------------------------------------------------------------
// Versions

namespace {
// A decimal integer with an optional sign, and nothing else.
bool ParseInt(std::string_view text, int64_t& value) {
  if (text.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > 0x7FFFFFFF) return false;
  }
  value = negative ? -v : v;
  return true;
}
}  // namespace

TSwVersion SwParseVersion(std::string_view text) {
  size_t dot = text.find('.');
  int64_t major = 0, minor = 0;
  if (dot != std::string_view::npos && ParseInt(text.substr(0, dot), major) &&
      ParseInt(text.substr(dot + 1), minor)) {
    if (minor < 10 && text.size() - dot - 1 == 1) minor *= 10;
    if (minor > 255) minor = 255;
    return SwMakeVersion(static_cast<int>(major), static_cast<int>(minor));
  }
  if (ParseInt(text, major)) return SwMakeVersion(static_cast<int>(major), 0);
  SwRaise<ESwBadVersionString>("Cannot parse version string '%s' - must be of form '1.23' or '123'.",
                               std::string(text));
}

std::string SwVersionText(TSwVersion version) {
  int major = version >> 8, minor = version & 0xFF;
  std::string minorText = std::to_string(minor);
  if (minor >= 1 && minor <= 9) minorText = "0" + minorText;
  else if (minor >= 10 && minor <= 90 && minor % 10 == 0) minorText.pop_back();
  return std::to_string(major) + "." + minorText;
}

namespace {
constexpr const char* kVersionOps[] = {">", ">=", "<", "<=", "=", "<>"};
}

const char* TSwVersions::OpSymbol(uint8_t op) { return op < 6 ? kVersionOps[op] : "?"; }

bool TSwVersions::Compare(uint8_t op, TSwVersion tested, TSwVersion operand) {
  switch (static_cast<TSwVersionOp>(op)) {
    case TSwVersionOp::Greater: return tested > operand;
    case TSwVersionOp::GreaterEqual: return tested >= operand;
    case TSwVersionOp::Less: return tested < operand;
    case TSwVersionOp::LessEqual: return tested <= operand;
    case TSwVersionOp::Equal: return tested == operand;
    case TSwVersionOp::NotEqual: return tested != operand;
  }
  SwRaise<ESkeinwork>("Invalid %s operator %d to compare %s and %s.", std::string("TSwVersions"),
                      static_cast<int>(op), SwVersionText(tested), SwVersionText(operand));
}

void TSwVersions::Add(uint8_t op, TSwVersion version) {
  if (mConditions.size() >= SwMaxVersionConditions)
    SwRaise<ESkeinwork>("%s has reached maximum number of versions (%d).", this, SwMaxVersionConditions);
  mConditions.push_back({op, version});
}

bool TSwVersions::Matches(TSwVersion version) const {
  for (const TCondition& c : mConditions)
    if (!Compare(c.Op, version, c.Version)) return false;
  return true;
}

std::string TSwVersions::Text() const {
  if (mConditions.empty()) return {};
  std::string out = "[";
  for (size_t i = 0; i < mConditions.size(); ++i) {
    if (i) out += ' ';
    out += OpSymbol(mConditions[i].Op);
    out += ' ';
    out += SwVersionText(mConditions[i].Version);
  }
  return out + "]";
}

// ---------------------------------------------------------------------------------------------
// TStream

int64_t TStream::Size() {
  int64_t here = Seek(0, TSeekOrigin::Current);
  int64_t size = Seek(0, TSeekOrigin::End);
  Seek(here, TSeekOrigin::Beginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) SwRaise<EReadError>("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) SwRaise<EWriteError>("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(count, 1 << 20)));
  int64_t left = count;
  while (left > 0) {
    int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buffer.size()));
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

std::string SwStreamName(const TStream* stream) {
  if (!stream) return "<nil object>";
  if (auto* file = dynamic_cast<const TFileStream*>(stream)) return WideToUtf8(file->FileName());
  return "<" + stream->ClassName().substr(1) + ">";
}

// ---------------------------------------------------------------------------------------------
// TMemoryStream

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t available = static_cast<int64_t>(mData.size()) - mPosition;
  int64_t n = std::clamp<int64_t>(count, 0, std::max<int64_t>(available, 0));
  if (n > 0) std::memcpy(buffer, mData.data() + mPosition, static_cast<size_t>(n));
  mPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = mPosition + count;
  if (end > static_cast<int64_t>(mData.size())) {
    mData.resize(static_cast<size_t>(end));
    LendData();
  }
  std::memcpy(mData.data() + mPosition, buffer, static_cast<size_t>(count));
  mPosition = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::Beginning ? 0
                 : origin == TSeekOrigin::Current ? mPosition
                                                  : static_cast<int64_t>(mData.size());
  mPosition = std::max<int64_t>(SwAddClamped(base, offset), 0);
  return mPosition;
}

void TMemoryStream::SetSize(int64_t size) {
  mData.resize(static_cast<size_t>(std::max<int64_t>(size, 0)));
  LendData();
  mPosition = std::min<int64_t>(mPosition, static_cast<int64_t>(mData.size()));
}

void TMemoryStream::Clear() {
  mData.clear();
  mData.shrink_to_fit();
  LendData();
  mPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  int64_t size = source.Size();
  mData.resize(static_cast<size_t>(size));
  LendData();
  source.ReadBuffer(mData.data(), size);
  mPosition = 0;
}

TStringStream::TStringStream(std::string_view data) {
  mData.assign(data.begin(), data.end());
  LendData();
}

// ---------------------------------------------------------------------------------------------
// TFileStream

TFileStream::TFileStream(const WideString& fileName, TFileMode mode) : mFileName(fileName) {
  std::string path = WideToUtf8(fileName);
  int flags = mode == TFileMode::OpenRead        ? O_RDONLY
              : mode == TFileMode::OpenReadWrite ? O_RDWR
                                                 : O_RDWR | O_CREAT | O_TRUNC;
  mHandle = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (mHandle < 0) {
    if (mode == TFileMode::Create)
      SwRaise<EFCreateError>("Cannot create file \"%s\". %s", path, std::strerror(errno));
    SwRaise<EFOpenError>("Cannot open file \"%s\". %s", path, std::strerror(errno));
  }
}

TFileStream::~TFileStream() {
  if (mHandle >= 0) ::close(mHandle);
}

int64_t TFileStream::Read(void* buffer, int64_t count) { return SwReadFile(mHandle, buffer, count, mFileName); }

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  return SwWriteFile(mHandle, buffer, count, mFileName);
}

int64_t SwReadFile(int handle, void* buffer, int64_t count, const WideString& fileName) {
  int64_t total = 0;
  auto* out = static_cast<char*>(buffer);
  while (total < count) {
    ssize_t n = ::read(handle, out + total, static_cast<size_t>(std::min<int64_t>(count - total, 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) SwRaise<EReadError>("Cannot read file \"%s\". %s", WideToUtf8(fileName), std::strerror(errno));
    if (n == 0) break;
    total += n;
  }
  return total;
}

int64_t SwWriteFile(int handle, const void* buffer, int64_t count, const WideString& fileName) {
  int64_t total = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (total < count) {
    ssize_t n = ::write(handle, in + total, static_cast<size_t>(std::min<int64_t>(count - total, 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) SwRaise<EWriteError>("Cannot write file \"%s\". %s", WideToUtf8(fileName), std::strerror(errno));
    if (n == 0) break;
    total += n;
  }
  return total;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::Beginning ? SEEK_SET : origin == TSeekOrigin::Current ? SEEK_CUR : SEEK_END;
  off_t result = ::lseek(mHandle, offset, whence);
  return result < 0 ? ::lseek(mHandle, 0, SEEK_CUR) : result;
}

int64_t TFileStream::Size() {
  struct stat info;
  return ::fstat(mHandle, &info) == 0 ? static_cast<int64_t>(info.st_size) : TStream::Size();
}

void TFileStream::SetSize(int64_t size) {
  if (::ftruncate(mHandle, size) != 0)
    SwRaise<EWriteError>("Cannot set size of file \"%s\". %s", WideToUtf8(mFileName), std::strerror(errno));
  if (Position() > size) Seek(size, TSeekOrigin::Beginning);
}

// ---------------------------------------------------------------------------------------------
// TSwRestrictedStream

TSwRestrictedStream::TSwRestrictedStream(TStream* stream, int64_t size) : mStream(stream) {
  if (!stream) SwRaise<ESkeinwork>("nil Stream given to %s.Create.", this);
  SetWindow(stream->Position(), size);
}

int64_t TSwRestrictedStream::Read(void* buffer, int64_t count) {
  int64_t n = std::min(count, Size() - mPosition);
  if (n <= 0) return 0;
  // Lines and fields are read in many small pieces: straight from memory where the stream
  // below keeps it, without moving its position to and fro.
  int64_t available = 0;
  if (const uint8_t* memory = mStream->MemoryAt(mStart + mPosition, available); memory && available >= n) {
    std::memcpy(buffer, memory, static_cast<size_t>(n));
    mPosition += n;
    return n;
  }
  int64_t saved = mStream->Position();
  mStream->Seek(mStart + mPosition, TSeekOrigin::Beginning);
  int64_t read = 0;
  try {
    read = mStream->Read(buffer, n);
  } catch (...) {
    mStream->Seek(saved, TSeekOrigin::Beginning);
    throw;
  }
  mStream->Seek(saved, TSeekOrigin::Beginning);
  mPosition += read;
  return read;
}

int64_t TSwRestrictedStream::Write(const void*, int64_t) {
  SwRaise<EWriteError>("%s is a read-only wrapper.", this);
}

void TSwRestrictedStream::SetSize(int64_t) { SwRaise<EWriteError>("%s is a read-only wrapper.", this); }

const uint8_t* TSwRestrictedStream::MemoryAt(int64_t offset, int64_t& available) {
  available = 0;
  if (offset < 0 || offset >= Size()) return nullptr;
  const uint8_t* memory = mStream->MemoryAt(mStart + offset, available);
  available = memory ? std::min(available, Size() - offset) : 0;
  return memory;
}

int64_t TSwRestrictedStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (offset == 0 && origin == TSeekOrigin::Current) return mPosition;  // Position(), asked most
  if (origin == TSeekOrigin::Beginning) return mPosition = std::clamp<int64_t>(offset, 0, Size());  // next most
  int64_t target = SwAddClamped(origin == TSeekOrigin::Current ? mPosition : Size(), offset);
  mPosition = std::clamp<int64_t>(target, 0, Size());
  return mPosition;
}

void TSwRestrictedStream::SetWindow(int64_t start, int64_t size) {
  mStart = std::max<int64_t>(start, 0);
  mEnd = std::max(mStart, SwAddClamped(mStart, size));
  mPosition = 0;
  // The window lends the stream's memory where the stream lends all of the window's bytes.
  int64_t lentSize = 0;
  const uint8_t* lent = mStream->LentMemory(lentSize);
  Lend(lent && mEnd <= lentSize ? lent + mStart : nullptr, mEnd - mStart);
}

// ---------------------------------------------------------------------------------------------
// TSwTempStream

TSwTempStream::TSwTempStream(int64_t memoryLimit)
    : mLimit(memoryLimit), mMemory(std::make_unique<TMemoryStream>()) {}

TSwTempStream::~TSwTempStream() = default;

int64_t TSwTempStream::Read(void* buffer, int64_t count) { return Current().Read(buffer, count); }

int64_t TSwTempStream::Seek(int64_t offset, TSeekOrigin origin) { return Current().Seek(offset, origin); }

int64_t TSwTempStream::Write(const void* buffer, int64_t count) {
  if (!mFile && mMemory->Position() + count > mLimit) MoveToFile();
  return Current().Write(buffer, count);
}

void TSwTempStream::MoveToFile() {
  std::string path = (std::filesystem::temp_directory_path() / "XXXXXX").string();
  int fd = ::mkstemp(path.data());
  if (fd < 0)
    SwRaise<EFCreateError>("Cannot create file \"%s\". %s", path, std::strerror(errno));
  ::close(fd);
  try {
    mFile = std::make_unique<TFileStream>(Utf8ToWide(path), TFileMode::OpenReadWrite);
  } catch (...) {
    ::unlink(path.c_str());
    throw;
  }
  // The open handle keeps the data; without a name the file cannot outlive the program, even
  // one that is killed.
  ::unlink(path.c_str());
  int64_t position = mMemory->Position();
  mFile->WriteBuffer(mMemory->Memory(), mMemory->Size());
  mFile->Seek(position, TSeekOrigin::Beginning);
  mMemory.reset();
}

// ---------------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------------
// TSwWorkMeter

namespace {
thread_local TSwWorkMeter* tWorkMeter = nullptr;
}  // namespace

constinit const std::atomic<bool> TSwWorkMeter::kNeverCancelled{false};
constinit thread_local TSwWorkMeter::TBudget TSwWorkMeter::tBudget;

TSwWorkMeter::TSwWorkMeter(const std::atomic<bool>* cancel, int64_t limit, TRaise onCancel)
    : mCancel(cancel), mLimit(limit), mOnCancel(onCancel), mOuter(nullptr) {
  Flush();  // work done before belongs to the meters already there
  mOuter = tWorkMeter;
  tWorkMeter = this;
  Rebudget();
}

TSwWorkMeter::~TSwWorkMeter() {
  Flush();
  tWorkMeter = mOuter;
  Rebudget();
}

int64_t TSwWorkMeter::Used() const {
  for (const TSwWorkMeter* meter = tWorkMeter; meter; meter = meter->mOuter)
    if (meter == this) return std::min(mUsed, NoLimit - tBudget.Pending()) + tBudget.Pending();
  return mUsed;
}

void TSwWorkMeter::Flush() {
  TBudget& budget = tBudget;
  const int64_t pending = budget.Pending();
  for (TSwWorkMeter* meter = tWorkMeter; meter; meter = meter->mOuter)
    meter->mUsed += std::min(pending, NoLimit - meter->mUsed);
  budget.Granted = budget.Left;  // the budget left stays: it counted them already
}

void TSwWorkMeter::Rebudget() {
  TBudget& budget = tBudget;
  budget.Left = INT64_MAX;
  int cancelCount = 0;
  std::fill(std::begin(budget.Cancels), std::end(budget.Cancels), &kNeverCancelled);
  for (TSwWorkMeter* meter = tWorkMeter; meter; meter = meter->mOuter) {
    budget.Left = std::min(budget.Left, SwAddClamped(meter->mLimit, -meter->mUsed));
    if (!meter->mCancel || std::find(budget.Cancels, budget.Cancels + cancelCount, meter->mCancel) !=
                               budget.Cancels + cancelCount)
      continue;
    if (cancelCount == TBudget::MaxCancels) {
      budget.Left = -1;  // too many to watch inline
      break;
    }
    budget.Cancels[cancelCount++] = meter->mCancel;
  }
  budget.Left = std::max<int64_t>(budget.Left, -1);
  budget.Granted = budget.Left;
}

void TSwWorkMeter::SpendSlowly(int64_t units) {
  Flush();
  struct TRebudget {
    ~TRebudget() { Rebudget(); }
  } rebudget;
  for (TSwWorkMeter* meter = tWorkMeter; meter; meter = meter->mOuter) {
    if (meter->mCancel && meter->mCancel->load(std::memory_order_relaxed)) {
      if (meter->mOnCancel) meter->mOnCancel();
      SwRaise<ESwCancelled>("The work was cancelled.");
    }
    meter->mUsed += std::clamp<int64_t>(units, 0, NoLimit - meter->mUsed);
    if (meter->mUsed > meter->mLimit)
      SwRaise<ESwWorkLimit>(
          "The work limit of %d units (bytes read, made, scanned or written, and passes of the model) has been "
          "reached.",
          meter->mLimit);
  }
}

bool SwExpectBytes(TStream& stream, std::string_view bytes) {
  if (bytes.empty()) return true;
  std::string buffer(bytes.size(), '\0');
  int64_t read = stream.Read(buffer.data(), static_cast<int64_t>(bytes.size()));
  if (read == static_cast<int64_t>(bytes.size()) && buffer == bytes) return true;
  stream.Seek(-read, TSeekOrigin::Current);
  return false;
}

}  // namespace skeinwork
