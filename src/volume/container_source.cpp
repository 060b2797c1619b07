// Virtual disks inside image containers, read through Debian's libyal
// libraries. A library handle keeps a file position and caches of its own,
// so one lock serialises every read through it; a second handle reads ahead
// of sequential reads. A partition of the disk is a slice sharing both.
#include "volume/container.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/lasterror.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(RETRIVA_HAVE_LIBEWF)
#include <libewf.h>
#endif
#if defined(RETRIVA_HAVE_LIBVHDI)
#include <libvhdi.h>
#endif
#if defined(RETRIVA_HAVE_LIBVMDK)
#if defined(_WIN32) && !defined(HAVE_LIBBFIO)
// On Windows libvmdk's header declares its libbfio calls only when asked.
#define HAVE_LIBBFIO 1
#endif
#include <libbfio.h>
#include <libvmdk.h>
#endif
#if defined(RETRIVA_HAVE_LIBQCOW)
#include <libqcow.h>
#endif

#if defined(RETRIVA_HAVE_LIBEWF) || defined(RETRIVA_HAVE_LIBVHDI) || defined(RETRIVA_HAVE_LIBVMDK) || \
    defined(RETRIVA_HAVE_LIBQCOW)
#define RETRIVA_HAVE_CONTAINER_LIBRARY 1
#endif

namespace rv {
namespace {

// ---- Signatures -------------------------------------------------------------

constexpr uint8_t kEwfSignature[8] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr uint8_t kEwf2Signature[8] = {'E', 'V', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};
constexpr uint8_t kVhdxSignature[8] = {'v', 'h', 'd', 'x', 'f', 'i', 'l', 'e'};
constexpr uint8_t kVhdFooterSignature[8] = {'c', 'o', 'n', 'e', 'c', 't', 'i', 'x'};
constexpr uint8_t kVmdkSparseSignature[4] = {'K', 'D', 'M', 'V'};
constexpr uint8_t kVmdkCowdSignature[4] = {'C', 'O', 'W', 'D'};
constexpr char kVmdkDescriptorSignature[] = "# Disk DescriptorFile";
constexpr uint8_t kQcowSignature[4] = {'Q', 'F', 'I', 0xFB};

// VHD footer (512 bytes, big-endian fields): the disk type at 60 and the
// disk's current size at 48. A fixed disk is the raw bytes followed by the
// footer alone.
constexpr size_t kVhdFooterSize = 512;
constexpr size_t kVhdCurrentSizeOffset = 48;
constexpr size_t kVhdDiskTypeOffset = 60;
constexpr uint32_t kVhdDiskTypeFixed = 2;

uint64_t be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}
uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

template <size_t N>
bool StartsWith(const uint8_t* data, size_t length, const uint8_t (&signature)[N]) {
  return length >= N && std::memcmp(data, signature, N) == 0;
}

#if defined(RETRIVA_HAVE_CONTAINER_LIBRARY)
// The name a library is given. On Windows the libraries' narrow names go
// through the ANSI code page, so they get the wide name and their _wide
// functions; elsewhere UTF-8.
#ifdef _WIN32
using LibPath = std::wstring;
#define RV_NAMED(function) function##_wide
LibPath LibPathOf(TextView path) { return LibPath(path.begin(), path.end()); }
#else
using LibPath = std::string;
#define RV_NAMED(function) function
LibPath LibPathOf(TextView path) { return ToUtf8(path); }
#endif

// Whether the file starts with a sparse extent's header (rather than a
// descriptor's text).
bool StartsWithSparseExtentHeader(TextView path);
#endif

// ---- Reading through a library ----------------------------------------------

// One opened container: its virtual disk, read whole at any byte offset.
class ContainerReader {
 public:
  explicit ContainerReader(ImageFormat format) : format_(format) {}
  virtual ~ContainerReader() = default;
  ContainerReader(const ContainerReader&) = delete;
  ContainerReader& operator=(const ContainerReader&) = delete;

  ImageFormat Format() const { return format_; }
  uint64_t MediaSize() const { return mediaSize_; }
  // All `length` bytes at `offset` or a failure; never part of them.
  virtual bool Read(uint64_t offset, void* buffer, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    return ReadLocked(offset, static_cast<uint8_t*>(buffer), length);
  }

 protected:
  virtual bool ReadLocked(uint64_t offset, uint8_t* buffer, size_t length) = 0;
  uint64_t mediaSize_ = 0;

