#include "platform/mapi/streams.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/mapi/mapi_object.h"

namespace corvid::mapi {
namespace {

constexpr size_t kCopyBlock = 64 * 1024;

HRESULT SeekTarget(uint64_t position, uint64_t size_if_needed, LARGE_INTEGER move, DWORD origin, uint64_t* target) {
  int64_t base = 0;
  switch (origin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<int64_t>(position);
      break;
    case STREAM_SEEK_END:
      base = static_cast<int64_t>(size_if_needed);
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  const int64_t result = base + move.QuadPart;
  if (result < 0) return STG_E_INVALIDFUNCTION;
  *target = static_cast<uint64_t>(result);
  return S_OK;
}

// What both streams share: the methods they answer the same way.
template <typename Derived>
class TStreamBase : public TComObject<IStream> {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryAs(riid, ppvObject, {IID_IStream, IID_ISequentialStream});
  }
  HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
    if (pstm == nullptr) return STG_E_INVALIDPOINTER;
    std::vector<char> buffer(kCopyBlock);
    uint64_t read_total = 0;
    uint64_t written_total = 0;
    HRESULT result = S_OK;
    while (read_total < cb.QuadPart) {
      const ULONG want = static_cast<ULONG>(std::min<uint64_t>(buffer.size(), cb.QuadPart - read_total));
      ULONG got = 0;
      result = Read(buffer.data(), want, &got);
      if (FAILED(result) || got == 0) break;
      read_total += got;
      ULONG put = 0;
      result = pstm->Write(buffer.data(), got, &put);
      written_total += put;
      if (FAILED(result)) break;
    }
    if (pcbRead) pcbRead->QuadPart = read_total;
    if (pcbWritten) pcbWritten->QuadPart = written_total;
    return FAILED(result) ? result : S_OK;
  }
  HRESULT Commit(DWORD grfCommitFlags) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT Clone(IStream** ppstm) override { return MAPI_E_NO_SUPPORT; }

 protected:
  static void FillStat(STATSTG* stat, uint64_t size, DWORD mode) {
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = size;
    stat->grfMode = mode;
  }
};

class TDecodedStream : public TStreamBase<TDecodedStream> {
 public:
  explicit TDecodedStream(std::unique_ptr<TByteSource> source) : source_(std::move(source)) {}

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (pv == nullptr && cb > 0) return STG_E_INVALIDPOINTER;
    return Guarded(error_, [&] {
      auto* out = static_cast<char*>(pv);
      ULONG done = 0;
      while (done < cb) {
        if (position_ < spooled_) {
          // Data seen before: from the scratch file.
          const size_t want = static_cast<size_t>(std::min<uint64_t>(cb - done, spooled_ - position_));
          const size_t got = Spool().ReadAt(position_, out + done, want);
          if (got == 0) break;
          position_ += got;
          done += static_cast<ULONG>(got);
          continue;
        }
        if (ended_) break;
        if (position_ > spooled_) {
          PullTo(position_);
          continue;
        }
        // At the frontier: decode straight into the caller's buffer, and
        // keep a copy for seeks back.
        const size_t got = source_->Read(out + done, cb - done);
        if (got == 0) {
          ended_ = true;
          break;
        }
        Spool().WriteAt(spooled_, out + done, got);
        spooled_ += got;
        position_ += got;
        done += static_cast<ULONG>(got);
      }
      if (pcbRead) *pcbRead = done;
      return S_OK;
    });
  }
  HRESULT Write(const void*, ULONG, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
  }
  HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
    return Guarded(error_, [&] {
      if (dwOrigin == STREAM_SEEK_END) PullTo(UINT64_MAX);
      uint64_t target = 0;
      const HRESULT result = SeekTarget(position_, spooled_, dlibMove, dwOrigin, &target);
      if (FAILED(result)) return result;
      position_ = target;
      if (plibNewPosition) plibNewPosition->QuadPart = position_;
      return S_OK;
    });
  }
  HRESULT SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
    return Guarded(error_, [&] {
      PullTo(UINT64_MAX);
      FillStat(pstatstg, spooled_, STGM_READ);
      return S_OK;
    });
  }

 private:
  TScratchFile& Spool() {
    if (!spool_) spool_ = std::make_shared<TScratchFile>();
    return *spool_;
  }
  // Decodes into the scratch file until `target` bytes are there or the
  // data ends.
  void PullTo(uint64_t target) {
    std::vector<char> buffer;
    while (!ended_ && spooled_ < target) {
      if (buffer.empty()) buffer.resize(kCopyBlock);
      const size_t got = source_->Read(buffer.data(), buffer.size());
      if (got == 0) {
        ended_ = true;
        break;
      }
      Spool().WriteAt(spooled_, buffer.data(), got);
      spooled_ += got;
    }
  }

  std::unique_ptr<TByteSource> source_;
  std::shared_ptr<TScratchFile> spool_;
  uint64_t spooled_ = 0;
  uint64_t position_ = 0;
  bool ended_ = false;
};