 private:
  ImageFormat format_;
  std::mutex mutex_;
};

#if defined(RETRIVA_HAVE_CONTAINER_LIBRARY)
// Sequential reads (a search walking the MFT or a folder tree) are served
// from blocks that a second handle on the same container reads ahead on a
// thread of its own: decompressing them (E01, compressed QCOW2) and looking
// them up in the container's tables then overlaps with the engine's work,
// and the reader takes a block the helper has not started yet itself, so
// both cores decompress. Scattered reads (recovering a file's clusters) go
// straight to the library and cost no more than themselves. A block that
// fails to read whole is read again piece by piece as asked, so one bad
// chunk fails only the reads that touch it.
class ReadAheadReader final : public ContainerReader {
 public:
  using Opener = std::function<std::shared_ptr<ContainerReader>()>;
  ReadAheadReader(std::shared_ptr<ContainerReader> primary, Opener openHelper)
      : ContainerReader(primary->Format()), primary_(std::move(primary)), openHelper_(std::move(openHelper)) {
    mediaSize_ = primary_->MediaSize();
  }
  ~ReadAheadReader() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  bool Read(uint64_t offset, void* buffer, size_t length) override {
    if (length == 0) return true;
    auto* out = static_cast<uint8_t*>(buffer);
    const uint64_t first = offset / kBlockBytes, last = (offset + length - 1) / kBlockBytes;
    std::unique_lock<std::mutex> lock(mutex_);
    // A read that continues the previous one, or a stream whose blocks are
    // cached (the MFT walk between the bitmap look-ups a listing makes).
    const bool sequential = (haveLast_ && (first == lastBlock_ || first == lastBlock_ + 1)) || blocks_.count(first) ||
                            (first > 0 && blocks_.count(first - 1));
    // Only a stream that moves on to further blocks is read ahead of: the
    // boot sector and partition table read over and over start nothing.
    const bool advanced = !haveLast_ || last != lastBlock_;
    haveLast_ = true;
    lastBlock_ = last;
    if (sequential && advanced) QueueAhead(last);
    for (uint64_t index = first; index <= last; ++index) {
      const uint64_t from = std::max(offset, index * kBlockBytes);
      const uint64_t to = std::min(offset + length, (index + 1) * kBlockBytes);
      uint8_t* piece = out + (from - offset);
      if (CopyFromCache(index, from, to, piece, sequential, lock)) continue;
      lock.unlock();
      const bool read = primary_->Read(from, piece, static_cast<size_t>(to - from));
      lock.lock();
      if (!read) return false;
    }
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, uint8_t* buffer, size_t length) override {
    return primary_->Read(offset, buffer, length);
  }

 private:
  static constexpr uint64_t kBlockBytes = 1u << 20;
  static constexpr uint64_t kBlocksAhead = 4;
  static constexpr size_t kMaxBlocks = 12;
  enum class State { Queued, Loading, Ready, Failed };
  struct Block {
    State state = State::Queued;
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t used = 0;
  };

  uint64_t BlockCount() const { return (mediaSize_ + kBlockBytes - 1) / kBlockBytes; }

  // Copies bytes [from, to) of block `index` out of the cache, loading the
  // block first when a sequential read wants it; false when they must be
  // read directly. The block is looked up afresh after every wait: another
  // reader may have evicted it meanwhile.
  bool CopyFromCache(uint64_t index, uint64_t from, uint64_t to, uint8_t* piece, bool sequential,
                     std::unique_lock<std::mutex>& lock) {
    for (;;) {
      auto it = blocks_.find(index);
      if (it == blocks_.end()) {
        if (!sequential) return false;
        it = blocks_.emplace(index, Block{}).first;
      }
      switch (it->second.state) {
        case State::Queued: LoadBlock(index, *primary_, lock); break;
        case State::Loading:
          // Rather than wait idle for the helper, decompress a block
          // further on meanwhile.
          if (!LoadNextQueued(index, lock)) changed_.wait(lock);
          break;
        case State::Ready:
          it->second.used = ++clock_;
          std::memcpy(piece, it->second.bytes.get() + (from - index * kBlockBytes), static_cast<size_t>(to - from));
          return true;
        case State::Failed: return false;
      }
    }
  }

  // Loads a queued block through `reader` with the lock released meanwhile.
  void LoadBlock(uint64_t index, ContainerReader& reader, std::unique_lock<std::mutex>& lock) {
    Block& block = blocks_[index];
    block.state = State::Loading;
    const uint64_t start = index * kBlockBytes;
    const size_t n = static_cast<size_t>(std::min(kBlockBytes, mediaSize_ - start));
    // An evicted block's buffer is used again: a fresh megabyte is fresh
    // pages, each faulted in. Not value-initialised: every byte is read
    // over, or the block fails.
    std::unique_ptr<uint8_t[]> bytes;
    if (!spare_.empty()) {
      bytes = std::move(spare_.back());
      spare_.pop_back();
    } else {
      bytes.reset(new uint8_t[kBlockBytes]);
    }
    lock.unlock();
    const bool read = reader.Read(start, bytes.get(), n);
    lock.lock();
    // std::map keeps references valid; the block is not evicted while loading.
    block.bytes = std::move(bytes);
    block.state = read ? State::Ready : State::Failed;
    block.used = ++clock_;
    changed_.notify_all();
  }

  bool LoadNextQueued(uint64_t after, std::unique_lock<std::mutex>& lock) {
    for (auto it = blocks_.upper_bound(after); it != blocks_.end() && it->first <= after + kBlocksAhead; ++it) {
      if (it->second.state != State::Queued) continue;
      LoadBlock(it->first, *primary_, lock);
      return true;
    }
    return false;
  }

  void QueueAhead(uint64_t last) {
    bool queued = false;
    for (uint64_t index = last + 1; index <= last + kBlocksAhead && index < BlockCount(); ++index) {
      if (blocks_.count(index)) continue;
      blocks_.emplace(index, Block{});
      queued = true;
    }
    Evict(last);
    if (!queued) return;
    if (!worker_.joinable()) worker_ = std::thread([this] { Work(); });
    changed_.notify_all();
  }

  // Keeps the cache bounded: the least recently used finished blocks go,
  // never one being loaded or waiting for the helper.
  void Evict(uint64_t keepFrom) {
    while (blocks_.size() > kMaxBlocks) {
      auto victim = blocks_.end();
      for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
        if (it->second.state != State::Ready && it->second.state != State::Failed) continue;
        if (it->first >= keepFrom) continue;
        if (victim == blocks_.end() || it->second.used < victim->second.used) victim = it;
      }
      if (victim == blocks_.end()) return;
      if (victim->second.bytes && spare_.size() < kMaxBlocks) spare_.push_back(std::move(victim->second.bytes));
      blocks_.erase(victim);
    }
  }

  void Work() {
    std::shared_ptr<ContainerReader> helper = openHelper_ ? openHelper_() : nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      auto next = std::find_if(blocks_.begin(), blocks_.end(), [](const auto& b) { return b.second.state == State::Queued; });
      if (next == blocks_.end()) {
        changed_.wait(lock);
        continue;
      }
      LoadBlock(next->first, helper ? *helper : *primary_, lock);
    }
  }

  std::shared_ptr<ContainerReader> primary_;
  Opener openHelper_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint64_t, Block> blocks_;
  std::vector<std::unique_ptr<uint8_t[]>> spare_;
  std::thread worker_;
  bool stop_ = false;
  bool haveLast_ = false;
  uint64_t lastBlock_ = 0;
  uint64_t clock_ = 0;
};
#endif

#if defined(RETRIVA_HAVE_CONTAINER_LIBRARY)
// The libraries' errors are all intptr_t handles with the same trio of
// functions; the first line of the description is the outermost failure.
using LibError = intptr_t;
std::string TakeLibError(LibError*& error, int (*sprint)(LibError*, char*, size_t), void (*release)(LibError**)) {
  std::string text;
  if (error) {
    char buffer[1024] = {};
    if (sprint(error, buffer, sizeof buffer) > 0) text = buffer;
    release(&error);
  }
  if (const size_t nl = text.find_first_of("\r\n"); nl != std::string::npos) text.resize(nl);
  return text;
}

std::string Because(const std::string& libraryText) { return libraryText.empty() ? "" : " (" + libraryText + ")"; }
#endif

class ContainerSource final : public VolumeSource {
 public:
  ContainerSource(std::shared_ptr<ContainerReader> reader, Text path, uint64_t base, uint64_t length)
      : reader_(std::move(reader)), path_(std::move(path)), base_(base), length_(length) {}
  uint64_t SizeBytes() const override { return length_; }
  uint32_t SectorSize() const override { return sector_; }
  Text Describe() const override { return path_; }
  const std::shared_ptr<ContainerReader>& Reader() const { return reader_; }
  uint64_t Base() const { return base_; }
  // VHD, VHDX and VMDK files hold their blocks in the order they were
  // written, so a cut file loses blocks anywhere on the disk, unseen until
  // they are read. A cut E01 or QCOW2 is refused when opened, and an E01's
  // chunks cost an inflate each: there only a failed read says so.
  bool MayHoldUnreadable() const override {
    const ImageFormat f = reader_->Format();
    return (f != ImageFormat::Ewf && f != ImageFormat::Qcow2) || VolumeSource::MayHoldUnreadable();
  }

  // The sector size an image file of the same bytes gets: the boot
  // sector's. False when the first sector cannot be read.
  bool JudgeSectorSize() {
    uint8_t first[512] = {};
    const bool read = length_ < 512 || reader_->Read(base_, first, sizeof first);
    if (read && length_ >= 512) sector_ = SectorSizeFromBootSector(first);
    length_ = length_ / sector_ * sector_;
    return read;
  }

 protected:
  bool ReadRaw(uint64_t offset, void* buffer, uint32_t length) override {
    if (reader_->Read(base_ + offset, buffer, length)) return true;
    // A chunk that fails its checksum or lies in a missing or cut-short
    // part of the container: the disk's equivalent of an unreadable sector.
    SetLastErrorCode(kErrorCrc);
    return false;
  }

 private:
  std::shared_ptr<ContainerReader> reader_;
  Text path_;
  uint64_t base_;
  uint64_t length_;
  uint32_t sector_ = 512;
};

#if defined(RETRIVA_HAVE_LIBEWF)
std::string EwfError(libewf_error_t*& e) { return TakeLibError(e, libewf_error_sprint, libewf_error_free); }

class EwfReader final : public ContainerReader {
 public:
  EwfReader() : ContainerReader(ImageFormat::Ewf) {}
  ~EwfReader() override {
    if (!handle_) return;
    libewf_handle_close(handle_, nullptr);
    libewf_handle_free(&handle_, nullptr);
  }