class TScratchStream : public TStreamBase<TScratchStream> {
 public:
  TScratchStream(std::shared_ptr<TScratchFile> file, bool writable) : file_(std::move(file)), writable_(writable) {}

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (pv == nullptr && cb > 0) return STG_E_INVALIDPOINTER;
    return Guarded(error_, [&] {
      const size_t got = file_->ReadAt(position_, pv, cb);
      position_ += got;
      if (pcbRead) *pcbRead = static_cast<ULONG>(got);
      return S_OK;
    });
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    if (!writable_) return STG_E_ACCESSDENIED;
    if (pv == nullptr && cb > 0) return STG_E_INVALIDPOINTER;
    return Guarded(error_, [&] {
      try {
        file_->WriteAt(position_, pv, cb);
      } catch (const EMapiError& error) {
        if (error.Code() == MAPI_E_NOT_ENOUGH_DISK) throw EMapiError(STG_E_MEDIUMFULL, error.what());
        throw EMapiError(STG_E_WRITEFAULT, error.what());
      }
      position_ += cb;
      if (pcbWritten) *pcbWritten = cb;
      return S_OK;
    });
  }
  HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
    return Guarded(error_, [&] {
      uint64_t target = 0;
      const HRESULT result =
          SeekTarget(position_, dwOrigin == STREAM_SEEK_END ? file_->Size() : 0, dlibMove, dwOrigin, &target);
      if (FAILED(result)) return result;
      position_ = target;
      if (plibNewPosition) plibNewPosition->QuadPart = position_;
      return S_OK;
    });
  }
  HRESULT SetSize(ULARGE_INTEGER libNewSize) override {
    if (!writable_) return STG_E_ACCESSDENIED;
    return Guarded(error_, [&] {
      file_->Truncate(libNewSize.QuadPart);
      return S_OK;
    });
  }
  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
    return Guarded(error_, [&] {
      FillStat(pstatstg, file_->Size(), writable_ ? STGM_READWRITE : STGM_READ);
      return S_OK;
    });
  }

 private:
  std::shared_ptr<TScratchFile> file_;
  bool writable_;
  uint64_t position_ = 0;
};

}  // namespace

IStream* NewDecodedStream(std::unique_ptr<TByteSource> source) { return new TDecodedStream(std::move(source)); }

IStream* NewScratchStream(std::shared_ptr<TScratchFile> file, bool writable) {
  return new TScratchStream(std::move(file), writable);
}

std::shared_ptr<TScratchFile> SpoolToScratch(TByteSource& source) {
  auto file = std::make_shared<TScratchFile>();
  std::vector<char> buffer(kCopyBlock);
  uint64_t size = 0;
  for (;;) {
    const size_t got = source.Read(buffer.data(), buffer.size());
    if (got == 0) break;
    file->WriteAt(size, buffer.data(), got);
    size += got;
  }
  return file;
}

}  // namespace corvid::mapi