  bool Open(const LibPath& path, std::string& error) {
    libewf_error_t* e = nullptr;
    // The segments (.E01, .E02, ... .EAA, ...) are found from the first;
    // a file named otherwise is opened as the only segment.
    LibPath::value_type** names = nullptr;
    int count = 0;
    std::vector<LibPath::value_type*> single{const_cast<LibPath::value_type*>(path.c_str())};
    const bool globbed = RV_NAMED(libewf_glob)(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &e) == 1 &&
                         count > 0;
    if (e) libewf_error_free(&e);
    bool opened = libewf_handle_initialize(&handle_, &e) == 1 &&
                  RV_NAMED(libewf_handle_open)(handle_, globbed ? names : single.data(), globbed ? count : 1, LIBEWF_OPEN_READ,
                                     &e) == 1;
#ifdef _WIN32
    if (globbed) libewf_glob_wide_free(names, count, nullptr);
#else
    if (globbed) libewf_glob_free(names, count, nullptr);
#endif
    size64_t size = 0;
    uint32_t bytesPerSector = 0;
    if (opened) opened = libewf_handle_get_media_size(handle_, &size, &e) == 1 &&
                         libewf_handle_get_bytes_per_sector(handle_, &bytesPerSector, &e) == 1;
    if (!opened) {
      error = "the E01 image cannot be read: it is damaged, or a segment is missing" + Because(EwfError(e));
      return false;
    }
    // An acquisition cut short leaves segments without their closing
    // section: the chunks past the cut are gone.
    if (libewf_handle_segment_files_corrupted(handle_, &e) == 1) {
      error = "the E01 image is damaged or incomplete (a segment file is missing or was cut short)";
      return false;
    }
    if (e) libewf_error_free(&e);
    mediaSize_ = size;
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, uint8_t* buffer, size_t length) override {
    libewf_error_t* e = nullptr;
    uint32_t errorsBefore = 0, errorsAfter = 0;
    libewf_handle_get_number_of_checksum_errors(handle_, &errorsBefore, nullptr);
    size_t done = 0;
    while (done < length) {
      const ssize_t got = libewf_handle_read_random(handle_, buffer + done, length - done,
                                                    static_cast<off64_t>(offset + done), &e);
      if (got <= 0) {
        if (e) libewf_error_free(&e);
        return false;
      }
      done += static_cast<size_t>(got);
    }
    // libewf hands back a chunk whose checksum fails and only notes it:
    // those bytes are not the disk's.
    libewf_handle_get_number_of_checksum_errors(handle_, &errorsAfter, nullptr);
    return errorsAfter == errorsBefore;
  }

 private:
  libewf_handle_t* handle_ = nullptr;
};
#endif

#if defined(RETRIVA_HAVE_LIBVHDI)
std::string VhdiError(libvhdi_error_t*& e) { return TakeLibError(e, libvhdi_error_sprint, libvhdi_error_free); }

class VhdiReader final : public ContainerReader {
 public:
  explicit VhdiReader(ImageFormat format) : ContainerReader(format) {}
  ~VhdiReader() override {
    if (!file_) return;
    libvhdi_file_close(file_, nullptr);
    libvhdi_file_free(&file_, nullptr);
  }

  bool Open(const LibPath& path, std::string& error) {
    const char* name = ImageFormatName(Format());
    libvhdi_error_t* e = nullptr;
    size64_t size = 0;
    uint32_t diskType = 0;
    if (libvhdi_file_initialize(&file_, &e) != 1 || RV_NAMED(libvhdi_file_open)(file_, path.c_str(), LIBVHDI_OPEN_READ, &e) != 1 ||
        libvhdi_file_get_media_size(file_, &size, &e) != 1 || libvhdi_file_get_disk_type(file_, &diskType, &e) != 1) {
      error = std::string("the ") + name + " image cannot be read: it is damaged or incomplete" + Because(VhdiError(e));
      return false;
    }
    // A differencing disk holds only what changed since its parent; read
    // alone it would show the parent's sectors as zeros.
    if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
      error = std::string("a differencing ") + name +
              " image (only the changes to a parent disk): merge it into its parent first";
      return false;
    }
    mediaSize_ = size;
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, uint8_t* buffer, size_t length) override {
    libvhdi_error_t* e = nullptr;
    size_t done = 0;
    while (done < length) {
      const ssize_t got = libvhdi_file_read_buffer_at_offset(file_, buffer + done, length - done,
                                                             static_cast<off64_t>(offset + done), &e);
      if (got <= 0) {
        if (e) libvhdi_error_free(&e);
        return false;
      }
      done += static_cast<size_t>(got);
    }
    return true;
  }

 private:
  libvhdi_file_t* file_ = nullptr;
};
#endif

#if defined(RETRIVA_HAVE_LIBVMDK)
std::string VmdkError(libvmdk_error_t*& e) { return TakeLibError(e, libvmdk_error_sprint, libvmdk_error_free); }

class VmdkReader final : public ContainerReader {
 public:
  VmdkReader() : ContainerReader(ImageFormat::Vmdk) {}
  ~VmdkReader() override {
    if (handle_) {
      libvmdk_handle_close(handle_, nullptr);
      libvmdk_handle_free(&handle_, nullptr);
    }
    // The pool (and the file handle in it) outlives the handle reading it.
    if (pool_) libbfio_pool_free(&pool_, nullptr);
  }

  bool Open(const LibPath& path, bool selfContained, std::string& error) {
    libvmdk_error_t* e = nullptr;
    if (libvmdk_handle_initialize(&handle_, &e) != 1 || RV_NAMED(libvmdk_handle_open)(handle_, path.c_str(), LIBVMDK_OPEN_READ, &e) != 1) {
      error = "the VMDK image cannot be read: it is damaged or incomplete" + Because(VmdkError(e));
      return false;
    }
    // A child (snapshot) disk holds only what changed since its parent.
    size_t parentNameSize = 0;
    if (libvmdk_handle_get_utf8_parent_filename_size(handle_, &parentNameSize, &e) == 1 && parentNameSize > 1) {
      error = "a VMDK snapshot (only the changes to a parent disk): consolidate it into its parent first";
      return false;
    }
    if (e) libvmdk_error_free(&e);
    // A sparse file carries its own descriptor, which names the file as it
    // was first called: the one extent is this file, whatever its name now
    // (a file of the old name beside it is another disk). A descriptor
    // file's extents are found beside it, by the names it gives.
    const bool opened = selfContained && SingleExtent() ? OpenSelfAsExtent(path, e)
                                                        : libvmdk_handle_open_extent_data_files(handle_, &e) == 1;
    size64_t size = 0;
    if (!opened || libvmdk_handle_get_media_size(handle_, &size, &e) != 1) {
      error = "the VMDK image cannot be read: an extent file is missing or damaged" + Because(VmdkError(e));
      return false;
    }
    mediaSize_ = size;
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, uint8_t* buffer, size_t length) override {
    libvmdk_error_t* e = nullptr;
    size_t done = 0;
    while (done < length) {
      const ssize_t got = libvmdk_handle_read_buffer_at_offset(handle_, buffer + done, length - done,
                                                               static_cast<off64_t>(offset + done), &e);
      if (got <= 0) {
        if (e) libvmdk_error_free(&e);
        return false;
      }
      done += static_cast<size_t>(got);
    }
    return true;
  }

 private:
  bool SingleExtent() {
    int extents = 0;
    return libvmdk_handle_get_number_of_extents(handle_, &extents, nullptr) == 1 && extents == 1;
  }

  bool OpenSelfAsExtent(const LibPath& path, libvmdk_error_t*& e) {
    libbfio_handle_t* file = nullptr;
    libbfio_error_t* be = nullptr;
    int entry = 0;
    bool ok = libbfio_file_initialize(&file, &be) == 1 && RV_NAMED(libbfio_file_set_name)(file, path.c_str(), path.size(), &be) == 1 &&
              libbfio_pool_initialize(&pool_, 0, 0, &be) == 1;
    if (ok) {
      ok = libbfio_pool_append_handle(pool_, &entry, file, LIBBFIO_OPEN_READ, &be) == 1;
      if (ok) file = nullptr;  // the pool owns it now
    }
    if (file) libbfio_handle_free(&file, nullptr);
    if (be) libbfio_error_free(&be);
    return ok && libvmdk_handle_open_extent_data_files_file_io_pool(handle_, pool_, &e) == 1;
  }

  libvmdk_handle_t* handle_ = nullptr;
  libbfio_pool_t* pool_ = nullptr;
};
#endif

#if defined(RETRIVA_HAVE_LIBQCOW)
std::string QcowError(libqcow_error_t*& e) { return TakeLibError(e, libqcow_error_sprint, libqcow_error_free); }

// libqcow copies a whole cluster out of a file read that came back short,
// past the end of its buffer, when a data cluster lies beyond the end of a
// file cut short. So before a QCOW2 is handed to it, every L1 and L2 table
// and every uncompressed data cluster its tables point at must lie inside
// the file. Header fields are big-endian: version 1 keeps the cluster and
// L2 sizes as bit counts at 32 and 33; versions 2 and 3 the cluster bits at
// 20 and the L1 entry count at 36, version 3 its incompatible features at
// 72 (bit 4: extended L2 entries of 16 bytes, the standard entry first);
// all of them the L1 table's offset at 40.
class QcowLayoutCheck {
 public:
  QcowLayoutCheck(std::FILE* file, uint64_t fileSize) : file_(file), fileSize_(fileSize) {}

  // Empty when the layout is sound, else what lies outside the file.
  std::string Problem() {
    uint8_t h[80] = {};
    if (!ReadAt(0, h, 72)) return "its header is cut short";
    const uint32_t version = be32(h + 4);
    const bool v1 = version == 1;
    uint32_t clusterBits = 0;
    uint64_t l1Entries = 0, entrySize = 8;
    if (v1) {
      clusterBits = h[32];
      const uint32_t l2Bits = h[33];
      if (clusterBits < 9 || clusterBits > 21 || l2Bits < 6 || l2Bits > clusterBits) return "its cluster size is not valid";
      const uint64_t size = be64(h + 24);
      const uint32_t spanBits = clusterBits + l2Bits;
      l1Entries = (size >> spanBits) + ((size & ((uint64_t{1} << spanBits) - 1)) != 0);
      l2Bytes_ = uint64_t{8} << l2Bits;
    } else {
      clusterBits = be32(h + 20);
      if (clusterBits < 9 || clusterBits > 21) return "its cluster size is not valid";
      if (version >= 3 && ReadAt(0, h, 80) && (be64(h + 72) & kExtendedL2)) entrySize = 16;
      l1Entries = be32(h + 36);
      l2Bytes_ = uint64_t{1} << clusterBits;
    }
    const uint64_t cluster = uint64_t{1} << clusterBits;
    const uint64_t offsetMask = v1 ? kV1OffsetMask : kOffsetMask;
    const uint64_t compressed = v1 ? kV1Compressed : kCompressed;
    const uint64_t l1Offset = be64(h + 40);
    if (l1Entries > fileSize_ / 8 || !Inside(l1Offset, l1Entries * 8)) return "its L1 table lies past the end of the file";
    std::vector<uint8_t> l1(static_cast<size_t>(l1Entries * 8));
    if (!l1.empty() && !ReadAt(l1Offset, l1.data(), l1.size())) return "its L1 table cannot be read";
    std::vector<uint8_t> l2(static_cast<size_t>(l2Bytes_));
    std::set<uint64_t> checked;
    for (uint64_t i = 0; i < l1Entries; ++i) {
      const uint64_t l2Offset = be64(l1.data() + i * 8) & offsetMask;
      // A table named twice is checked once: each read is then of another
      // part of the file, however the L1 entries repeat.
      if (l2Offset == 0 || !checked.insert(l2Offset).second) continue;
      if (!ReadAt(l2Offset, l2.data(), l2.size())) return "an L2 table lies past the end of the file";
      for (size_t e = 0; e + 8 <= l2.size(); e += entrySize) {
        const uint64_t entry = be64(l2.data() + e);
        if (entry & compressed) continue;
        const uint64_t data = entry & offsetMask;
        if (data != 0 && !Inside(data, cluster)) return "a data cluster lies past the end of the file";
      }
    }
    return "";
  }

 private:
  static constexpr uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00ull;
  static constexpr uint64_t kCompressed = uint64_t{1} << 62;
  static constexpr uint64_t kExtendedL2 = uint64_t{1} << 4;
  static constexpr uint64_t kV1OffsetMask = 0x7FFFFFFFFFFFFFFFull;
  static constexpr uint64_t kV1Compressed = uint64_t{1} << 63;

  bool Inside(uint64_t offset, uint64_t length) const { return offset <= fileSize_ && length <= fileSize_ - offset; }
  bool ReadAt(uint64_t offset, uint8_t* out, size_t n) {
    if (!Inside(offset, n)) return false;
#ifdef _WIN32
    if (_fseeki64(file_, static_cast<long long>(offset), SEEK_SET) != 0) return false;
#else
    if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
#endif
    return std::fread(out, 1, n, file_) == n;
  }

  std::FILE* file_;
  uint64_t fileSize_;
  uint64_t l2Bytes_ = 0;
};

class QcowReader final : public ContainerReader {
 public:
  QcowReader() : ContainerReader(ImageFormat::Qcow2) {}
  ~QcowReader() override {
    if (!file_) return;
    libqcow_file_close(file_, nullptr);
    libqcow_file_free(&file_, nullptr);
  }

  bool Open(const LibPath& path, std::string& error) {
    if (const std::string problem = LayoutProblem(path); !problem.empty()) {
      error = "the QCOW2 image is damaged or incomplete: " + problem;
      return false;
    }
    libqcow_error_t* e = nullptr;
    size64_t size = 0;
    uint32_t encryption = 0;
    if (libqcow_file_initialize(&file_, &e) != 1 || RV_NAMED(libqcow_file_open)(file_, path.c_str(), LIBQCOW_OPEN_READ, &e) != 1 ||
        libqcow_file_get_media_size(file_, &size, &e) != 1 ||
        libqcow_file_get_encryption_method(file_, &encryption, &e) != 1) {
      error = "the QCOW2 image cannot be read: it is damaged or incomplete" + Because(QcowError(e));
      return false;
    }
    if (encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
      error = "an encrypted QCOW2 image: decrypt it first (qemu-img convert)";
      return false;
    }
    // An overlay holds only the clusters written since its backing file.
    size_t backingNameSize = 0;
    if (libqcow_file_get_utf8_backing_filename_size(file_, &backingNameSize, &e) == 1 && backingNameSize > 1) {
      error = "a QCOW2 overlay on a backing file: merge them first (qemu-img convert)";
      return false;
    }
    if (e) libqcow_error_free(&e);
    mediaSize_ = size;
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, uint8_t* buffer, size_t length) override {
    libqcow_error_t* e = nullptr;
    size_t done = 0;
    while (done < length) {
      const ssize_t got = libqcow_file_read_buffer_at_offset(file_, buffer + done, length - done,
                                                             static_cast<off64_t>(offset + done), &e);
      if (got <= 0) {
        if (e) libqcow_error_free(&e);
        return false;
      }
      done += static_cast<size_t>(got);
    }
    return true;
  }

 private:
  static std::string LayoutProblem(const LibPath& path) {
#ifdef _WIN32
    std::FILE* f = _wfopen(path.c_str(), L"rb");
#else
    std::FILE* f = std::fopen(path.c_str(), "rb");
#endif
    if (!f) return "it cannot be opened";
    std::string problem;
#ifdef _WIN32
    if (_fseeki64(f, 0, SEEK_END) != 0) problem = "it cannot be read";
    const long long size = problem.empty() ? _ftelli64(f) : -1;
#else
    if (fseeko(f, 0, SEEK_END) != 0) problem = "it cannot be read";
    const off_t size = problem.empty() ? ftello(f) : -1;
#endif
    if (problem.empty()) problem = size < 0 ? "it cannot be read" : QcowLayoutCheck(f, static_cast<uint64_t>(size)).Problem();
    std::fclose(f);
    return problem;
  }

  libqcow_file_t* file_ = nullptr;
};
#endif

// The first and last bytes of a regular file; false for anything else.
// The first and last bytes of a regular file; false for anything else,
// which is never opened for reading (a FIFO without a writer would block).
bool ReadHeadAndTail(TextView path, std::vector<uint8_t>& head, std::vector<uint8_t>& tail, uint64_t& size) {
#ifdef _WIN32
  const std::wstring w(path.begin(), path.end());
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (w.rfind(L"\\\\.\\", 0) == 0 || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
    return false;
  HANDLE file = CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER length;
  const bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &length);
  auto readAt = [&](uint64_t offset, uint8_t* out, size_t n) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(file, out, static_cast<DWORD>(n), &got, &at) && got == n;
  };
  size = regular ? static_cast<uint64_t>(length.QuadPart) : 0;
#else
  const int file = ::open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (file < 0) return false;
  struct stat st;
  const bool regular = ::fstat(file, &st) == 0 && S_ISREG(st.st_mode);
  auto readAt = [&](uint64_t offset, uint8_t* out, size_t n) {
    return ::pread(file, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
  };
  size = regular ? static_cast<uint64_t>(st.st_size) : 0;
#endif
  bool ok = regular && size > 0;
  if (ok) {
    head.resize(size < 512 ? static_cast<size_t>(size) : 512);
    ok = readAt(0, head.data(), head.size());
  }
  if (ok && size >= kVhdFooterSize) {
    tail.resize(kVhdFooterSize);
    ok = readAt(size - kVhdFooterSize, tail.data(), tail.size());
  }
#ifdef _WIN32
  CloseHandle(file);
#else
  ::close(file);
#endif
  return ok;
}

#if defined(RETRIVA_HAVE_CONTAINER_LIBRARY)
bool StartsWithSparseExtentHeader(TextView path) {
  std::vector<uint8_t> head, tail;
  uint64_t size = 0;
  return ReadHeadAndTail(path, head, tail, size) &&
         (StartsWith(head.data(), head.size(), kVmdkSparseSignature) ||
          StartsWith(head.data(), head.size(), kVmdkCowdSignature));
}
#endif

}  // namespace

const char* ImageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::Raw: return "raw";
    case ImageFormat::Ewf: return "E01";
    case ImageFormat::Vhd: return "VHD";
    case ImageFormat::Vhdx: return "VHDX";
    case ImageFormat::Vmdk: return "VMDK";
    case ImageFormat::Qcow2: return "QCOW2";
  }
  return "?";
}

const char* ImageFormatLibrary(ImageFormat format) {
  switch (format) {
    case ImageFormat::Raw: return "";
    case ImageFormat::Ewf: return "libewf";
    case ImageFormat::Vhd: case ImageFormat::Vhdx: return "libvhdi";
    case ImageFormat::Vmdk: return "libvmdk";
    case ImageFormat::Qcow2: return "libqcow";
  }
  return "";
}

bool ImageFormatBuiltIn(ImageFormat format) {
  switch (format) {
    case ImageFormat::Raw: return true;
#if defined(RETRIVA_HAVE_LIBEWF)
    case ImageFormat::Ewf: return true;
#endif
#if defined(RETRIVA_HAVE_LIBVHDI)
    case ImageFormat::Vhd: case ImageFormat::Vhdx: return true;
#endif
#if defined(RETRIVA_HAVE_LIBVMDK)
    case ImageFormat::Vmdk: return true;
#endif
#if defined(RETRIVA_HAVE_LIBQCOW)
    case ImageFormat::Qcow2: return true;
#endif
    default: return false;
  }
}

ImageFormat ImageFormatFromSignature(const uint8_t* head, size_t headLength, const uint8_t* tail, size_t tailLength,
                                     uint64_t fileSize) {
  if (StartsWith(head, headLength, kEwfSignature) || StartsWith(head, headLength, kEwf2Signature))
    return ImageFormat::Ewf;
  if (StartsWith(head, headLength, kVhdxSignature)) return ImageFormat::Vhdx;
  // A dynamic VHD starts with a copy of its footer.
  if (StartsWith(head, headLength, kVhdFooterSignature)) return ImageFormat::Vhd;
  if (StartsWith(head, headLength, kVmdkSparseSignature) || StartsWith(head, headLength, kVmdkCowdSignature) ||
      (headLength >= sizeof kVmdkDescriptorSignature - 1 &&
       std::memcmp(head, kVmdkDescriptorSignature, sizeof kVmdkDescriptorSignature - 1) == 0))
    return ImageFormat::Vmdk;
  if (StartsWith(head, headLength, kQcowSignature)) return ImageFormat::Qcow2;
  // A fixed VHD is a raw disk with a footer appended: taken only when the
  // footer's type and size agree with the file exactly, so a raw image
  // whose last sector merely holds the word is still raw.
  if (tailLength == kVhdFooterSize && StartsWith(tail, tailLength, kVhdFooterSignature) &&
      be32(tail + kVhdDiskTypeOffset) == kVhdDiskTypeFixed &&
      be64(tail + kVhdCurrentSizeOffset) == fileSize - kVhdFooterSize)
    return ImageFormat::Vhd;
  return ImageFormat::Raw;
}

ImageFormat DetectImageFormat(TextView path) {
  std::vector<uint8_t> head, tail;
  uint64_t size = 0;
  if (!ReadHeadAndTail(path, head, tail, size)) return ImageFormat::Raw;
  return ImageFormatFromSignature(head.data(), head.size(), tail.data(), tail.size(), size);
}

#if defined(RETRIVA_HAVE_CONTAINER_LIBRARY)
namespace {

std::shared_ptr<ContainerReader> OpenReader([[maybe_unused]] const LibPath& native, ImageFormat format,
                                            [[maybe_unused]] bool selfContained, std::string& error) {
  std::shared_ptr<ContainerReader> reader;
  switch (format) {
#if defined(RETRIVA_HAVE_LIBEWF)
    case ImageFormat::Ewf: {
      auto r = std::make_shared<EwfReader>();
      if (r->Open(native, error)) reader = r;
      break;
    }
#endif
#if defined(RETRIVA_HAVE_LIBVHDI)
    case ImageFormat::Vhd: case ImageFormat::Vhdx: {
      auto r = std::make_shared<VhdiReader>(format);
      if (r->Open(native, error)) reader = r;
      break;
    }
#endif
#if defined(RETRIVA_HAVE_LIBVMDK)
    case ImageFormat::Vmdk: {
      auto r = std::make_shared<VmdkReader>();
      if (r->Open(native, selfContained, error)) reader = r;
      break;
    }
#endif
#if defined(RETRIVA_HAVE_LIBQCOW)
    case ImageFormat::Qcow2: {
      auto r = std::make_shared<QcowReader>();
      if (r->Open(native, error)) reader = r;
      break;
    }
#endif
    default: break;
  }
  return reader;
}

}  // namespace
#endif

std::shared_ptr<VolumeSource> OpenContainerDisk(TextView path, ImageFormat format, std::string& error) {
  error.clear();
  if (!ImageFormatBuiltIn(format) || format == ImageFormat::Raw) {
    error = std::string(format == ImageFormat::Ewf ? "an " : "a ") + ImageFormatName(format) +
            " image, which this build of retriva cannot read (built without " + ImageFormatLibrary(format) + ")";
    return nullptr;
  }
#if defined(RETRIVA_HAVE_CONTAINER_LIBRARY)
  const LibPath native = LibPathOf(path);
  const bool selfContained = format == ImageFormat::Vmdk && StartsWithSparseExtentHeader(path);
  auto primary = OpenReader(native, format, selfContained, error);
  if (!primary) return nullptr;
  auto reader = std::make_shared<ReadAheadReader>(primary, [native, format, selfContained] {
    std::string ignored;
    return OpenReader(native, format, selfContained, ignored);
  });
  auto source = std::make_shared<ContainerSource>(reader, Text(path), 0, reader->MediaSize());
  if (!source->JudgeSectorSize()) {
    error = std::string("the ") + ImageFormatName(format) + " image is damaged or incomplete: its first sector cannot be read";
    return nullptr;
  }
  return source;
#else
  return nullptr;
#endif
}

std::shared_ptr<VolumeSource> ContainerSlice(const VolumeSource& disk, uint64_t offset, uint64_t length) {
  const auto* container = dynamic_cast<const ContainerSource*>(&disk);
  if (!container) return nullptr;
  const uint64_t total = container->Reader()->MediaSize() - container->Base();
  if (offset > total) return nullptr;
  const uint64_t available = total - offset;
  if (length == 0 || length > available) length = available;
  auto slice = std::make_shared<ContainerSource>(container->Reader(), container->Describe(), container->Base() + offset,
                                                 length);
  slice->JudgeSectorSize();
  return slice;
}

ImageFormat SourceImageFormat(const VolumeSource& source) {
  const auto* container = dynamic_cast<const ContainerSource*>(&source);
  return container ? container->Reader()->Format() : ImageFormat::Raw;
}

}  // namespace rv
